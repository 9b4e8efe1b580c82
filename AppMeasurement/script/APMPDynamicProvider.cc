#include "AppMeasurement/script/APMPDynamicProvider.h"

void APMPDynamicProvider::setModuleCreator(Creator creator, const std::u16string& name) {
  creators_[name] = std::move(creator);
}

APMPValuePtr APMPDynamicProvider::moduleForName(const std::u16string& name,
                                                APMPErrorSlot* error) const {
  auto it = creators_.find(name);
  if (it == creators_.end() || !it->second) return APMPUndefined();
  APMPValuePtr module = it->second();
  if (!module) {
    APMPSetError(error, APMPErrorCodeModuleCreatorFailed);
    return APMPUndefined();
  }
  return module;
}
