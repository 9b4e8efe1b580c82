#include "platform/storekit/SKPaymentQueue.h"

#include "platform/dispatch/DispatchQueue.h"

SKPaymentQueue& SKPaymentQueue::defaultQueue() {
  static SKPaymentQueue* queue = new SKPaymentQueue();  // lives as long as the process
  return *queue;
}

void SKPaymentQueue::addTransactionObserver(
    const std::shared_ptr<SKPaymentTransactionObserver>& observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& existing : observers_) {
    if (existing.lock() == observer) return;
  }
  observers_.push_back(observer);
}

void SKPaymentQueue::removeTransactionObserver(const SKPaymentTransactionObserver* observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(observers_, [observer](const auto& weak) {
    auto strong = weak.lock();
    return !strong || strong.get() == observer;
  });
}

size_t SKPaymentQueue::observerCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
  return observers_.size();
}

void SKPaymentQueue::updateTransactions(std::vector<SKPaymentTransaction> transactions) {
  platform::DispatchQueue::main()->async([this, transactions = std::move(transactions)] {
    std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      observers = observers_;
    }
    // Observers are called outside the lock: one may add or remove observers as it runs.
    for (const auto& weak : observers) {
      if (auto observer = weak.lock())
        observer->paymentQueueUpdatedTransactions(*this, transactions);
    }
  });
}
