// The consent rules on bundles: which identifiers a bundle may carry, the DMA fields, which
// bundles may share a batch, and the server's data controls. Each branch has its row.
#include <gtest/gtest.h>

#include "AppMeasurement/engine/APMBundleConsent.h"

namespace {

using B = APMPBMeasurementBundle;

// The identity's answers a pass reads, as a test sets them.
struct FakeIdentity {
  operator APMBundleConsent::Identifiers() const {
    APMBundleConsent::Identifiers ids;
    ids.appInstanceID = instance;
    ids.resettableDeviceID = resettable;
    ids.vendorDeviceID = vendor;
    ids.hasLimitedAdTracking = latKnown;
    ids.appleConsentStatus = status;
    ids.ephemeralAppInstanceID = "ephemeral";
    return ids;
  }

  std::string instance = "instance";
  std::optional<std::string> resettable = "idfa";
  std::optional<std::string> vendor = "idfv";
  bool latKnown = true;
  int32_t status = 3;
};

std::string text(const B& bundle, uint32_t slot) {
  return NANOGetString(bundle, slot).value_or("<none>");
}

TEST(APMBundleConsentTest, ConsentIdentifiers) {
  struct Case {
    const char* what;
    std::string current;  // current consent-signal string
    std::string own;      // the bundle's string ("" for none)
    bool override;
    bool gate;       // the server's ATT gate
    int32_t status;  // tracking status
    bool hasResettable;
    bool hasVendor;
    // expected
    const char* signals;
    const char* resettable;
    const char* vendor;
    const char* instance;
  };
  const Case cases[] = {
      {"all granted", "G111", "", false, false, 3, true, true, "G111", "idfa", "<none>",
       "instance"},
      {"ad storage denied", "G101", "", false, false, 3, true, true, "G101", "<none>", "idfv",
       "instance"},
      {"analytics denied", "G110", "", false, false, 3, true, true, "G110", "idfa", "<none>",
       "<none>"},
      {"both denied", "G100", "", false, false, 3, true, true, "G100", "<none>", "<none>",
       "<none>"},
      {"gate on, not authorised", "G111", "", false, true, 2, true, true, "G111", "<none>", "idfv",
       "instance"},
      {"gate on, authorised", "G111", "", false, true, 3, true, true, "G111", "idfa", "<none>",
       "instance"},
      {"no resettable, no vendor", "G111", "", false, false, 3, false, false, "G111", "<none>",
       "<none>", "instance"},
      {"bundle keeps its own string", "G111", "G100", false, false, 3, true, true, "G100", "<none>",
       "<none>", "<none>"},
      {"override replaces it", "G111", "G100", true, false, 3, true, true, "G111", "idfa", "<none>",
       "instance"},
      {"short string: granted", "G1", "", false, false, 3, true, true, "<none>", "idfa", "<none>",
       "instance"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeIdentity identity;
    identity.status = c.status;
    if (!c.hasResettable) identity.resettable.reset();
    if (!c.hasVendor) identity.vendor.reset();
    APMBundleConsent::State state;
    state.consentSignals = c.current;
    state.attGateSetting = c.gate;
    B bundle;
    if (!c.own.empty()) NANOSetString(bundle, B::kConsentSignals, c.own);
    NANOSetString(bundle, B::kSessionStitchingToken, "token");
    APMBundleConsent::applyConsentIdentifiers(bundle, state, identity, c.override);
    EXPECT_EQ(text(bundle, B::kConsentSignals), c.signals);
    EXPECT_EQ(text(bundle, B::kResettableDeviceId), c.resettable);
    EXPECT_EQ(text(bundle, B::kVendorDeviceId), c.vendor);
    EXPECT_EQ(text(bundle, B::kAppInstanceId), c.instance);
    bool analyticsDenied = std::string(c.instance) == "<none>";
    EXPECT_EQ(NANOHasField(bundle, B::kSessionStitchingToken), !analyticsDenied);
    EXPECT_EQ(NANOGetInt32(bundle, B::kAppleConsentStatus), c.status);
  }
}

// The server's ATT gate by system version: before 14 there is no tracking status and the gate
// never holds back the advertising identifier; from 14 it does for every status but 3,
// including 6 (no advertising support).
TEST(APMBundleConsentTest, AttGateBySystemVersion) {
  struct Case {
    const char* what;
    bool iOS14;
    int32_t status;
    bool setting;  // "measurement.attmas_gate"
    // expected
    const char* resettable;
    const char* vendor;
    bool statusWritten;
  };
  const Case cases[] = {
      {"before 14, setting on", false, 6, true, "idfa", "<none>", false},
      {"before 14, setting off", false, 6, false, "idfa", "<none>", false},
      {"14, authorised, setting on", true, 3, true, "idfa", "<none>", true},
      {"14, denied, setting on", true, 2, true, "<none>", "idfv", true},
      {"14, not determined, setting on", true, 0, true, "<none>", "idfv", true},
      {"14, no advertising support, setting on", true, 6, true, "<none>", "idfv", false},
      {"14, no advertising support, setting off", true, 6, false, "idfa", "<none>", false},
      {"14, denied, setting off", true, 2, false, "idfa", "<none>", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeIdentity fake;
    fake.status = c.status;
    APMBundleConsent::Identifiers identity = fake;
    identity.iOS14OrAbove = c.iOS14;
    APMBundleConsent::State state;
    state.consentSignals = "G111";
    state.attGateSetting = c.setting;
    B bundle;
    APMBundleConsent::applyConsentIdentifiers(bundle, state, identity, false);
    EXPECT_EQ(text(bundle, B::kResettableDeviceId), c.resettable);
    EXPECT_EQ(text(bundle, B::kVendorDeviceId), c.vendor);
    EXPECT_EQ(NANOHasField(bundle, B::kAppleConsentStatus), c.statusWritten);
  }
}

TEST(APMBundleConsentTest, DMAFields) {
  struct Case {
    const char* what;
    bool adUserDataDenied;
    bool dmaRegion;
    std::set<std::string> services;
    const char* expected;
  };
  const Case cases[] = {
      {"ad user data denied", true, true, {"b", "a"}, "-"},
      {"no services", false, true, {}, "-"},
      {"not a DMA region", false, false, {"a"}, "<none>"},
      {"DMA region: sorted, joined", false, true, {"b", "a"}, "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    APMBundleConsent::State state;
    state.consentDiagnostics = "diag";
    state.adUserDataDenied = c.adUserDataDenied;
    state.isDMARegion = c.dmaRegion;
    state.corePlatformServices = c.services;
    B bundle;
    APMBundleConsent::applyDMAFields(bundle, state, std::nullopt, false);
    EXPECT_EQ(text(bundle, B::kCorePlatformServices), c.expected);
    EXPECT_EQ(text(bundle, B::kConsentDiagnostics), "diag");
    EXPECT_EQ(NANOGetBool(bundle, B::kDmaRegion), c.dmaRegion);
  }
  // An "_npa" is appended when absent, replaced only with the override.
  APMPBUserAttribute npa;
  NANOSetString(npa, APMPBUserAttribute::kName, "_npa");
  NANOSetInt64(npa, APMPBUserAttribute::kIntValue, 1);
  APMPBUserAttribute old = npa;
  NANOSetInt64(old, APMPBUserAttribute::kIntValue, 0);
  for (bool override : {false, true}) {
    B bundle;
    NANOSetMessageArray(bundle, B::kUserAttributes, std::vector<APMPBUserAttribute>{old});
    APMBundleConsent::applyDMAFields(bundle, {}, npa, override);
    auto attributes = NANOGetMessageArray<APMPBUserAttribute>(bundle, B::kUserAttributes).value();
    ASSERT_EQ(attributes.size(), 1u);
    EXPECT_EQ(NANOGetInt64(attributes[0], APMPBUserAttribute::kIntValue), override ? 1 : 0);
  }
}

TEST(APMBundleConsentTest, BatchCompatibility) {
  auto make = [](std::optional<std::string> signals, bool dma, std::optional<int64_t> npa) {
    B bundle;
    if (signals) NANOSetString(bundle, B::kConsentSignals, *signals);
    NANOSetBool(bundle, B::kDmaRegion, dma);
    if (npa) {
      APMPBUserAttribute attribute;
      NANOSetString(attribute, APMPBUserAttribute::kName, "_npa");
      NANOSetInt64(attribute, APMPBUserAttribute::kIntValue, *npa);
      NANOSetMessageArray(bundle, B::kUserAttributes, std::vector<APMPBUserAttribute>{attribute});
    }
    return bundle;
  };
  struct Case {
    const char* what;
    B first, second;
    bool compatible;
  };
  const Case cases[] = {
      {"same", make("G111", true, 1), make("G111", true, 1), true},
      {"both without string", make(std::nullopt, false, {}), make(std::nullopt, false, {}), true},
      {"other signals", make("G111", false, {}), make("G110", false, {}), false},
      {"absent vs present", make(std::nullopt, false, {}), make("G111", false, {}), false},
      {"other DMA flag", make("G111", true, {}), make("G111", false, {}), false},
      {"missing _npa counts as 0", make("G1", false, 0), make("G1", false, {}), true},
      {"other _npa", make("G1", false, 1), make("G1", false, {}), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMBundleConsent::areBatchCompatible(c.first, c.second), c.compatible) << c.what;
  }
}

TEST(APMBundleConsentTest, DataControls) {
  struct Case {
    std::vector<std::string> controls;
    const char* instance;
    const char* ephemeral;
    const char* os;
    const char* model;
    const char* token;
    size_t userAttributes;
  };
  const Case cases[] = {
      {{}, "instance", "<none>", "17.2.1", "phone", "token", 2},
      {{"app_instance_id"}, "<none>", "ephemeral", "17.2.1", "phone", "token", 2},
      {{"user_id"}, "instance", "<none>", "17.2.1", "phone", "token", 1},
      {{"os_version"}, "instance", "<none>", "17", "phone", "token", 2},
      {{"device_model"}, "instance", "<none>", "17.2.1", "<none>", "token", 2},
      {{"device_info"}, "instance", "<none>", "17", "<none>", "token", 2},
      {{"enhanced_user_id"}, "instance", "<none>", "17.2.1", "phone", "<none>", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.controls.empty() ? "none" : c.controls[0]);
    FakeIdentity identity;
    B bundle;
    NANOSetString(bundle, B::kAppInstanceId, "instance");
    NANOSetString(bundle, B::kOsVersion, "17.2.1");
    NANOSetString(bundle, B::kDeviceModel, "phone");
    NANOSetString(bundle, B::kSessionStitchingToken, "token");
    std::vector<APMPBUserAttribute> attributes(2);
    NANOSetString(attributes[0], APMPBUserAttribute::kName, "_id");
    NANOSetString(attributes[1], APMPBUserAttribute::kName, "_fot");
    NANOSetMessageArray(bundle, B::kUserAttributes, attributes);
    APMBundleConsent::applyDataControls(bundle, c.controls, identity);
    EXPECT_EQ(text(bundle, B::kAppInstanceId), c.instance);
    EXPECT_EQ(text(bundle, B::kEphemeralAppInstanceId), c.ephemeral);
    EXPECT_EQ(text(bundle, B::kOsVersion), c.os);
    EXPECT_EQ(text(bundle, B::kDeviceModel), c.model);
    EXPECT_EQ(text(bundle, B::kSessionStitchingToken), c.token);
    EXPECT_EQ(NANOGetMessageArray<APMPBUserAttribute>(bundle, B::kUserAttributes)->size(),
              c.userAttributes);
    EXPECT_EQ(NANOGetArray(bundle, B::kRedactedFields)->size(), c.controls.size());
  }
}

// The override of an upload pass: a "0" in the current string, or a first open in this or an
// earlier bundle of the pass.
TEST(APMBundleConsentTest, FirstOpenBundleIsRecognised) {
  B bundle;
  EXPECT_FALSE(APMBundleConsent::hasFirstOpenEvent(bundle));
  APMPBEvent event;
  NANOSetString(event, APMPBEvent::kName, "_f");
  NANOSetMessageArray(bundle, B::kEvents, std::vector<APMPBEvent>{event});
  EXPECT_TRUE(APMBundleConsent::hasFirstOpenEvent(bundle));
}

}  // namespace
