#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AppMeasurement/script/APMPFunctionValue.h"

// Where script log messages go.
class APMPLoggerDelegate {
 public:
  virtual ~APMPLoggerDelegate() = default;
  virtual void logWithLevel(int64_t level, const std::string& message,
                            const std::vector<std::string>& context, bool silent,
                            bool monitored) = 0;
};

// The module "internal.logger": calling it gives undefined (arguments not evaluated); its
// properties "log", "silent" and "unmonitored" are what scripts call.
class APMPMessageLogger : public APMPFunctionValue {
 public:
  explicit APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPValuePtr invokeWithArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error) override;
};

// "log"(message) at level 4, or "log"(level, message, context...) with at most three context
// texts.
class APMPFunctionLog : public APMPFunctionValue {
 public:
  APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent, bool monitored);
  APMPValuePtr invokeWithArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error) override;

 private:
  bool silent_;
  bool monitored_;
  std::shared_ptr<APMPLoggerDelegate> logger_;
};

// "silent": its "log" records without printing.
class APMPFunctionLogSilent : public APMPFunctionValue {
 public:
  explicit APMPFunctionLogSilent(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPValuePtr invokeWithArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error) override;
};

// "unmonitored": its "log" prints without recording.
class APMPFunctionLogUnmonitored : public APMPFunctionValue {
 public:
  explicit APMPFunctionLogUnmonitored(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPValuePtr invokeWithArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error) override;
};
