#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/storekit/SKPaymentTransaction.h"

class SKPaymentQueue;

// Told of every batch of transactions the queue updates.
class SKPaymentTransactionObserver {
 public:
  virtual ~SKPaymentTransactionObserver() = default;
  virtual void paymentQueueUpdatedTransactions(
      SKPaymentQueue& queue, const std::vector<SKPaymentTransaction>& transactions) = 0;
};

// The app's payment queue. Observers are held weakly (one that is gone is skipped) and told of
// each batch on the main queue, in the order of the batches and of their adding. Thread-safe.
class SKPaymentQueue {
 public:
  static SKPaymentQueue& defaultQueue();

  // Adding an observer that is already there changes nothing.
  void addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer);
  void removeTransactionObserver(const SKPaymentTransactionObserver* observer);
  size_t observerCount();

  // The store's side: a batch of updated transactions, as the platform delivers them (the app
  // driver and tests play the store through this).
  void updateTransactions(std::vector<SKPaymentTransaction> transactions);

 private:
  std::mutex mutex_;
  std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers_;  // guarded by mutex_
};
