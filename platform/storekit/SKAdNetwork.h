#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/storekit/SKPaymentTransaction.h"

// The error domain of SKAdNetwork's answers.
inline constexpr const char* SKANErrorDomain = "SKANErrorDomain";
// Code of the answer given to a system below 16.1, where the call does not exist.
inline constexpr int64_t SKANErrorUnsupported = 1;

// The coarse conversion values (the phone's SKAdNetworkCoarseConversionValue strings).
inline constexpr const char* SKAdNetworkCoarseConversionValueLow = "low";
inline constexpr const char* SKAdNetworkCoarseConversionValueMedium = "medium";
inline constexpr const char* SKAdNetworkCoarseConversionValueHigh = "high";

// StoreKit's SKAdNetwork: the registration for ad network attribution and the postback
// conversion-value update. There is no attribution network here: each registration and each
// accepted update is recorded (in memory and, when the app names one, as a JSON line in a
// file), so that tests and the developer see what the app reported.
//
// Thread-safe. Completions run on SKAdNetwork's own serial queue, never on the caller's.
class SKAdNetwork {
 public:
  using Completion = std::function<void(const std::optional<SKTransactionError>& error)>;

  // One accepted update.
  struct Record {
    int64_t fineValue = 0;
    std::string coarseValue;
    bool lockWindow = false;
    double timestamp = 0;  // platform::Clock wall time of the call
  };

  // updatePostbackConversionValue:coarseValue:lockWindow:completionHandler:. Below system
  // version 16.1 (OULAppEnvironmentUtil) nothing is recorded and the completion gets
  // SKANErrorDomain / SKANErrorUnsupported; a failure set with failNextUpdates is answered
  // instead of recording. The completion may be empty.
  static void updatePostbackConversionValue(int64_t fineValue, const std::string& coarseValue,
                                            bool lockWindow, Completion completion);

  // registerAppForAdNetworkAttribution: the app's first launch claims its install for an
  // attributing ad network. Recorded at any system version.
  static void registerAppForAdNetworkAttribution();

  // --- The app's and the tests' side ---
  // Every accepted update so far, in call order.
  static std::vector<Record> records();
  // The platform::Clock wall time of every registration so far, in call order.
  static std::vector<double> registrations();
  // Appends each later accepted update ({"fine":..,"coarse":"..","lock":..,"time":..}) and
  // registration ({"register":true,"time":..}) to this file, one JSON object a line; empty
  // stops writing.
  static void setRecordFile(std::string path);
  // The next `count` calls fail with this error (and record nothing).
  static void failNextUpdates(std::string domain, int64_t code, int count);
  // Waits until every completion handed to SKAdNetwork's queue so far has run.
  static void waitUntilIdle();
  // No records, no registrations, no failures, no file.
  static void resetForTesting();
};
