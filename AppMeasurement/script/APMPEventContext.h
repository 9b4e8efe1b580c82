#pragma once

#include <vector>

#include "AppMeasurement/script/APMPEvent.h"

// The event being handled: the input as the engine gave it, the output as callbacks edit it,
// and the events callbacks log.
class APMPEventContext {
 public:
  APMPEventContext() : outputEvent_(inputEvent_) {}
  explicit APMPEventContext(APMPEvent event) : inputEvent_(event), outputEvent_(std::move(event)) {}

  // The input and a copy as the output; the logged list is emptied.
  void setInputEvent(const APMPEvent& event);
  const APMPEvent& inputEvent() const { return inputEvent_; }
  APMPEvent& outputEvent() { return outputEvent_; }
  const APMPEvent& outputEvent() const { return outputEvent_; }
  void setOutputEvent(APMPEvent event) { outputEvent_ = std::move(event); }
  const std::vector<APMPEvent>& eventsToLog() const { return loggedEvents_; }
  // Each parameter is normalised against the input event's parameter of that name.
  void logEventWithName(std::string name, double timestamp,
                        const platform::Value::Dictionary& parameters);

 private:
  std::vector<APMPEvent> loggedEvents_;
  APMPEvent inputEvent_;
  APMPEvent outputEvent_;
};
