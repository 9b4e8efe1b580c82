#include "AppMeasurement/features/APMInAppPurchaseTransactionReporter.h"

#include <algorithm>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/features/APMPurchaseDates.h"
#include "AppMeasurement/features/APMReceipt.h"
#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMStringAdditions.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Text.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace {

APMMonitor& monitor() { return *APMMonitor::monitor(); }

bool nonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

bool isOne(const APMValueMap& parameters, const char* name) {
  auto found = parameters.find(name);
  return found != parameters.end() && found->second.isInt64() && found->second.int64Value() == 1;
}

void setOne(APMValueMap& parameters, const char* name) {
  parameters.insert_or_assign(name, APMValue(int64_t{1}));
}

// price × 10^6 truncated, nothing beyond int64 (logged: an amount is never saturated).
std::optional<int64_t> micros(const platform::Decimal& amount, const char* what) {
  static const platform::Decimal& kMillion =
      *new platform::Decimal(platform::Decimal::fromInt64(1000000));
  static const platform::Decimal& kUpper =
      *new platform::Decimal(platform::Decimal::fromString("9223372036854775808"));
  static const platform::Decimal& kLower =
      *new platform::Decimal(platform::Decimal::fromString("-9223372036854775809"));
  platform::Decimal scaled = amount * kMillion;
  if (scaled.isNaN() || !(scaled < kUpper) || !(scaled > kLower)) {
    monitor().logWithLevel(4, 40030,
                           "Purchase amount is out of the int64 micro-unit range and is left out",
                           std::string(what), amount.toString());
    return std::nullopt;
  }
  return scaled.toInt64();
}

std::vector<APMInAppPurchaseItem> readReceiptItems() {
  std::optional<std::string> path = APMAEU::appStoreRURL();
  if (!path) return {};
  absl::StatusOr<std::string> contents =
      platform::FileManager::defaultManager().contentsAtPath(*path);
  if (!contents.ok() || contents->empty()) return {};
  std::optional<std::vector<APMInAppPurchaseItem>> items =
      APMInAppPurchaseItemsFromReceipt(*contents);
  monitor().logWithLevel(7, 21028, "Parsed purchase items from receipt");
  return items.value_or(std::vector<APMInAppPurchaseItem>{});
}

// StoreKit's product discounts (introductory prices) exist from iOS 11.2 on.
bool hasProductDiscounts() { return OULAppEnvironmentUtil::isSystemVersionAtLeast(11, 2); }

void applyFreeTrial(APMValueMap& parameters) {
  auto price = parameters.find("price");
  if (price != parameters.end()) parameters.insert_or_assign("original_price", price->second);
  setOne(parameters, "price_is_discounted");
  parameters.insert_or_assign("price", APMValue(int64_t{0}));
  parameters.insert_or_assign("value", APMValue(int64_t{0}));
}

}  // namespace

std::optional<int64_t> APMPurchaseValueMicros(const platform::Decimal& price, int64_t quantity) {
  return micros(price * platform::Decimal::fromInt64(quantity), "value");
}

int64_t APMPurchaseIdentity(const std::optional<std::string>& originalTransactionID,
                            const std::optional<std::string>& webOrderLineItemID,
                            const std::optional<std::string>& productID) {
  if (!nonEmpty(originalTransactionID) || !nonEmpty(productID)) return -1;
  std::string input = *originalTransactionID;
  if (nonEmpty(webOrderLineItemID)) input += *webOrderLineItemID;
  input += *productID;
  return apm_64LSBMD5(input);
}

