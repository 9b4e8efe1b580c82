#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace uikittest {

// The output of a shell command, without the trailing newline: answers from outside the process.
inline std::string commandOutput(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  pclose(pipe);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

// Every application notification name, in the order of a full life cycle.
inline const std::vector<std::string>& applicationNotificationNames() {
  static const std::vector<std::string> names = {
      UIApplicationDidFinishLaunchingNotification,  UIApplicationDidBecomeActiveNotification,
      UIApplicationWillResignActiveNotification,    UIApplicationDidEnterBackgroundNotification,
      UIApplicationWillEnterForegroundNotification, UIApplicationWillTerminateNotification,
  };
  return names;
}

// What one observer heard: the name, whether it ran on the main thread, the application
// state at that moment and the user info.
struct Heard {
  std::string name;
  bool onMainThread = false;
  UIApplicationState state = UIApplicationState::kInactive;
  platform::Value userInfo;
};

// Records every application notification posted by one application object, with observers
// registered without a queue (so they run on the posting thread). Unregisters on destruction.
class NotificationRecorder {
 public:
  NotificationRecorder(std::shared_ptr<UIApplication> application,
                       const std::vector<std::string>& names = applicationNotificationNames())
      : application_(std::move(application)) {
    for (const std::string& name : names) {
      tokens_.push_back(platform::NotificationCenter::defaultCenter().addObserverForName(
          name, application_.get(), nullptr, [this](const platform::Notification& note) {
            std::lock_guard<std::mutex> lock(mutex_);
            heard_.push_back(Heard{note.name, platform::DispatchQueue::isMainThread(),
                                   application_->applicationState(), note.userInfo});
          }));
    }
  }
  ~NotificationRecorder() {
    for (auto token : tokens_) platform::NotificationCenter::defaultCenter().removeObserver(token);
  }
  NotificationRecorder(const NotificationRecorder&) = delete;
  NotificationRecorder& operator=(const NotificationRecorder&) = delete;

  std::vector<Heard> heard() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> result;
    for (const Heard& heard : heard()) result.push_back(heard.name);
    return result;
  }

 private:
  std::shared_ptr<UIApplication> application_;
  std::vector<platform::NotificationCenter::ObserverToken> tokens_;
  mutable std::mutex mutex_;
  std::vector<Heard> heard_;
};

// A manual clock, a temporary app bundle installed as the main bundle and the machine's own
// environment; the main bundle and the environment are restored afterwards.
class UIKitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    originalBundle_ = platform::Bundle::mainBundle()->bundlePath();
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-uikit-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    std::filesystem::create_directories(base_ / "Demo.app");
    platform::Bundle::setMainBundlePath(base_ / "Demo.app");
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  }

  void TearDown() override {
    env_.finish();
    platform::Bundle::setMainBundlePath(originalBundle_);
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
    if (auto shared = UIApplication::sharedApplication()) shared->resetForTesting();
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }

  testsupport::DispatchTestEnvironment env_;
  std::filesystem::path originalBundle_;
  std::filesystem::path base_;
};

}  // namespace uikittest
