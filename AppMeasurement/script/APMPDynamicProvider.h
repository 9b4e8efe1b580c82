#pragma once

#include <functional>
#include <string>
#include <unordered_map>

#include "AppMeasurement/script/APMPRuntimeValue.h"

// The runtime's module registry: module name -> creator.
class APMPDynamicProvider {
 public:
  // Returns a new module value at every call, or null for "nothing".
  using Creator = std::function<APMPValuePtr()>;

  void setModuleCreator(Creator creator, const std::u16string& name);
  // Undefined without error when no creator is registered; error 15 when the creator gives
  // nothing; otherwise the creator's result.
  APMPValuePtr moduleForName(const std::u16string& name, APMPErrorSlot* error) const;

 private:
  std::unordered_map<std::u16string, Creator> creators_;
};