std::optional<std::vector<APMInAppPurchaseItem>> APMPurchaseItemsMatching(
    const std::vector<APMInAppPurchaseItem>& items, const std::optional<std::string>& productID,
    std::optional<double> date) {
  if (items.empty() || (!productID && !date)) return std::nullopt;
  std::vector<std::pair<double, APMInAppPurchaseItem>> matching;
  for (const APMInAppPurchaseItem& item : items) {
    if (productID && item.productID != productID) continue;
    // A missing or unreadable date reads as 0 when sorting and matches no date asked for.
    bool hasDate = false;
    double purchased = 0;
    if (item.purchaseDateIA5String) {
      if (std::optional<double> read = APMDateFromIA5String(*item.purchaseDateIA5String)) {
        hasDate = true;
        purchased = *read;
      }
    }
    if (date && (!hasDate || purchased != *date)) continue;
    matching.emplace_back(purchased, item);
  }
  std::stable_sort(matching.begin(), matching.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<APMInAppPurchaseItem> result;
  for (auto& entry : matching) result.push_back(std::move(entry.second));
  return result;
}

void APMMarkSubscriptionRenewOrConvert(APMValueMap& parameters,
                                       const std::vector<APMInAppPurchaseItem>& productItems,
                                       const APMInAppPurchaseItem& item) {
  if (productItems.empty() || item.originalTransactionID == item.transactionID) return;
  auto found = std::find(productItems.begin(), productItems.end(), item);
  const APMInAppPurchaseItem* previous =
      found != productItems.end() && found != productItems.begin() ? &*(found - 1) : nullptr;
  setOne(parameters, previous && previous->freeTrial ? "sub_convert" : "sub_renew");
}

std::optional<APMValueMap> APMPurchaseEventParameters(
    const std::optional<SKProduct>& product, int64_t quantity,
    const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID, std::optional<double> transactionDate,
    const std::vector<APMInAppPurchaseItem>& items) {
  if (!product) {
    monitor().logWithLevel(8, 40026, "IAP Transaction cannot be created from nil product");
    return std::nullopt;
  }
  if (product->productIdentifier.empty()) {
    monitor().logWithLevel(8, 40027,
                           "IAP Transaction cannot be created from empty or nil product ID");
    return std::nullopt;
  }
  const std::string& productID = product->productIdentifier;
  APMValueMap parameters;
  parameters.emplace("product_id", APMValue(productID));
  if (std::optional<int64_t> price = micros(product->price, "price")) {
    parameters.emplace("price", APMValue(*price));
    if (quantity != 0) {
      if (std::optional<int64_t> value = APMPurchaseValueMicros(product->price, quantity)) {
        parameters.emplace("value", APMValue(*value));
      }
      parameters.emplace("quantity", APMValue(quantity));
    }
  }
  if (!product->currencyCode.empty())
    parameters.emplace("currency", APMValue(product->currencyCode));
  if (!product->localizedTitle.empty()) {
    parameters.emplace("product_name", APMValue(product->localizedTitle));
  }
  if (!nonEmpty(transactionID)) {
    monitor().logWithLevel(8, 40003, "Transaction ID cannot be nil or empty.");
  }
  const bool restoredOrRepurchased = nonEmpty(transactionID) && nonEmpty(originalTransactionID) &&
                                     *transactionID != *originalTransactionID;

  // Classification against the latest purchase of the product in the receipt; any "continue at
  // the discounts" of the rules is a return from this block.
  [&] {
    std::optional<std::vector<APMInAppPurchaseItem>> ofProduct =
        APMPurchaseItemsMatching(items, productID, std::nullopt);
    if (!ofProduct || ofProduct->empty()) {
      monitor().logWithLevel(8, 40020, "Transaction missing in receipt will be reported as invalid",
                             productID);
      setOne(parameters, "invalid");
      return;
    }
    const APMInAppPurchaseItem item = ofProduct->back();
    const std::optional<int64_t> type = item.purchaseType;
    bool autoRenewable = type == 3 || item.webOrderLineItemID.has_value();
    bool nonRenewing = type == 2 && !autoRenewable;
    if (type == 0 && restoredOrRepurchased) {
      monitor().logWithLevel(
          8, 40005, "Restore/repurchase of non-consumable item will be reported as invalid");
      setOne(parameters, "invalid");
      return;
    }
    if (!autoRenewable && !nonRenewing) {
      if (item.transactionID == item.originalTransactionID) {
        if (type == 1)
          monitor().logWithLevel(8, 40021, "Transaction of consumable item will be reported");
        if (type == 0) {
          monitor().logWithLevel(8, 40022, "Transaction of non-consumable item will be reported");
        }
        parameters.insert_or_assign(
            "_did", APMValue(APMPurchaseIdentity(item.originalTransactionID, std::nullopt,
                                                 item.productID)));
      } else {
        monitor().logWithLevel(
            8, 40007,
            "Transaction with mismatched transaction ID and original transaction "
            "ID will be reported as consumable");
      }
      return;
    }
    std::optional<std::vector<APMInAppPurchaseItem>> subs =
        APMPurchaseItemsMatching(items, std::nullopt, transactionDate);
    if (!subs || subs->size() != 1) {
      if (!subs || subs->empty()) {
        monitor().logWithLevel(8, 40023,
                               "Subscription transaction missing in receipt will be reported as "
                               "invalid",
                               productID);
      } else {
        monitor().logWithLevel(8, 40024,
                               "Subscription transaction with duplicate transaction date will be "
                               "reported as invalid",
                               productID, static_cast<int64_t>(subs->size()));
      }
      setOne(parameters, "invalid");
      setOne(parameters, "subscription");
      return;
    }
    const APMInAppPurchaseItem& s = subs->front();
    if (!autoRenewable) {
      setOne(parameters, "subscription");
      parameters.insert_or_assign("_did", APMValue(APMPurchaseIdentity(s.originalTransactionID,
                                                                       std::nullopt, s.productID)));
      monitor().logWithLevel(8, 40025, "Transaction of non-renewing subscription will be reported");
      return;
    }
    if (s.originalTransactionID == s.transactionID) setOne(parameters, "subscription");
    std::optional<std::string> webOrder =
        s.webOrderLineItemID ? std::optional<std::string>(std::to_string(*s.webOrderLineItemID))
                             : std::nullopt;
    parameters.insert_or_assign(
        "_did", APMValue(APMPurchaseIdentity(s.originalTransactionID, webOrder, s.productID)));
    if (!s.freeTrial && !s.introductoryOffer) {
      monitor().logWithLevel(8, 40008,
                             "Transaction of auto-renewable subscription will be reported");
      APMMarkSubscriptionRenewOrConvert(parameters, *ofProduct, s);
      return;
    }
    if (s.freeTrial) {
      setOne(parameters, "free_trial");
      if (restoredOrRepurchased) {
        monitor().logWithLevel(8, 40011,
                               "Repurchase of free-trial auto-renewable subscription will be "
                               "reported as invalid");
        setOne(parameters, "invalid");
        return;
      }
      monitor().logWithLevel(
          8, 40009, "Transaction of free-trial auto-renewable subscription will be reported");
    } else {
      setOne(parameters, "price_is_discounted");
      APMMarkSubscriptionRenewOrConvert(parameters, *ofProduct, s);
      monitor().logWithLevel(8, 40018, "Transaction of introductory offer will be reported");
    }
    monitor().logWithLevel(8, 40010,
                           "Transaction of auto-renewable subscription renewal will be reported");
  }();

  if (isOne(parameters, "free_trial")) {
    applyFreeTrial(parameters);
  } else if (isOne(parameters, "price_is_discounted") && hasProductDiscounts() &&
             product->introductoryPrice) {
    const SKProductDiscount& intro = *product->introductoryPrice;
    if (intro.paymentMode == SKProductDiscountPaymentMode::FreeTrial) {
      applyFreeTrial(parameters);
    } else {
      auto price = parameters.find("price");
      if (price != parameters.end()) parameters.insert_or_assign("original_price", price->second);
      parameters.erase("price");
      parameters.erase("value");
      if (std::optional<int64_t> introPrice = micros(intro.price, "introductory price")) {
        parameters.insert_or_assign("price", APMValue(*introPrice));
      }
      if (quantity != 0) {
        if (std::optional<int64_t> value = APMPurchaseValueMicros(intro.price, quantity)) {
          parameters.insert_or_assign("value", APMValue(*value));
        }
      }
    }
  }
  for (const char* required : {"price", "value", "currency", "product_id"}) {
    if (!parameters.contains(required)) return std::nullopt;
  }
  return parameters;
}

APMInAppPurchaseTransactionReporter::APMInAppPurchaseTransactionReporter(
    Environment environment, std::shared_ptr<APMInAppPurchaseProductCache> cache)
    : environment_(std::move(environment)),
      cache_(cache ? std::move(cache) : APMInAppPurchaseProductCache::sharedInstance()) {
  if (!environment_.receiptIsValid)
    environment_.receiptIsValid = [] { return APMReceiptIsValid(); };
  if (!environment_.isSandboxReceipt)
    environment_.isSandboxReceipt = [] { return APMAEU::isASRS(); };
  if (!environment_.receiptItems) environment_.receiptItems = readReceiptItems;
  if (!environment_.logEvent) {
    environment_.logEvent = [](const std::string& name, const APMValueMap& parameters) {
      APMObjectMap objects;
      for (const auto& [key, value] : parameters) objects.emplace(key, APMObject(value));
      APMAnalytics::logInternalEventWithOrigin("auto", name, objects);
    };
  }
}

APMInAppPurchaseTransactionReporter& APMInAppPurchaseTransactionReporter::sharedInstance() {
  static APMInAppPurchaseTransactionReporter& instance = *new APMInAppPurchaseTransactionReporter();
  return instance;
}

void APMInAppPurchaseTransactionReporter::reportTransactionWithProduct(
    const std::optional<SKProduct>& product, int64_t paymentQuantity,
    const std::optional<std::string>& transactionIdentifier,
    const std::optional<std::string>& originalTransactionIdentifier,
    std::optional<double> transactionDate, bool verifyReceipt,
    const std::optional<std::string>& environment, const std::string& storeKitVersion,
    const std::vector<APMInAppPurchaseItem>& items) {
  std::optional<APMValueMap> parameters =
      APMPurchaseEventParameters(product, paymentQuantity, transactionIdentifier,
                                 originalTransactionIdentifier, transactionDate, items);
  if (!parameters) return;
  std::string lowered = environment ? platform::Text::lowercase(*environment) : std::string();
  bool sandbox = lowered == "sandbox" || lowered == "xcode" || environment_.isSandboxReceipt();
  bool invalid = isOne(*parameters, "invalid");
  std::string name;
  bool confirmed = verifyReceipt ? environment_.receiptIsValid() && !invalid : !invalid;
  if (confirmed) {
    if (!verifyReceipt) {
      setOne(*parameters, "validated");
      if (sandbox) setOne(*parameters, "sandbox");
    }
    name = "_iap";
  } else {
    if (sandbox) setOne(*parameters, "sandbox");
    parameters->erase("invalid");
    name = "_iapx";
  }
  if (isOne(*parameters, "sub_renew")) {
    parameters->erase("sub_renew");
    name = "_assr";
  }
  if (isOne(*parameters, "sub_convert")) {
    parameters->erase("sub_convert");
    name = "_assc";
  }
  parameters->insert_or_assign("_skv", APMValue(storeKitVersion));
  environment_.logEvent(name, *parameters);
}

void APMInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const std::vector<SKPaymentTransaction>& transactions,
    const std::function<std::optional<SKProduct>(const std::string&)>& cachedProduct) {
  // The batch's own list: nothing of it outlives the batch.
  const std::vector<APMInAppPurchaseItem> items = environment_.receiptItems();
  for (const SKPaymentTransaction& transaction : transactions) {
    std::optional<std::string> original =
        transaction.originalTransaction ? transaction.originalTransaction->transactionIdentifier
                                        : std::nullopt;
    reportTransactionWithProduct(cachedProduct(transaction.payment.productIdentifier),
                                 transaction.payment.quantity, transaction.transactionIdentifier,
                                 original, transaction.transactionDate, true, std::nullopt, "1",
                                 items);
  }
}

