#include "AppMeasurement/features/APMPurchaseReportingService.h"

#include "AppMeasurement/features/APMInAppPurchaseTransactionReporter.h"
#include "AppMeasurement/features/APMReceipt.h"

std::optional<std::string> APMPurchaseReportingService::transactionFingerprint(
    const SKPaymentTransaction& transaction) {
  return APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction);
}

void APMPurchaseReportingService::paymentQueueUpdatedFilteredTransactions(
    const std::vector<SKPaymentTransaction>& transactions) {
  APMInAppPurchaseTransactionReporter::sharedInstance().paymentQueueUpdatedFilteredTransactions(
      transactions);
}

void APMPurchaseReportingService::reportTransaction(const APMStoreKitTransaction& t) {
  APMInAppPurchaseTransactionReporter::sharedInstance().reportTransactionWithProductIdentifier(
      t.productID, t.transactionID, t.originalTransactionID, t.webOrderLineItemID, t.productType,
      t.isFreeTrial, t.isIntroductoryOffer, t.paymentQuantity, t.purchaseDate,
      t.originalPurchaseDate, t.subscriptionExpirationDate, t.cancellationDate, t.environment,
      t.isVerified);
}

bool APMPurchaseReportingService::verifyTransactionWithDeviceVerification(
    std::string_view deviceVerification, const std::optional<std::string>& uuid,
    const std::string& nonce) {
  return APMVerifyTransactionDeviceVerification(
      deviceVerification, uuid ? std::optional<std::string_view>(*uuid) : std::nullopt, nonce);
}

bool APMPurchaseReportingService::isVersionSameAsOriginalVersion() {
  return APMIsVersionSameAsOriginalVersion();
}

bool APMPurchaseReportingService::isReceiptValid() { return APMReceiptIsValid(); }
