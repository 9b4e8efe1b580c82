// Purchase de-duplication: the payment queue may report a purchase more than once (at every
// launch until the app finishes the transaction), so the engine remembers the fingerprints of
// what it passed on.
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/dispatch/DispatchQueue.h"

using apm_engine::monitor;

void APMMeasurement::filterPurchaseTransactions(
    std::vector<SKPaymentTransaction> transactions,
    std::function<void(const std::vector<SKPaymentTransaction>&)> callback) {
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(
      "APMMeasurement:3838",
      [weakSelf, transactions = std::move(transactions), callback = std::move(callback)] {
        std::shared_ptr<APMMeasurement> self = weakSelf.lock();
        if (!self) return;
        std::vector<SKPaymentTransaction> kept;
        for (const SKPaymentTransaction& transaction : transactions) {
          if (transaction.transactionState != SKPaymentTransactionState::Purchased) continue;
          const std::string& productID = transaction.payment.productIdentifier;
          std::optional<std::string> fingerprint =
              self->features_.purchaseReporter->transactionFingerprint(transaction);
          if (!fingerprint || fingerprint->empty() || !self->database_) {
            monitor().logWithLevel(2, 23139,
                                   "Purchase has nil or empty fingerprint. Purchase will not be "
                                   "checked for duplicates. Product ID",
                                   productID);
            kept.push_back(transaction);
            continue;
          }
          APMErrorSlot error;
          std::optional<bool> isNew =
              self->database_->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error);
          if (!isNew) {
            monitor().logWithLevel(1, 23140,
                                   "Failed to save purchase fingerprint. Purchase will not be "
                                   "checked for duplicates. Product ID, error",
                                   productID, error ? APMLogContext(*error) : APMLogContext());
            kept.push_back(transaction);
          } else if (*isNew) {
            kept.push_back(transaction);
          } else {
            monitor().logWithLevel(4, 23141,
                                   "Purchase is a duplicate and will not be reported. Product ID",
                                   productID);
          }
        }
        platform::DispatchQueue::global()->async(
            [callback, kept = std::move(kept)] { callback(kept); });
      });
}
