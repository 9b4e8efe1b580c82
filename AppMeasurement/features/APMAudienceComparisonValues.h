#pragma once

#include <optional>

#include "platform/foundation/Decimal.h"

// The parsed comparison values of one number filter, as the decimal comparison reads them. A
// plain holder: a bound that did not parse is absent and marks the holder invalid.
struct APMAudienceComparisonValues {
  std::optional<platform::Decimal> comparisonValue;
  std::optional<platform::Decimal> minComparisonValue;
  std::optional<platform::Decimal> maxComparisonValue;
  bool valid = true;

  bool isValid() const { return valid; }
};
