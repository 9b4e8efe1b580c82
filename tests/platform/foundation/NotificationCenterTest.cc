#include "platform/foundation/NotificationCenter.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/DispatchQueue.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace {

using platform::DispatchQueue;
using platform::Notification;
using platform::NotificationCenter;
using platform::Value;

TEST(NotificationCenter, DeliversByNameAndObjectInOrder) {
  NotificationCenter center;
  int sender = 0;
  int other = 0;
  std::vector<std::string> calls;
  center.addObserverForName("A", nullptr, nullptr, [&](const Notification& n) {
    calls.push_back("any-sender " + n.name);
  });
  center.addObserverForName("A", &sender, nullptr, [&](const Notification& n) {
    EXPECT_EQ(n.object, &sender);
    calls.push_back("sender " + n.name);
  });
  center.addObserverForName("", nullptr, nullptr,
                            [&](const Notification& n) { calls.push_back("all " + n.name); });

  center.postNotificationName("A", &sender);
  EXPECT_EQ(calls, (std::vector<std::string>{"any-sender A", "sender A", "all A"}));
  calls.clear();
  center.postNotificationName("A", &other);
  EXPECT_EQ(calls, (std::vector<std::string>{"any-sender A", "all A"}));
  calls.clear();
  center.postNotificationName("B");
  EXPECT_EQ(calls, std::vector<std::string>{"all B"});
}

TEST(NotificationCenter, AValueObjectIsHandedOverAndFiltersLikeASender) {
  testsupport::DispatchTestEnvironment env;
  NotificationCenter center;
  auto object = std::make_shared<const Value>(Value::Dictionary{{"url", Value("app://a")}});
  auto other = std::make_shared<const Value>(*object);  // equal, but another object
  int sender = 0;
  std::vector<std::string> calls;
  center.addObserverForName("A", object.get(), nullptr, [&](const Notification& n) {
    calls.push_back("this object " + *n.objectValue->find("url")->asString());
  });
  center.addObserverForName("A", &sender, nullptr,
                            [&](const Notification&) { calls.push_back("sender"); });
  // Queued: the value travels with the notification, whoever still holds it.
  center.addObserverForName("A", nullptr, DispatchQueue::main(), [&](const Notification& n) {
    if (!n.objectValue) {
      calls.push_back("queued, no value");
      return;
    }
    EXPECT_EQ(n.object, n.objectValue.get());
    calls.push_back("queued " + *n.objectValue->find("url")->asString());
  });

  center.postNotificationNameWithObject("A", object);
  center.postNotificationNameWithObject("A", std::move(other));
  center.postNotificationName("A", &sender);
  object.reset();
  env.drainMain();
  EXPECT_EQ(calls, (std::vector<std::string>{"this object app://a", "sender", "queued app://a",
                                             "queued app://a", "queued, no value"}));
  calls.clear();
  // A notification posted without a value carries none.
  center.addObserverForName("B", nullptr, nullptr, [&](const Notification& n) {
    calls.push_back(n.objectValue ? "value" : "no value");
  });
  center.postNotificationName("B", &sender);
  center.postNotificationNameWithObject("B", nullptr);
  EXPECT_EQ(calls, (std::vector<std::string>{"no value", "no value"}));
}

TEST(NotificationCenter, RemovedObserversAreNotCalled) {
  NotificationCenter center;
  int calls = 0;
  auto token =
      center.addObserverForName("A", nullptr, nullptr, [&](const Notification&) { ++calls; });
  EXPECT_NE(token, 0u);
  center.postNotificationName("A");
  center.removeObserver(token);
  center.removeObserver(token);  // twice is harmless
  center.removeObserver(12345);
  center.postNotificationName("A");
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, ObserversMayPostAddAndRemoveFromInsideABlock) {
  NotificationCenter center;
  std::vector<std::string> calls;
  NotificationCenter::ObserverToken second = 0;
  NotificationCenter::ObserverToken first = 0;
  first = center.addObserverForName("A", nullptr, nullptr, [&](const Notification&) {
    calls.push_back("first");
    center.removeObserver(first);
    center.removeObserver(second);  // a later observer of the same post is not called
    center.addObserverForName("B", nullptr, nullptr,
                              [&](const Notification&) { calls.push_back("added"); });
    center.postNotificationName("B");
  });
  second = center.addObserverForName("A", nullptr, nullptr,
                                     [&](const Notification&) { calls.push_back("second"); });
  center.postNotificationName("A");
  center.postNotificationName("A");
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "added"}));
}

TEST(NotificationCenter, QueuedObserversRunOnTheirQueue) {
  testsupport::DispatchTestEnvironment env;
  NotificationCenter center;
  auto queue = DispatchQueue::createSerial("com.example.observer");
  std::atomic<int> calls{0};
  std::atomic<bool> onQueue{false};
  center.addObserverForName("A", nullptr, queue, [&](const Notification& n) {
    onQueue = queue->isCurrent();
    EXPECT_EQ(*n.userInfo.find("k"), Value(1));
    ++calls;
  });
  Value info;
  info["k"] = 1;
  center.postNotificationName("A", nullptr, info);
  env.waitUntilIdle();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(onQueue.load());

  // The main queue runs when the test drains it.
  std::atomic<int> mainCalls{0};
  center.addObserverForName("M", nullptr, DispatchQueue::main(),
                            [&](const Notification&) { ++mainCalls; });
  center.postNotificationName("M");
  EXPECT_EQ(mainCalls.load(), 0);
  env.drainMain();
  EXPECT_EQ(mainCalls.load(), 1);
}

TEST(NotificationCenter, QueuedDeliveryIsDroppedAfterRemoval) {
  testsupport::DispatchTestEnvironment env;
  NotificationCenter center;
  int calls = 0;
  auto token = center.addObserverForName("M", nullptr, DispatchQueue::main(),
                                         [&](const Notification&) { ++calls; });
  center.postNotificationName("M");
  center.removeObserver(token);
  env.drainMain();
  EXPECT_EQ(calls, 0);
}

TEST(NotificationCenter, PostsFromManyThreads) {
  NotificationCenter& center = NotificationCenter::defaultCenter();
  std::atomic<int> calls{0};
  auto token =
      center.addObserverForName("T", nullptr, nullptr, [&](const Notification&) { ++calls; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 250; ++i) {
        center.postNotificationName("T");
        auto extra = center.addObserverForName("U", nullptr, nullptr, [](const Notification&) {});
        center.removeObserver(extra);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  center.removeObserver(token);
  EXPECT_EQ(calls.load(), 1000);
}

}  // namespace
