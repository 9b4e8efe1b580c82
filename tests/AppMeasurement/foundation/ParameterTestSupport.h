#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMErrorEventSink.h"
#include "AppMeasurement/foundation/APMParameterLimits.h"
#include "AppMeasurement/foundation/APMValue.h"
#include "tests/AppMeasurement/foundation/MonitorTestEnvironment.h"
#include "tests/AppMeasurement/foundation/MonitorTestHooks.h"

namespace testsupport {

// Limits a test chooses; installed for the test (ParameterTest).
class TestParameterLimits : public APMParameterLimits {
 public:
  int64_t maxParams = 100;
  int64_t maxItemCustom = 27;
  int64_t maxPublicLength = 500;

  int64_t maxPublicEventParams() const override { return maxParams; }
  int64_t maxItemScopedCustomParameters() const override { return maxItemCustom; }
  int64_t maxPublicEventParameterValueLength() const override { return maxPublicLength; }
  int64_t maxInternalEventParameterValueLength() const override {
    return internalValueLengthForPublicLength(maxPublicLength);
  }
};

// The error events logged through the sink while it is installed.
class CapturingErrorSink : public APMErrorEventSink {
 public:
  struct Logged {
    std::string origin;
    std::string name;
    APMValueMap parameters;
  };
  void logInternalEvent(const std::string& origin, const std::string& name,
                        const APMValueMap& parameters) override {
    std::lock_guard<std::mutex> lock(mutex_);
    logged_.push_back({origin, name, parameters});
  }
  std::vector<Logged> logged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logged_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Logged> logged_;
};

// A test with captured monitor lines, its own limits and error sink.
class ParameterTest : public MonitorTestEnvironment {
 protected:
  void SetUp() override {
    MonitorTestEnvironment::SetUp();
    hooks_ = std::make_unique<MonitorTestHooks>();
    limits = std::make_shared<TestParameterLimits>();
    APMParameterLimits::install(limits);
    sink = std::make_shared<CapturingErrorSink>();
    APMErrorEventSink::install(sink);
  }
  void TearDown() override {
    // Only its own: an engine the test made may still hold its provider.
    APMParameterLimits::remove(limits.get());
    APMErrorEventSink::install(nullptr);
    MonitorTestEnvironment::TearDown();
    hooks_.reset();
  }
  // Whether a monitor line with the code was written (after the monitor queue ran).
  bool logged(int64_t code) {
    settle();
    char text[16];
    std::snprintf(text, sizeof text, "I-ACS%06lld", static_cast<long long>(code));
    return capture.contains(text);
  }
  void clearLog() {
    settle();
    capture.clear();
  }

  std::shared_ptr<TestParameterLimits> limits;
  std::shared_ptr<CapturingErrorSink> sink;

 private:
  std::unique_ptr<MonitorTestHooks> hooks_;
};

// Typed-value shorthands for expectations.
inline APMValue I(int64_t value) { return APMValue(value); }
inline APMValue D(double value) { return APMValue(value); }
inline APMValue S(std::string value) { return APMValue(std::move(value)); }

// A text of n copies of a piece.
inline std::string repeat(const std::string& piece, size_t n) {
  std::string out;
  out.reserve(piece.size() * n);
  for (size_t i = 0; i < n; ++i) out += piece;
  return out;
}

}  // namespace testsupport
