#include "platform/storekit/SKPaymentQueue.h"

#include <gtest/gtest.h>

#include "platform/dispatch/DispatchQueue.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace {

struct Recorder : SKPaymentTransactionObserver {
  explicit Recorder(std::vector<std::string>* log, std::string name) : log(log), name(name) {}
  void paymentQueueUpdatedTransactions(SKPaymentQueue&,
                                       const std::vector<SKPaymentTransaction>& batch) override {
    EXPECT_TRUE(platform::DispatchQueue::isMainThread());
    for (const auto& transaction : batch) {
      log->push_back(name + ":" + transaction.payment.productIdentifier);
    }
  }
  std::vector<std::string>* log;
  std::string name;
};

TEST(SKPaymentQueueTest, BatchesReachLiveObserversOnTheMainQueueInOrder) {
  testsupport::DispatchTestEnvironment env;
  SKPaymentQueue& queue = SKPaymentQueue::defaultQueue();
  std::vector<std::string> log;
  auto a = std::make_shared<Recorder>(&log, "a");
  auto b = std::make_shared<Recorder>(&log, "b");
  auto gone = std::make_shared<Recorder>(&log, "gone");
  queue.addTransactionObserver(a);
  queue.addTransactionObserver(a);  // once only
  queue.addTransactionObserver(gone);
  queue.addTransactionObserver(b);
  gone.reset();  // held weakly: never called, no longer counted
  EXPECT_EQ(queue.observerCount(), 2u);

  SKPaymentTransaction first;
  first.payment.productIdentifier = "p1";
  SKPaymentTransaction second = first;
  second.payment.productIdentifier = "p2";
  queue.updateTransactions({first, second});
  queue.removeTransactionObserver(b.get());  // before the batch is delivered
  queue.updateTransactions({first});
  EXPECT_TRUE(log.empty());  // nothing runs on the caller's thread
  env.drainMain();
  EXPECT_EQ(log, (std::vector<std::string>{"a:p1", "a:p2", "a:p1"}));
  queue.removeTransactionObserver(a.get());
  EXPECT_EQ(queue.observerCount(), 0u);
}

}  // namespace
