#pragma once

#include <string>
#include <utility>
#include <vector>

#include "AppMeasurement/script/APMPMarkable.h"
#include "AppMeasurement/script/APMPPropertyMap.h"

// What maps and functions share: a table of named properties, and the collector's mark.
class APMPPropertyHolder {
 public:
  bool hasProperty(std::u16string_view name) const { return propertyMap_.hasName(name); }
  void setValue(APMPValuePtr value, std::u16string_view name) {
    propertyMap_.setValue(std::move(value), name);
  }
  const APMPValuePtr& valueForProperty(std::u16string_view name) const {
    return propertyMap_.valueForName(name);
  }
  void removeValueForProperty(std::u16string_view name) { propertyMap_.removeValueForName(name); }
  std::vector<std::u16string> allPropertyNames() const { return propertyMap_.allNames(); }
  APMPPropertyMap& propertyMap() { return propertyMap_; }
  const APMPPropertyMap& propertyMap() const { return propertyMap_; }

  bool isMarked() const { return mark_.isSet(); }
  uint64_t markEpoch() const { return mark_.epoch(); }
  // True when the collection of `marker` has already visited this value.
  bool isMarkedBy(const APMPMarker& marker) const { return mark_.isSetBy(marker); }

 protected:
  APMPPropertyMap propertyMap_;
  APMPCollectorMark mark_;
};
