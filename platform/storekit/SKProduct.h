#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Decimal.h"

// How an introductory offer is paid.
enum class SKProductDiscountPaymentMode : int {
  PayAsYouGo = 0,
  PayUpFront = 1,
  FreeTrial = 2,
};

// An introductory offer of a subscription.
struct SKProductDiscount {
  platform::Decimal price;
  SKProductDiscountPaymentMode paymentMode = SKProductDiscountPaymentMode::PayAsYouGo;
};

// A product of the store as a products request returns it. A value type. Money is decimal,
// never double.
struct SKProduct {
  std::string productIdentifier;
  std::string localizedTitle;
  platform::Decimal price;
  std::string currencyCode;  // the price locale's ISO 4217 code
  std::optional<SKProductDiscount> introductoryPrice;
};
