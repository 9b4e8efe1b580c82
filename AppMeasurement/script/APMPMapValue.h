#pragma once

#include "AppMeasurement/script/APMPPropertyHolder.h"
#include "AppMeasurement/script/APMPRuntimeValue.h"

// A script object: a table of named properties. Made through the object manager so that the
// collector tracks it.
class APMPMapValue : public APMPRuntimeValue, public APMPPropertyHolder {
 public:
  // The object is charged to the storage ledger for its lifetime.
  APMPMapValue();
  ~APMPMapValue() override;

  std::u16string stringValueOrError(APMPErrorSlot* error) const override;
  double doubleValueOrError(APMPErrorSlot* error) const override;
  bool booleanValueOrError(APMPErrorSlot* error) const override;
  APMPValuePtr applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopePtr& scope, APMPErrorSlot* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void mark(APMPMarker& marker) override;
  void sweep() override;
  uint64_t collectorEpoch() const override { return markEpoch(); }

 private:
};

// The method-call rules that maps and functions share: an own function-valued property,
// then "hasOwnProperty", then the base behaviour.
APMPValuePtr APMPApplyToPropertyHolder(APMPRuntimeValue& receiver, APMPPropertyMap& properties,
                                       const std::u16string& name, const APMPValueList& arguments,
                                       const APMPScopePtr& scope, APMPErrorSlot* error);
