#pragma once

#include <cstdint>

#include "AppMeasurement/script/APMPPropertyMap.h"
#include "AppMeasurement/script/APMPRuntimeValue.h"

class APMPFunctionValue;

// The script array: a dense element list in which missing elements are the shared hole
// marker, plus a table of named (non-index) properties.
class APMPArrayValue : public APMPRuntimeValue {
 public:
  // The most elements an array holds. Writing past it, or setting a larger "length", fails
  // with error 20 instead of exhausting memory.
  static constexpr uint64_t kMaximumLength = uint64_t{1} << 22;

  APMPArrayValue();
  explicit APMPArrayValue(APMPValueList elements);
  ~APMPArrayValue() override;

  // The shared hole marker.
  static const APMPValuePtr& emptyValue() {
    static const APMPValuePtr& hole = *new APMPValuePtr(std::make_shared<APMPRuntimeValue>());
    return hole;
  }

  std::u16string stringValueWithSeparator(const std::u16string& separator,
                                          APMPErrorSlot* error) const;
  std::u16string stringValueOrError(APMPErrorSlot* error) const override;
  double doubleValueOrError(APMPErrorSlot* error) const override;
  bool booleanValueOrError(APMPErrorSlot* error) const override;
  APMPValuePtr applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopePtr& scope, APMPErrorSlot* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void mark(APMPMarker& marker) override;
  void sweep() override;
  uint64_t collectorEpoch() const override { return mark_.epoch(); }

  APMPValuePtr valueForProperty(const APMPValuePtr& property, APMPErrorSlot* error) const;
  void setValue(APMPValuePtr value, const APMPValuePtr& property, APMPErrorSlot* error);
  void removeValueForProperty(const APMPValuePtr& property, APMPErrorSlot* error);
  bool hasProperty(const APMPValuePtr& property, APMPErrorSlot* error) const;
  APMPValueList allPropertyNames() const;
  size_t count() const { return elements_.size(); }
  // A copy of the elements with every hole read as undefined.
  APMPValueList allElements() const;
  const APMPValueList& elements() const { return elements_; }
  // Grows with holes or truncates; false with error 20 past the bound.
  bool setLength(uint64_t length, APMPErrorSlot* error);

  std::shared_ptr<APMPArrayValue> subarrayWithRange(uint64_t location, uint64_t length) const;
  APMPValueList spliceFrom(int64_t from, int64_t deleteCount, const APMPValueList& values,
                           APMPErrorSlot* error);
  void concat(const APMPValuePtr& value, APMPErrorSlot* error);
  void reverse();
  APMPValuePtr removeFirstElement();
  APMPValuePtr removeLastElement();
  size_t appendElements(const APMPValueList& values, APMPErrorSlot* error);
  size_t prependElements(const APMPValueList& values, APMPErrorSlot* error);
  int64_t indexOfValue(const APMPValuePtr& value, uint64_t fromIndex, APMPErrorSlot* error) const;
  int64_t lastIndexOfValue(const APMPValuePtr& value, uint64_t fromIndex,
                           APMPErrorSlot* error) const;
  void sortUsingFunctionValue(const std::shared_ptr<APMPFunctionValue>& function,
                              const APMPScopePtr& scope, APMPErrorSlot* error);

  APMPPropertyMap& propertyMap() { return propertyMap_; }
  bool isMarked() const { return mark_.isSet(); }
  // True when the collection of `marker` has already visited this value.
  bool isMarkedBy(const APMPMarker& marker) const { return mark_.isSetBy(marker); }

 private:
  APMPPropertyMap propertyMap_;
  // Brings the storage ledger up to date with the element count, and counts the write for the
  // collector (APMPNoteReachedWrite); called after every change of the element list.
  void accountElements();

  APMPValueList elements_;
  int64_t accountedBytes_ = 0;
  size_t accountedSlots_ = 0;
  APMPCollectorMark mark_;
};
