#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/uikit/UIApplication.h"
#include "tests/platform/uikit/UIKitTestSupport.h"

namespace {

using uikittest::UIKitTest;

std::vector<UIBackgroundTaskIdentifier> openIdentifiers(const UIApplication& app) {
  std::vector<UIBackgroundTaskIdentifier> identifiers;
  for (const auto& task : app.openBackgroundTasks()) identifiers.push_back(task.identifier);
  return identifiers;
}

TEST_F(UIKitTest, BackgroundTaskIdentifiersAreUniqueAcrossThreads) {
  auto app = std::make_shared<UIApplication>();
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::vector<UIBackgroundTaskIdentifier>> perThread(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        perThread[t].push_back(app->beginBackgroundTaskWithName("worker", nullptr));
        // An ended task's identifier is not handed out again.
        if (i % 2 == 0) app->endBackgroundTask(perThread[t].back());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<UIBackgroundTaskIdentifier> all;
  for (const auto& identifiers : perThread) all.insert(identifiers.begin(), identifiers.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(all.count(UIBackgroundTaskInvalid), 0u);
  EXPECT_EQ(app->openBackgroundTasks().size(), static_cast<size_t>(kThreads * kEach / 2));
}

TEST_F(UIKitTest, OpenTasksAreListedInTheOrderTheyBegan) {
  auto app = std::make_shared<UIApplication>();
  const std::vector<std::string> names = {"APMAnalyticsMeasurementBackgroundTask", "save", ""};
  std::vector<UIBackgroundTaskIdentifier> began;
  for (const std::string& name : names) {
    began.push_back(app->beginBackgroundTaskWithName(name, nullptr));
  }
  auto tasks = app->openBackgroundTasks();
  ASSERT_EQ(tasks.size(), 3u);
  for (size_t i = 0; i < tasks.size(); ++i) {
    EXPECT_EQ(tasks[i].identifier, began[i]);
    EXPECT_EQ(tasks[i].name, names[i]);
    EXPECT_FALSE(tasks[i].expired);
  }
}

TEST_F(UIKitTest, EndingIsIdempotent) {
  auto app = std::make_shared<UIApplication>();
  UIBackgroundTaskIdentifier first = app->beginBackgroundTaskWithName("first", nullptr);
  UIBackgroundTaskIdentifier second = app->beginBackgroundTaskWithName("second", nullptr);
  app->endBackgroundTask(first);
  EXPECT_EQ(openIdentifiers(*app), std::vector<UIBackgroundTaskIdentifier>{second});
  app->endBackgroundTask(first);
  app->endBackgroundTask(UIBackgroundTaskInvalid);
  app->endBackgroundTask(second + 1000);
  EXPECT_EQ(openIdentifiers(*app), std::vector<UIBackgroundTaskIdentifier>{second});
  app->endBackgroundTask(second);
  app->endBackgroundTask(second);
  EXPECT_TRUE(app->openBackgroundTasks().empty());
}

TEST_F(UIKitTest, EndingReleasesTheExpirationHandler) {
  auto app = std::make_shared<UIApplication>();
  auto owned = std::make_shared<int>(7);
  std::weak_ptr<int> weak = owned;
  UIBackgroundTaskIdentifier task =
      app->beginBackgroundTaskWithName("task", [owned = std::move(owned)] { (void)*owned; });
  EXPECT_FALSE(weak.expired());
  app->endBackgroundTask(task);
  EXPECT_TRUE(weak.expired());
}

TEST_F(UIKitTest, ExpirationRunsEachHandlerOnceOnTheMainThread) {
  auto app = std::make_shared<UIApplication>();
  int firstCalls = 0;
  int secondCalls = 0;
  bool onMain = false;
  UIBackgroundTaskIdentifier first = app->beginBackgroundTaskWithName("first", [&] {
    ++firstCalls;
    onMain = platform::DispatchQueue::isMainThread();
  });
  UIBackgroundTaskIdentifier second =
      app->beginBackgroundTaskWithName("second", [&] { ++secondCalls; });

  app->expireBackgroundTasks();
  app->expireBackgroundTasks();
  app->expireBackgroundTask(first);
  env_.waitUntilIdle();
  EXPECT_EQ(firstCalls, 1);
  EXPECT_EQ(secondCalls, 1);
  EXPECT_TRUE(onMain);

  // A handler that does not end its task leaves it open, marked as expired.
  auto tasks = app->openBackgroundTasks();
  ASSERT_EQ(tasks.size(), 2u);
  EXPECT_TRUE(tasks[0].expired);
  EXPECT_TRUE(tasks[1].expired);
  app->endBackgroundTask(first);
  app->endBackgroundTask(second);
  EXPECT_TRUE(app->openBackgroundTasks().empty());
}

TEST_F(UIKitTest, HandlerThatEndsItsTaskClosesIt) {
  auto app = std::make_shared<UIApplication>();
  UIBackgroundTaskIdentifier task = UIBackgroundTaskInvalid;
  int calls = 0;
  task = app->beginBackgroundTaskWithName("upload", [&] {
    ++calls;
    app->endBackgroundTask(task);
  });
  app->expireBackgroundTask(task);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(app->openBackgroundTasks().empty());
  app->expireBackgroundTask(task);
  app->expireBackgroundTasks();
  EXPECT_EQ(calls, 1);
}

TEST_F(UIKitTest, EndedTasksNeverExpire) {
  auto app = std::make_shared<UIApplication>();
  int calls = 0;
  UIBackgroundTaskIdentifier second = UIBackgroundTaskInvalid;
  // The first handler ends the second task before its turn comes.
  UIBackgroundTaskIdentifier first = app->beginBackgroundTaskWithName("first", [&] {
    ++calls;
    app->endBackgroundTask(second);
  });
  second = app->beginBackgroundTaskWithName("second", [&] { calls += 100; });
  UIBackgroundTaskIdentifier ended =
      app->beginBackgroundTaskWithName("ended", [&] { calls += 10; });
  app->endBackgroundTask(ended);
  app->expireBackgroundTasks();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(openIdentifiers(*app), std::vector<UIBackgroundTaskIdentifier>{first});
}

TEST_F(UIKitTest, HandlerMayBeginANewTask) {
  auto app = std::make_shared<UIApplication>();
  UIBackgroundTaskIdentifier replacement = UIBackgroundTaskInvalid;
  int replacementCalls = 0;
  UIBackgroundTaskIdentifier task = UIBackgroundTaskInvalid;
  task = app->beginBackgroundTaskWithName("first", [&] {
    app->endBackgroundTask(task);
    replacement = app->beginBackgroundTaskWithName("again", [&] { ++replacementCalls; });
  });
  app->expireBackgroundTasks();
  ASSERT_NE(replacement, UIBackgroundTaskInvalid);
  // The new task began after the expiry was decided: it is not expired with it.
  EXPECT_EQ(replacementCalls, 0);
  EXPECT_EQ(openIdentifiers(*app), std::vector<UIBackgroundTaskIdentifier>{replacement});
  app->expireBackgroundTasks();
  EXPECT_EQ(replacementCalls, 1);
}

TEST_F(UIKitTest, NoBackgroundTimeGivesTheInvalidIdentifier) {
  auto app = std::make_shared<UIApplication>();
  app->setBackgroundTimeAvailable(false);
  EXPECT_EQ(app->beginBackgroundTaskWithName("task", nullptr), UIBackgroundTaskInvalid);
  EXPECT_TRUE(app->openBackgroundTasks().empty());
  app->setBackgroundTimeAvailable(true);
  EXPECT_NE(app->beginBackgroundTaskWithName("task", nullptr), UIBackgroundTaskInvalid);

  app->willTerminate();
  EXPECT_EQ(app->beginBackgroundTaskWithName("late", nullptr), UIBackgroundTaskInvalid);
  EXPECT_EQ(app->openBackgroundTasks().size(), 1u);
}

}  // namespace
