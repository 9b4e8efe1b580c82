#pragma once

#include <memory>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/script/APMPDynamicProvider.h"
#include "AppMeasurement/script/APMPEventContext.h"
#include "AppMeasurement/script/APMPRuntimeValue.h"

class APMPEditingCallbackHandler;
class APMPRuntime;

// What the measurement library sees of the script runtime: loads an event-editing program and
// passes events through the callbacks it registers. Used from one queue at a time.
class APMPEventEditing {
 public:
  APMPEventEditing();
  explicit APMPEventEditing(std::shared_ptr<APMPRuntime> runtime);
  ~APMPEventEditing();

  void setModuleCreator(APMPDynamicProvider::Creator creator, const std::u16string& name);

  // Runs the instructions, then registers the rules of every activity; collects garbage after
  // a successful load. Editing error 5 when the instructions end in a control value. The
  // program is an APMPBProgram or a view of one; it is read in place, not copied.
  bool loadProgram(const NANOMessageBase& program, APMPErrorSlot* error);
  // Registers the rules of one activity (an APMPBOgtActivity or a view of one) under its name.
  bool loadActivityData(const NANOMessageBase& activity, APMPErrorSlot* error);
  bool registerRuleWithName(const std::u16string& name, const APMPValuePtr& rule,
                            APMPErrorSlot* error);

  // Runs the callbacks over the event with a fresh budget, then collects garbage. True when
  // the event was edited or events were logged; false with the error on failure.
  bool handleEvent(const APMPEvent& event, APMPErrorSlot* error);
  bool hasEdits() const;
  bool hasCreatedEvents() const;
  const APMPEventContext& eventContext() const { return *eventContext_; }
  APMPRuntime& runtime() { return *runtime_; }

 private:
  std::shared_ptr<APMPRuntime> runtime_;
  std::shared_ptr<APMPEventContext> eventContext_;
  std::shared_ptr<APMPEditingCallbackHandler> callbackHandler_;
};
