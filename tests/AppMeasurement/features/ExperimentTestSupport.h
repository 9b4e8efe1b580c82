#pragma once

#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "AppMeasurement/features/APMEExperimentRequestBuilder.h"
#include "AppMeasurement/features/APMEManager.h"
#include "AppMeasurement/features/APMETaskManager.h"
#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/AppContainer.h"
#include "platform/utilities/OULNetwork.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/ServiceProcess.h"

namespace experimenttest {

// A flag message of the experiment schema.
inline APMPBFlag flag(const std::string& name, const NANOObject& value) {
  return *APMPBFlagCreate(name, value);
}

inline APMEExperiment experiment(int64_t id, std::vector<APMPBFlag> flags) {
  return *APMEExperiment::create(id, flags);
}

inline APMESnapshot snapshot(const std::string& sdk, std::vector<APMEExperiment> experiments) {
  return *APMESnapshot::create(sdk, experiments);
}

inline std::string protocDecode(const std::string& message, const std::string& bytes) {
  return testsupport::runCommand(std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR +
                                     " --decode=apm." + message + " " + KVL_TEST_PROTO_DIR +
                                     "/experiments.proto",
                                 bytes);
}

inline std::string protocEncode(const std::string& message, const std::string& text) {
  return testsupport::runCommand(std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR +
                                     " --encode=apm." + message + " " + KVL_TEST_PROTO_DIR +
                                     "/experiments.proto",
                                 text);
}

// A fresh app container (kept between "launches" when `base` is given), virtual time, and a
// task manager on its own queue over the container's suite and database. The manager is made
// on demand, so that a test can set the stored timestamps first.
class ExperimentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* kept = std::getenv("KVL_EXPERIMENT_BASE")) {
      base_ = kept;
      keepBase_ = true;
    } else {
      std::string pattern = (std::filesystem::temp_directory_path() / "kvl-experiments-XXXXXX");
      ASSERT_NE(mkdtemp(pattern.data()), nullptr);
      base_ = pattern;
    }
    ASSERT_TRUE(platform::AppContainer::setRoot(base_ / "container").ok());
    std::filesystem::create_directories(base_ / "container");
    APMEExperimentRequestBuilder::sharedInstance().removeAllForTesting();
    suite = std::make_shared<APMUserDefaults>(std::string(APMETaskManager::kSuiteName));
  }

  void TearDown() override {
    manager.reset();
    taskManager.reset();
    env.finish();
    APMEExperimentRequestBuilder::sharedInstance().removeAllForTesting();
    if (!keepBase_) {
      std::error_code ignored;
      std::filesystem::remove_all(base_, ignored);
    }
  }

  std::string databasePath() const {
    return (base_ / "container" / "orvane_experimentation_database.sql").string();
  }

  // The task manager (made with `network`, created at the current virtual time) and a manager
  // over it; `start` starts the task manager and lets it settle.
  void makeManager(std::shared_ptr<OULNetwork> network = nullptr, bool start = true) {
    queue_ = platform::DispatchQueue::createSerial("APMExperimentWorkerQueue");
    taskManager = APMETaskManager::create(queue_, APMAlarm::create(queue_, "APMExperimentAlarm"),
                                          std::move(network), suite, databasePath(), env.now());
    manager = APMEManager::create(taskManager);
    if (start) {
      taskManager->startTaskManager();
      env.waitUntilIdle();
    }
  }

  // Runs the block on the task manager's worker queue and waits.
  void onWorker(const std::function<void()>& block) {
    taskManager->dispatchSyncOnWorkerQueue(block);
  }

  std::optional<double> armedAt() {
    std::optional<double> at;
    onWorker([&] { at = taskManager->alarm()->scheduledTimestamp(); });
    return at;
  }

  testsupport::DispatchTestEnvironment env;
  std::shared_ptr<APMUserDefaults> suite;
  std::shared_ptr<APMETaskManager> taskManager;
  std::shared_ptr<APMEManager> manager;
  std::filesystem::path base_;

 private:
  bool keepBase_ = false;
  std::shared_ptr<platform::DispatchQueue> queue_;
};

}  // namespace experimenttest
