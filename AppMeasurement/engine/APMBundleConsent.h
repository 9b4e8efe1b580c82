#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AppMeasurement/messages/APMPBMessages.h"

class APMIdentity;
class APMMeasurement;

// The consent rules applied to a measurement bundle: which identifiers it may carry, its
// consent and DMA fields, whether two bundles may share an upload batch, and the data controls
// the server asks for. Event writing applies the first two to each new metadata bundle; the
// upload applies all of them, with the state of that moment, to every queued bundle it sends.
//
// Plain functions over values; any thread.
namespace APMBundleConsent {

// The consent state of one write or upload pass.
struct State {
  std::string consentSignals;      // the current consent-signal string
  std::string consentDiagnostics;  // the current diagnostics string
  bool adUserDataDenied = false;
  bool attGateSetting = false;  // remote "measurement.attmas_gate"
  bool isDMARegion = false;
  std::set<std::string> corePlatformServices;

  bool operator==(const State&) const = default;
};

// The state now: consent settings, the configuration's DMA answers.
State currentState(APMMeasurement& engine);

// The identity's answers for one write or upload pass, read once.
struct Identifiers {
  std::optional<std::string> appInstanceID;
  std::optional<std::string> resettableDeviceID;
  std::optional<std::string> vendorDeviceID;
  bool hasLimitedAdTracking = false;
  bool limitedAdTracking = false;
  // The tracking status exists from system version 14; before it the status is 6 and the
  // server's ATT gate never applies. From 14 on, 6 means no advertising support.
  bool iOS14OrAbove = true;
  int64_t appleConsentStatus = 6;  // 6: no advertising support, or before version 14
  // Made only when the data controls ask for it (it is created on first request).
  std::optional<std::string> ephemeralAppInstanceID;

  bool operator==(const Identifiers&) const = default;
};
// Reads the identity (never on its own queue); the ephemeral identifier only when asked.
Identifiers identifiersFrom(APMIdentity& identity, bool withEphemeral);

// A consent-signal string of at least 4 characters whose character at `index` is "0", "D"
// or "d".
bool isDeniedAt(const std::string& signals, size_t index);
bool isAnalyticsStorageDenied(const std::string& signals);

// Consent identifiers: the consent string, tracking status, device and app instance
// identifiers, and what denied storage withholds. `override` makes the current string replace
// the bundle's own.
void applyConsentIdentifiers(APMPBMeasurementBundle& bundle, const State& state,
                             const Identifiers& identity, bool override);
// Diagnostics, DMA flag, core platform services and the "_npa" property.
void applyDMAFields(APMPBMeasurementBundle& bundle, const State& state,
                    const std::optional<APMPBUserAttribute>& npa, bool override);
bool hasFirstOpenEvent(const APMPBMeasurementBundle& bundle);
// Equal consent, diagnostics and services strings (absent equals absent), DMA flags and
// "_npa" values (absent counts as 0).
bool areBatchCompatible(const APMPBMeasurementBundle& first, const APMPBMeasurementBundle& second);
// The server's data controls ("app_instance_id", "user_id", "os_version", "device_model",
// "device_info", "enhanced_user_id").
void applyDataControls(APMPBMeasurementBundle& bundle, const std::vector<std::string>& controls,
                       const Identifiers& identity);

}  // namespace APMBundleConsent
