#pragma once

#include <cstdint>
#include <optional>
#include <string>

// One in-app purchase: read from the App Store receipt or built from a reported transaction.
// Dates are texts in the form "yyyy-MM-dd'T'HH:mm:ssZZZZZ". A value type.
struct APMInAppPurchaseItem {
  bool freeTrial = false;
  bool introductoryOffer = false;
  std::optional<std::string> subscriptionExpirationDateIA5String;
  std::optional<std::string> productID;
  std::optional<std::string> originalTransactionID;
  std::optional<std::string> transactionID;
  std::optional<uint64_t> webOrderLineItemID;
  std::optional<std::string> originalPurchaseDateIA5String;
  std::optional<std::string> purchaseDateIA5String;
  std::optional<std::string> cancellationDateIA5String;
  std::optional<int64_t> purchaseType;

  bool operator==(const APMInAppPurchaseItem&) const = default;
};
