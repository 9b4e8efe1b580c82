#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/features/APMInAppPurchaseItem.h"
#include "AppMeasurement/features/APMInAppPurchaseProductCache.h"
#include "AppMeasurement/foundation/APMValue.h"
#include "platform/storekit/SKPaymentTransaction.h"
#include "platform/storekit/SKProduct.h"

// Turns App Store purchases into "_iap", "_iapx", "_assr" and "_assc" events, classified
// against the in-app items of the receipt. Each report classifies against its own item list
// (the receipt as read at its start plus the item it added itself), so reports running at the
// same time never share or reuse a list. Callable from any thread; never on the engine's worker
// queue (logging hands the event to the facade, which queues it). Reports run on the global
// queue after the call returns: the reporter must outlive them (the shared instance does).
class APMInAppPurchaseTransactionReporter {
 public:
  // Where the reporter looks outside itself; every member has a platform default.
  struct Environment {
    std::function<bool()> receiptIsValid;                             // APMReceiptIsValid
    std::function<bool()> isSandboxReceipt;                           // APMAEU::isASRS
    std::function<std::vector<APMInAppPurchaseItem>()> receiptItems;  // the receipt file's items
    // Logs the event with origin "auto" (the facade's logInternalEventWithOrigin).
    std::function<void(const std::string& name, const APMValueMap& parameters)> logEvent;
  };

  // `cache` answers and fetches products (the shared product cache when null).
  explicit APMInAppPurchaseTransactionReporter(
      Environment environment = {}, std::shared_ptr<APMInAppPurchaseProductCache> cache = nullptr);
  static APMInAppPurchaseTransactionReporter& sharedInstance();

  // The shared report: builds the parameters against `items` and logs the event, or nothing
  // when the parameters cannot be made. `storeKitVersion` is "1" or "2".
  void reportTransactionWithProduct(const std::optional<SKProduct>& product,
                                    int64_t paymentQuantity,
                                    const std::optional<std::string>& transactionIdentifier,
                                    const std::optional<std::string>& originalTransactionIdentifier,
                                    std::optional<double> transactionDate, bool verifyReceipt,
                                    const std::optional<std::string>& environment,
                                    const std::string& storeKitVersion,
                                    const std::vector<APMInAppPurchaseItem>& items);

  // Payment-queue road, after the engine dropped duplicates: the purchased transactions with a
  // product identifier are reported on the global queue once their products are known (those
  // not cached are requested first; a request that ends with an error and no products logs
  // 21027 and drops the batch).
  void paymentQueueUpdatedFilteredTransactions(
      const std::vector<SKPaymentTransaction>& transactions);

  // Facade (StoreKit 2) road: reads the receipt (the report's list), then looks the product up
  // (cache, else one request; none logs 21027), then reports on the global queue.
  void reportTransactionWithProductIdentifier(
      const std::string& productID, const std::string& transactionID,
      const std::string& originalTransactionID,
      const std::optional<std::string>& webOrderLineItemID, int64_t productType, bool isFreeTrial,
      bool isIntroductoryOffer, int64_t paymentQuantity, std::optional<double> purchaseDate,
      std::optional<double> originalPurchaseDate, std::optional<double> subscriptionExpirationDate,
      std::optional<double> cancellationDate, const std::optional<std::string>& environment,
      bool isVerified);

  // Payment-queue road: each transaction with its cached product (possibly none) against the
  // receipt read once for the batch.
  void reportTransactionsFromArray(
      const std::vector<SKPaymentTransaction>& transactions,
      const std::function<std::optional<SKProduct>(const std::string& productIdentifier)>&
          cachedProduct);

  // Facade (StoreKit 2) road, with the product already at hand. A verified transaction missing
  // from the receipt is classified by its own fields, put first in this report's list.
  void reportTransactionWithProductID(
      const SKProduct& product, const std::string& transactionID,
      const std::string& originalTransactionID,
      const std::optional<std::string>& webOrderLineItemID, int64_t productType, bool isFreeTrial,
      bool isIntroductoryOffer, int64_t paymentQuantity, std::optional<double> purchaseDate,
      std::optional<double> originalPurchaseDate, std::optional<double> subscriptionExpirationDate,
      std::optional<double> cancellationDate, const std::optional<std::string>& environment,
      bool isVerified);

  // The lower-case hex MD5 of a purchased transaction's identifier; nothing (with its log line)
  // for an identifier that is missing, empty or only "0" and "-".
  static std::optional<std::string> transactionFingerprint(
      const std::optional<SKPaymentTransaction>& transaction);

 private:
  // The facade report's own list: the receipt's items, and the transaction's own item first
  // when it is verified and missing from the receipt.
  std::vector<APMInAppPurchaseItem> itemsForFacadeTransaction(
      const std::string& productID, const std::string& transactionID,
      const std::string& originalTransactionID,
      const std::optional<std::string>& webOrderLineItemID, int64_t productType, bool isFreeTrial,
      bool isIntroductoryOffer, std::optional<double> purchaseDate,
      std::optional<double> originalPurchaseDate, std::optional<double> subscriptionExpirationDate,
      std::optional<double> cancellationDate, bool isVerified);
  void reportFacadeTransaction(const SKProduct& product,
                               const std::vector<APMInAppPurchaseItem>& items,
                               const std::string& transactionID,
                               const std::string& originalTransactionID, int64_t paymentQuantity,
                               std::optional<double> purchaseDate,
                               const std::optional<std::string>& environment, bool isVerified);

  Environment environment_;
  std::shared_ptr<APMInAppPurchaseProductCache> cache_;
};

// quantity × price × 10^6 in decimal arithmetic, truncated; nothing beyond int64.
std::optional<int64_t> APMPurchaseValueMicros(const platform::Decimal& price, int64_t quantity);
// Signed low 64 bits of MD5(original id ‖ web-order id ‖ product id); −1 without ids.
int64_t APMPurchaseIdentity(const std::optional<std::string>& originalTransactionID,
                            const std::optional<std::string>& webOrderLineItemID,
                            const std::optional<std::string>& productID);
// The items of the product and/or purchase date, earliest purchase first; nothing for no items
// or neither criterion.
std::optional<std::vector<APMInAppPurchaseItem>> APMPurchaseItemsMatching(
    const std::vector<APMInAppPurchaseItem>& items, const std::optional<std::string>& productID,
    std::optional<double> date);
void APMMarkSubscriptionRenewOrConvert(APMValueMap& parameters,
                                       const std::vector<APMInAppPurchaseItem>& productItems,
                                       const APMInAppPurchaseItem& item);
// The event parameters, or nothing when "price", "value", "currency" or "product_id" is missing.
std::optional<APMValueMap> APMPurchaseEventParameters(
    const std::optional<SKProduct>& product, int64_t quantity,
    const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID, std::optional<double> transactionDate,
    const std::vector<APMInAppPurchaseItem>& items);
