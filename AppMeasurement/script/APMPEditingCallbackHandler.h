#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPMarkable.h"

class APMPEventContext;

// The callbacks that programs register: edit callbacks (run first, may change the event) and
// create callbacks (run afterwards, log new events), each kind in ascending priority. A
// collection root: every registered callback, and what it reaches, survives collections.
class APMPEditingCallbackHandler : public APMPMarkable {
 public:
  static constexpr size_t kMaximumCallbacks = 1000;

  // Editing error 4 when 1000 callbacks are registered, 3 for a type other than "create" and
  // "edit". A taken priority becomes the highest of its kind plus one. Priorities are kept in
  // 64 bits, so that bumping past the 32-bit range cannot overflow.
  bool registerWithPriority(int64_t priority, std::shared_ptr<APMPFunctionValue> callback,
                            const std::u16string& ruleType, APMPErrorSlot* error);
  // Runs the edit callbacks, then the create callbacks, with one event object over `context`.
  bool triggerCallbacksWithScope(const APMPScopePtr& scope,
                                 const std::shared_ptr<APMPEventContext>& context,
                                 APMPErrorSlot* error);
  // The callback's result code: 2 on failure, the number's 32-bit pattern, or 0xFFFFFFFF.
  static uint32_t invokeCallbackWithScope(const APMPScopePtr& scope, APMPFunctionValue& function,
                                          const APMPValuePtr& eventHandler, APMPErrorSlot* error);

  void mark(APMPMarker& marker) override;
  size_t count() const { return editCallbackMap_.size() + createCallbackMap_.size(); }

 private:
  static void addCallback(std::shared_ptr<APMPFunctionValue> callback,
                          std::map<int64_t, std::shared_ptr<APMPFunctionValue>>& dictionary,
                          int64_t priority);

  // Ordered maps: their keys are the sorted priority lists.
  std::map<int64_t, std::shared_ptr<APMPFunctionValue>> editCallbackMap_;
  std::map<int64_t, std::shared_ptr<APMPFunctionValue>> createCallbackMap_;
};