std::vector<APMInAppPurchaseItem> APMInAppPurchaseTransactionReporter::itemsForFacadeTransaction(
    const std::string& productID, const std::string& transactionID,
    const std::string& originalTransactionID, const std::optional<std::string>& webOrderLineItemID,
    int64_t productType, bool isFreeTrial, bool isIntroductoryOffer,
    std::optional<double> purchaseDate, std::optional<double> originalPurchaseDate,
    std::optional<double> subscriptionExpirationDate, std::optional<double> cancellationDate,
    bool isVerified) {
  // This report's list starts from the receipt alone, so a missing receipt can never leave
  // another report's items (or this item) behind.
  std::vector<APMInAppPurchaseItem> items = environment_.receiptItems();
  auto ia5 = [](std::optional<double> date) {
    return date ? std::optional<std::string>(APMIA5StringFromDate(*date)) : std::nullopt;
  };
  bool listed = std::any_of(items.begin(), items.end(), [&](const APMInAppPurchaseItem& item) {
    return item.transactionID == transactionID;
  });
  if (isVerified && !listed) {
    APMInAppPurchaseItem item;
    item.freeTrial = isFreeTrial;
    item.introductoryOffer = isIntroductoryOffer;
    item.subscriptionExpirationDateIA5String = ia5(subscriptionExpirationDate);
    item.productID = productID;
    item.originalTransactionID = originalTransactionID;
    item.transactionID = transactionID;
    if (webOrderLineItemID) {
      item.webOrderLineItemID =
          static_cast<uint64_t>(std::strtoll(webOrderLineItemID->c_str(), nullptr, 10));
    }
    item.originalPurchaseDateIA5String = ia5(originalPurchaseDate);
    item.purchaseDateIA5String = ia5(purchaseDate);
    item.cancellationDateIA5String = ia5(cancellationDate);
    item.purchaseType = productType;
    items.insert(items.begin(), std::move(item));
  }
  return items;
}

