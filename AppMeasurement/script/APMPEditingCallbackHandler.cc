#include "AppMeasurement/script/APMPEditingCallbackHandler.h"

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPEventContext.h"
#include "AppMeasurement/script/APMPEventNativeFunctions.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

bool APMPEditingCallbackHandler::registerWithPriority(int64_t priority,
                                                      std::shared_ptr<APMPFunctionValue> callback,
                                                      const std::u16string& ruleType,
                                                      APMPErrorSlot* error) {
  if (count() >= kMaximumCallbacks) {
    APMPSetEditingError(error, APMPEditingErrorCodeTooManyCallbacks);
    return false;
  }
  if (ruleType == u"create") {
    addCallback(std::move(callback), createCallbackMap_, priority);
  } else if (ruleType == u"edit") {
    addCallback(std::move(callback), editCallbackMap_, priority);
  } else {
    APMPSetEditingError(error, APMPEditingErrorCodeUnknownType);
    return false;
  }
  return true;
}

void APMPEditingCallbackHandler::addCallback(
    std::shared_ptr<APMPFunctionValue> callback,
    std::map<int64_t, std::shared_ptr<APMPFunctionValue>>& dictionary, int64_t priority) {
  if (dictionary.count(priority) != 0) priority = dictionary.rbegin()->first + 1;
  // The registry is a collection root: what the last collection reached changes.
  APMPNoteReachedWrite();
  dictionary[priority] = std::move(callback);
}

uint32_t APMPEditingCallbackHandler::invokeCallbackWithScope(const APMPScopePtr& scope,
                                                             APMPFunctionValue& function,
                                                             const APMPValuePtr& eventHandler,
                                                             APMPErrorSlot* error) {
  APMPPooledList arguments;
  arguments.values().push_back(eventHandler);
  APMPValuePtr result = function.invokeWithArguments(arguments.values(), scope, error);
  if (APMPHasError(error)) return 2;
  if (result->kind() == APMPValueKind::Number)
    return APMPToUint32(static_cast<const APMPNumberValue&>(*result).value());
  return 0xFFFFFFFFu;
}

bool APMPEditingCallbackHandler::triggerCallbacksWithScope(
    const APMPScopePtr& scope, const std::shared_ptr<APMPEventContext>& context,
    APMPErrorSlot* error) {
  APMPValuePtr eventObject = APMPMakeRecycled<APMPEventNativeFunctions>(context);
  // Each list is copied when its walk starts: a callback registered while a list is walked
  // runs from the next event on, while a create callback that an edit callback registers
  // runs for this event, since the create list is read after the edit callbacks ran.
  APMPPooledList edits;
  for (const auto& entry : editCallbackMap_) edits.values().push_back(entry.second);
  for (const auto& callback : edits.values()) {
    APMPEvent before = context->outputEvent();
    uint32_t code = invokeCallbackWithScope(scope, static_cast<APMPFunctionValue&>(*callback),
                                            eventObject, error);
    if (APMPHasError(error)) {
      context->setOutputEvent(std::move(before));
      return false;
    }
    if (code == 2 || code == 0xFFFFFFFFu) context->setOutputEvent(std::move(before));
  }
  APMPPooledList creates;
  for (const auto& entry : createCallbackMap_) creates.values().push_back(entry.second);
  for (const auto& callback : creates.values()) {
    invokeCallbackWithScope(scope, static_cast<APMPFunctionValue&>(*callback), eventObject, error);
    if (APMPHasError(error)) return false;
  }
  return true;
}

void APMPEditingCallbackHandler::mark(APMPMarker& marker) {
  for (const auto& entry : editCallbackMap_) marker.add(entry.second.get());
  for (const auto& entry : createCallbackMap_) marker.add(entry.second.get());
}
