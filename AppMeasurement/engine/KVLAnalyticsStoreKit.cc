// The typed layer's StoreKit 2 operation of KVLAnalytics: a transaction's fields read and
// passed, synchronously, to the facade's transaction operation.
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "platform/storekit/StoreKitAppStore.h"
#include "platform/storekit/StoreKitTransaction.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace {

int64_t APMProductTypeCode(StoreKitTransaction::ProductType productType) {
  switch (productType) {
    case StoreKitTransaction::ProductType::nonConsumable:
      return 0;
    case StoreKitTransaction::ProductType::consumable:
      return 1;
    case StoreKitTransaction::ProductType::nonRenewable:
      return 2;
    case StoreKitTransaction::ProductType::autoRenewable:
      return 3;
    default:
      return 0;
  }
}

}  // namespace

void KVLAnalytics::logStoreKitTransaction(const StoreKitTransaction& transaction) {
  // Offers are reported from 17.2 on; earlier systems log both flags off.
  bool offersKnown = OULAppEnvironmentUtil::isSystemVersionAtLeast(17, 2);
  bool isFreeTrial =
      offersKnown && transaction.offer &&
      transaction.offer->paymentMode == StoreKitTransaction::OfferPaymentMode::freeTrial;
  bool isIntroductoryOffer =
      offersKnown && transaction.offer &&
      transaction.offer->type == StoreKitTransaction::OfferType::introductory;
  bool verified = verifyTransactionWithDeviceVerification(transaction.deviceVerification,
                                                          StoreKitAppStore::deviceVerificationID(),
                                                          transaction.deviceVerificationNonce);
  APMStoreKitTransaction record;
  record.productID = transaction.productID;
  // Unsigned 64-bit identifiers in decimal: the full range, never a negative number.
  record.transactionID = std::to_string(transaction.id);
  record.originalTransactionID = std::to_string(transaction.originalID);
  record.webOrderLineItemID = transaction.webOrderLineItemID;
  record.productType = APMProductTypeCode(transaction.productType);
  record.isFreeTrial = isFreeTrial;
  record.isIntroductoryOffer = isIntroductoryOffer;
  record.paymentQuantity = transaction.purchasedQuantity;
  record.purchaseDate = transaction.purchaseDate;
  record.originalPurchaseDate = transaction.originalPurchaseDate;
  record.subscriptionExpirationDate = transaction.expirationDate;
  record.cancellationDate = transaction.revocationDate;
  if (OULAppEnvironmentUtil::isSystemVersionAtLeast(16, 0))
    record.environment = transaction.environment;
  record.isVerified = verified;
  logTransaction(record);
}