void APMInAppPurchaseTransactionReporter::reportFacadeTransaction(
    const SKProduct& product, const std::vector<APMInAppPurchaseItem>& items,
    const std::string& transactionID, const std::string& originalTransactionID,
    int64_t paymentQuantity, std::optional<double> purchaseDate,
    const std::optional<std::string>& environment, bool isVerified) {
  std::optional<double> transactionDate =
      purchaseDate ? APMDateFromIA5String(APMIA5StringFromDate(*purchaseDate)) : std::nullopt;
  reportTransactionWithProduct(product, paymentQuantity, transactionID, originalTransactionID,
                               transactionDate, !isVerified, environment, "2", items);
}

void APMInAppPurchaseTransactionReporter::reportTransactionWithProductID(
    const SKProduct& product, const std::string& transactionID,
    const std::string& originalTransactionID, const std::optional<std::string>& webOrderLineItemID,
    int64_t productType, bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
    std::optional<double> purchaseDate, std::optional<double> originalPurchaseDate,
    std::optional<double> subscriptionExpirationDate, std::optional<double> cancellationDate,
    const std::optional<std::string>& environment, bool isVerified) {
  std::vector<APMInAppPurchaseItem> items = itemsForFacadeTransaction(
      product.productIdentifier, transactionID, originalTransactionID, webOrderLineItemID,
      productType, isFreeTrial, isIntroductoryOffer, purchaseDate, originalPurchaseDate,
      subscriptionExpirationDate, cancellationDate, isVerified);
  reportFacadeTransaction(product, items, transactionID, originalTransactionID, paymentQuantity,
                          purchaseDate, environment, isVerified);
}

void APMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    const std::vector<SKPaymentTransaction>& transactions) {
  std::vector<SKPaymentTransaction> kept;
  std::set<std::string> missing;
  for (const SKPaymentTransaction& transaction : transactions) {
    if (transaction.transactionState != SKPaymentTransactionState::Purchased ||
        transaction.payment.productIdentifier.empty()) {
      continue;
    }
    kept.push_back(transaction);
    if (!cache_->cachedProductForProductIdentifier(transaction.payment.productIdentifier)) {
      missing.insert(transaction.payment.productIdentifier);
    }
  }
  if (kept.empty()) return;
  std::shared_ptr<APMInAppPurchaseProductCache> cache = cache_;
  auto report = [this, cache, kept] {
    reportTransactionsFromArray(kept, [cache](const std::string& identifier) {
      return cache->cachedProductForProductIdentifier(identifier);
    });
  };
  if (missing.empty()) {
    platform::DispatchQueue::global()->async(report);
    return;
  }
  cache_->requestProductsWithProductIdentifiers(
      std::move(missing), platform::DispatchQueue::global(),
      [report](const auto& products, const auto&, const auto& error) {
        if (error && (!products || products->empty())) {
          monitor().logWithLevel(1, 21027, "Cannot request product information. Error",
                                 error->description());
          return;
        }
        report();
      });
}

