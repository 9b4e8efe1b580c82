#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "absl/status/statusor.h"
#include "platform/runtime/RuntimeObject.h"

namespace platform {

// What answers the AdServices class operation attributionTokenWithError: (a "protocol": code
// that finds the class by name checks it conforms before calling).
class AAAttributionTokenProviding {
 public:
  virtual ~AAAttributionTokenProviding() = default;
  // A token string, or an error with its reason.
  virtual absl::StatusOr<std::string> attributionTokenWithError() = 0;
};

// The AdServices framework's attribution class (AAAttribution). Code that must work without
// the framework finds it by name ("AAAttribution") in the ClassRegistry; the composition root
// registers it when the app "links" AdServices. On the phone the token comes from the system;
// here it is configuration: a token, or an error the call answers. Thread-safe.
class AAAttribution : public RuntimeObject, public AAAttributionTokenProviding {
 public:
  static constexpr const char* kClassName = "AAAttribution";
  // The token answered until configured otherwise.
  static constexpr const char* kDefaultToken = "attributed";

  static std::shared_ptr<AAAttribution> shared();

  absl::StatusOr<std::string> attributionTokenWithError() override;

  // Answers `token` from now on.
  void setToken(std::string token);
  // Answers `error` from now on (an OK status counts as an internal error: a failure always
  // carries its reason).
  void setError(absl::Status error);

  // Registers the shared object under kClassName / removes it.
  static void registerInRuntime();
  static void unregisterFromRuntime();

 private:
  mutable std::mutex mutex_;  // guards answer_
  absl::StatusOr<std::string> answer_ = std::string(kDefaultToken);
};

}  // namespace platform
