#include "AppMeasurement/script/APMPEventEditing.h"

#include "AppMeasurement/script/APMPEditingCallbackHandler.h"
#include "AppMeasurement/script/APMPEditingModules.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

APMPEventEditing::APMPEventEditing() : APMPEventEditing(std::make_shared<APMPRuntime>()) {}

APMPEventEditing::APMPEventEditing(std::shared_ptr<APMPRuntime> runtime)
    : runtime_(std::move(runtime)),
      eventContext_(std::make_shared<APMPEventContext>()),
      callbackHandler_(std::make_shared<APMPEditingCallbackHandler>()) {
  runtime_->addGarbageCollectionRoot(callbackHandler_);
  std::weak_ptr<APMPEditingCallbackHandler> handler = callbackHandler_;
  runtime_->setModuleCreator(
      [handler]() -> APMPValuePtr {
        auto strong = handler.lock();
        if (!strong) return nullptr;
        return std::make_shared<APMPRegisterCallbackNativeFunctionValue>(strong);
      },
      u"internal.registerCallback");
  std::weak_ptr<APMPEventContext> context = eventContext_;
  runtime_->setModuleCreator(
      [context]() -> APMPValuePtr {
        auto strong = context.lock();
        if (!strong) return nullptr;
        return std::make_shared<APMPEventLogger>(strong);
      },
      u"internal.eventLogger");
}

APMPEventEditing::~APMPEventEditing() = default;

void APMPEventEditing::setModuleCreator(APMPDynamicProvider::Creator creator,
                                        const std::u16string& name) {
  runtime_->setModuleCreator(std::move(creator), name);
}

// The program is walked through views of its records: the instructions, activities and rules
// are converted in place, none is copied.
bool APMPEventEditing::loadProgram(const NANOMessageBase& program, APMPErrorSlot* error) {
  APMPErrorSlot local;
  if (error == nullptr) error = &local;
  std::vector<NANOMessageView> instructions =
      NANOViewMessageArray<APMPBRuntimeEntity>(program, APMPBProgram::kInstructions)
          .value_or(std::vector<NANOMessageView>{});
  APMPValuePtr result = runtime_->executeStatements(instructions, error);
  if (APMPHasError(error)) return false;
  if (result->kind() == APMPValueKind::Control) {
    APMPSetEditingError(error, APMPEditingErrorCodeControlValueResult);
    return false;
  }
  if (auto activities =
          NANOViewMessage<APMPBOgtActivities>(program, APMPBProgram::kOgtActivities)) {
    auto list = NANOViewMessageArray<APMPBOgtActivity>(*activities, APMPBOgtActivities::kActivities)
                    .value_or(std::vector<NANOMessageView>{});
    for (const NANOMessageView& activity : list)
      if (!loadActivityData(activity, error)) return false;
  }
  runtime_->collectGarbage();
  return true;
}

bool APMPEventEditing::loadActivityData(const NANOMessageBase& activity, APMPErrorSlot* error) {
  std::u16string name =
      APMPUTF16FromUTF8(NANOGetString(activity, APMPBOgtActivity::kName).value_or(""));
  auto data = NANOViewMessageArray<APMPBRuntimeEntity>(activity, APMPBOgtActivity::kData)
                  .value_or(std::vector<NANOMessageView>{});
  for (const NANOMessageView& entity : data) {
    APMPValuePtr rule = runtime_->executeStatements(std::vector<NANOMessageView>{entity}, error);
    if (APMPHasError(error)) return false;
    if (rule->kind() != APMPValueKind::Map) {
      APMPSetEditingError(error, APMPEditingErrorCodeRuleNotAMap);
      return false;
    }
    if (!registerRuleWithName(name, rule, error)) return false;
  }
  return true;
}

bool APMPEventEditing::registerRuleWithName(const std::u16string& name, const APMPValuePtr& rule,
                                            APMPErrorSlot* error) {
  APMPScopePtr scope = runtime_->getRunScope();
  std::shared_ptr<APMPFunctionValue> function = APMPSharedFunction(scope->valueForName(name));
  if (!function) {
    APMPSetEditingError(error, APMPEditingErrorCodeRuleNotAFunction);
    return false;
  }
  function->invokeWithArguments({rule}, scope, error);
  return !APMPHasError(error);
}

bool APMPEventEditing::handleEvent(const APMPEvent& event, APMPErrorSlot* error) {
  APMPErrorSlot local;
  APMPErrorSlot* slot = error != nullptr ? error : &local;
  eventContext_->setInputEvent(event);
  runtime_->resetInstructionCount();
  bool ok =
      callbackHandler_->triggerCallbacksWithScope(runtime_->getRunScope(), eventContext_, slot);
  runtime_->collectGarbage();
  if (!ok || APMPHasError(slot)) return false;
  return hasEdits() || hasCreatedEvents();
}

bool APMPEventEditing::hasEdits() const {
  return !eventContext_->outputEvent().isEqualToEvent(eventContext_->inputEvent());
}

bool APMPEventEditing::hasCreatedEvents() const { return !eventContext_->eventsToLog().empty(); }
