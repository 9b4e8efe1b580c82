#pragma once

#include <functional>
#include <optional>
#include <string>

#include "AppMeasurement/script/APMPFunctionValue.h"

// The module "internal.remoteConfig": a key-value store over the configuration's settings.
// Scripts call its "getValue" property.
class APMPKeyValueStore : public APMPFunctionValue {
 public:
  using GetValueBlock = std::function<std::optional<std::string>(const std::string& key)>;
  APMPKeyValueStore(std::u16string functionName, GetValueBlock getValueBlock);
};

// "getValue"(key, default): the block's text for the key, else the default argument itself.
class APMPKeyValueStoreGetValue : public APMPFunctionValue {
 public:
  explicit APMPKeyValueStoreGetValue(APMPKeyValueStore::GetValueBlock block);
  APMPValuePtr invokeWithArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error) override;

 private:
  APMPKeyValueStore::GetValueBlock getValueBlock_;
};