void APMInAppPurchaseTransactionReporter::reportTransactionWithProductIdentifier(
    const std::string& productID, const std::string& transactionID,
    const std::string& originalTransactionID, const std::optional<std::string>& webOrderLineItemID,
    int64_t productType, bool isFreeTrial, bool isIntroductoryOffer, int64_t paymentQuantity,
    std::optional<double> purchaseDate, std::optional<double> originalPurchaseDate,
    std::optional<double> subscriptionExpirationDate, std::optional<double> cancellationDate,
    const std::optional<std::string>& environment, bool isVerified) {
  // The receipt is read first, as the report's own list; the product lookup may wait for the
  // store, and the report classifies against the receipt as it was when the call came.
  std::vector<APMInAppPurchaseItem> items = itemsForFacadeTransaction(
      productID, transactionID, originalTransactionID, webOrderLineItemID, productType, isFreeTrial,
      isIntroductoryOffer, purchaseDate, originalPurchaseDate, subscriptionExpirationDate,
      cancellationDate, isVerified);
  auto report = [=, this](const SKProduct& product) {
    reportFacadeTransaction(product, items, transactionID, originalTransactionID, paymentQuantity,
                            purchaseDate, environment, isVerified);
  };
  if (std::optional<SKProduct> cached = cache_->cachedProductForProductIdentifier(productID)) {
    platform::DispatchQueue::global()->async([report, product = *cached] { report(product); });
    return;
  }
  cache_->requestProductsWithProductIdentifiers(
      {productID}, platform::DispatchQueue::global(),
      [report, productID](const auto& products, const auto&, const auto& error) {
        auto found = products ? products->find(productID) : decltype(products->end()){};
        if (!products || found == products->end()) {
          monitor().logWithLevel(1, 21027, "Cannot request product information. Error",
                                 error ? error->description() : std::string("(no product)"));
          return;
        }
        report(found->second);
      });
}

std::optional<std::string> APMInAppPurchaseTransactionReporter::transactionFingerprint(
    const std::optional<SKPaymentTransaction>& transaction) {
  if (!transaction) {
    monitor().logWithLevel(2, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->transactionState != SKPaymentTransactionState::Purchased) return std::nullopt;
  int64_t code = transaction->error ? transaction->error->code : 0;
  if (!transaction->transactionIdentifier) {
    monitor().logWithLevel(2, 21015, "Transaction identifier is nil. Code", code);
    return std::nullopt;
  }
  const std::string& identifier = *transaction->transactionIdentifier;
  if (identifier.empty()) {
    monitor().logWithLevel(2, 21016, "Transaction identifier is empty. Code", code);
    return std::nullopt;
  }
  if (identifier.find_first_not_of("0-") == std::string::npos) {
    monitor().logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code", code);
    return std::nullopt;
  }
  return apm_MD5String(identifier);
}
