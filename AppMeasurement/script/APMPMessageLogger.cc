#include "AppMeasurement/script/APMPMessageLogger.h"

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

APMPMessageLogger::APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(u"internal.logger", {}, {}, APMPScope::make()) {
  setValue(std::make_shared<APMPFunctionLog>(logger, false, true), u"log");
  setValue(std::make_shared<APMPFunctionLogSilent>(logger), u"silent");
  setValue(std::make_shared<APMPFunctionLogUnmonitored>(logger), u"unmonitored");
}

APMPValuePtr APMPMessageLogger::invokeWithArguments(const APMPValueList&, const APMPScopePtr&,
                                                    APMPErrorSlot*) {
  return APMPUndefined();
}

APMPFunctionLogSilent::APMPFunctionLogSilent(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(u"silent", {}, {}, APMPScope::make()) {
  setValue(std::make_shared<APMPFunctionLog>(std::move(logger), true, true), u"log");
}

APMPValuePtr APMPFunctionLogSilent::invokeWithArguments(const APMPValueList&, const APMPScopePtr&,
                                                        APMPErrorSlot*) {
  return APMPUndefined();
}

APMPFunctionLogUnmonitored::APMPFunctionLogUnmonitored(std::shared_ptr<APMPLoggerDelegate> logger)
    : APMPFunctionValue(u"unmonitored", {}, {}, APMPScope::make()) {
  setValue(std::make_shared<APMPFunctionLog>(std::move(logger), false, false), u"log");
}

APMPValuePtr APMPFunctionLogUnmonitored::invokeWithArguments(const APMPValueList&,
                                                             const APMPScopePtr&, APMPErrorSlot*) {
  return APMPUndefined();
}

APMPFunctionLog::APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent,
                                 bool monitored)
    : APMPFunctionValue(u"log", {}, {}, APMPScope::make()),
      silent_(silent),
      monitored_(monitored),
      logger_(std::move(logger)) {}

APMPValuePtr APMPFunctionLog::invokeWithArguments(const APMPValueList& arguments,
                                                  const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckMinArgumentCount(arguments, 1, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  int64_t level = 4;
  std::u16string message;
  std::vector<std::string> context;
  if (values.size() == 1) {
    message = values[0]->stringValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
  } else {
    double d = values[0]->doubleValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
    level = APMPSaturatingInt64(d);
    message = values[1]->stringValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
    for (size_t i = 2; i < values.size() && i < 5; ++i) {
      std::u16string text = values[i]->stringValueOrError(error);
      if (APMPHasError(error)) return APMPUndefined();
      context.push_back(APMPUTF8FromUTF16(text));
    }
  }
  if (logger_)
    logger_->logWithLevel(level, APMPUTF8FromUTF16(message), context, silent_, monitored_);
  return APMPUndefined();
}
