#pragma once

#include <cstdint>
#include <functional>

#include "AppMeasurement/engine/APMFeatureServices.h"

class APMDatabase;
class APMEvent;

// Keeps, per currency, the running total the user has spent as the user attribute
// "_ltv_<CUR>" (origin "auto", int64 micro-units, set time = time of the last change). The
// engine calls it on its worker queue, inside its own database transaction, for every purchase
// event it writes. Holds no state of its own besides the source of the currency limit.
//
// Time comes from platform::Clock (the set timestamp of the attribute).
class APMLifetimeValueRecorder : public APMLifetimeValueRecording {
 public:
  // Answers the number of currencies kept (the remote setting, 1...100). Called once per
  // purchase on the caller's queue.
  using CurrencyLimit = std::function<int32_t()>;

  // The limit source is required: the engine's configuration holds the server's value, and a
  // recorder over the defaults would never see it (APMInstallMeasurementFeatures installs the
  // program's recorder).
  explicit APMLifetimeValueRecorder(CurrencyLimit maxTrackedCurrencies);

  bool isPurchaseEvent(const APMEvent& event) override;
  // NO only when the stored totals could not be read or written, or an amount cannot be
  // represented; a purchase with an unusable currency or value is skipped with YES.
  bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event,
                                     double now) override;

  static bool isEcommercePurchaseEvent(const APMEvent& event);

 private:
  CurrencyLimit maxTrackedCurrencies_;
};

// An ad-exposure event: origin "am", or named "_xa" or "_xu".
bool APMIsAdExposureEvent(const APMEvent& event);
