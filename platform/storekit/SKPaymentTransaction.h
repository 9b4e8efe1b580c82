#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// A request to buy a product: which one and how many.
struct SKPayment {
  std::string productIdentifier;
  int64_t quantity = 1;
};

enum class SKPaymentTransactionState : int {
  Purchasing = 0,
  Purchased = 1,
  Failed = 2,
  Restored = 3,
  Deferred = 4,
};

// Why a transaction or a request failed: the phone's NSError as far as StoreKit fills it, the
// description being its localized description (empty when the store gives none).
struct SKTransactionError {
  std::string domain;
  int64_t code = 0;
  std::string localizedDescription;
};

// One transaction as the payment queue reports it. A value: observers get copies.
struct SKPaymentTransaction {
  SKPaymentTransactionState transactionState = SKPaymentTransactionState::Purchasing;
  SKPayment payment;
  std::optional<std::string> transactionIdentifier;  // set once purchased or restored
  std::optional<double> transactionDate;             // seconds since 1970
  // For a restored or renewed transaction, the one it restores.
  std::shared_ptr<const SKPaymentTransaction> originalTransaction;
  std::optional<SKTransactionError> error;  // for a failed transaction
};
