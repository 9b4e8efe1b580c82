#pragma once

#include <cstdint>
#include <optional>
#include <string>

// One StoreKit 2 transaction as the App Store hands it to an app (StoreKit's `Transaction`):
// a value with the fields the measurement library reads. Identifiers are unsigned 64-bit
// numbers, dates seconds since 1970.
struct StoreKitTransaction {
  enum class ProductType { consumable, nonConsumable, nonRenewable, autoRenewable, other };
  enum class OfferPaymentMode { freeTrial, payAsYouGo, payUpFront };
  enum class OfferType { introductory, promotional, code, winBack };
  // The offer the transaction was bought with (iOS 17.2 and later report it).
  struct Offer {
    OfferType type = OfferType::introductory;
    std::optional<OfferPaymentMode> paymentMode;
  };

  uint64_t id = 0;
  uint64_t originalID = 0;
  std::string productID;
  std::optional<std::string> webOrderLineItemID;
  ProductType productType = ProductType::consumable;
  std::optional<Offer> offer;
  int64_t purchasedQuantity = 1;
  double purchaseDate = 0;
  double originalPurchaseDate = 0;
  std::optional<double> expirationDate;
  std::optional<double> revocationDate;
  // The environment's raw value ("Production", "Sandbox", "Xcode"; iOS 16 and later).
  std::string environment = "Production";
  // SHA-384 of the nonce and the device's verification identifier, as the App Store made it.
  std::string deviceVerification;
  // The nonce's UUID text.
  std::string deviceVerificationNonce;
};
