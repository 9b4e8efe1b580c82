#pragma once

#include "AppMeasurement/engine/APMFeatureServices.h"

// The purchase seam of the engine filled with the built parts: fingerprints and reports by the
// shared in-app purchase reporter, device verification and the original-version answer from
// the App Store receipt, and the receipt's validity. Stateless; any thread.
class APMPurchaseReportingService : public APMPurchaseReporting {
 public:
  std::optional<std::string> transactionFingerprint(
      const SKPaymentTransaction& transaction) override;
  void paymentQueueUpdatedFilteredTransactions(
      const std::vector<SKPaymentTransaction>& transactions) override;
  void reportTransaction(const APMStoreKitTransaction& transaction) override;
  bool verifyTransactionWithDeviceVerification(std::string_view deviceVerification,
                                               const std::optional<std::string>& uuid,
                                               const std::string& nonce) override;
  bool isVersionSameAsOriginalVersion() override;
  bool isReceiptValid() override;
};
