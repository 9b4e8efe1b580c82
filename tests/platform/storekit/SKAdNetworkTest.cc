// StoreKit's SKAdNetwork stand-in: what it records, its file (read with Python's json), its
// refusals and where its completions run.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>

#include "platform/storekit/SKAdNetwork.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/ServiceProcess.h"

namespace {

class SKAdNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SKAdNetwork::resetForTesting();
    setSystemVersion("16.1");
  }
  void TearDown() override {
    SKAdNetwork::resetForTesting();
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  }
  static void setSystemVersion(const std::string& version) {
    OULAppEnvironmentUtil::Configuration configuration =
        OULAppEnvironmentUtil::defaultConfiguration();
    configuration.systemVersion = version;
    OULAppEnvironmentUtil::setConfiguration(configuration);
  }
  // Calls the update and waits for its completion; answers the error and the completion's
  // thread.
  std::pair<std::optional<SKTransactionError>, std::thread::id> update(int64_t fine,
                                                                       const std::string& coarse,
                                                                       bool lock) {
    std::promise<std::pair<std::optional<SKTransactionError>, std::thread::id>> done;
    SKAdNetwork::updatePostbackConversionValue(fine, coarse, lock, [&](const auto& error) {
      done.set_value({error, std::this_thread::get_id()});
    });
    return done.get_future().get();
  }
  testsupport::DispatchTestEnvironment env;
};

TEST_F(SKAdNetworkTest, RecordsEachUpdateAndWritesItsFile) {
  std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("kvl-skan-" + std::to_string(::getpid()));
  std::filesystem::remove(file);
  SKAdNetwork::setRecordFile(file.string());
  auto [error, thread] = update(42, SKAdNetworkCoarseConversionValueHigh, true);
  EXPECT_FALSE(error);
  EXPECT_NE(thread, std::this_thread::get_id());
  update(0, "unknown", false);  // an undefined coarse value is reported as low
  ASSERT_EQ(SKAdNetwork::records().size(), 2u);
  EXPECT_EQ(SKAdNetwork::records()[1].coarseValue, "low");
  EXPECT_EQ(SKAdNetwork::records()[0].timestamp, env.now());
  std::string lines = testsupport::runCommand(
      "python3 -c \"import json; [print(r['fine'], r['coarse'], r['lock']) for r in "
      "map(json.loads, open('" +
      file.string() + "'))]\"");
  EXPECT_EQ(lines, "42 high True\n0 low False\n");
  std::filesystem::remove(file);
}

// A registration is recorded at any system version, in memory and in the same file, apart
// from the updates.
TEST_F(SKAdNetworkTest, RegistrationIsRecordedBesideTheUpdates) {
  std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("kvl-skan-register-" + std::to_string(::getpid()));
  std::filesystem::remove(file);
  SKAdNetwork::setRecordFile(file.string());
  setSystemVersion("11.0");
  SKAdNetwork::registerAppForAdNetworkAttribution();
  setSystemVersion("16.1");
  update(7, "medium", false);
  ASSERT_EQ(SKAdNetwork::registrations().size(), 1u);
  EXPECT_EQ(SKAdNetwork::registrations()[0], env.now());
  EXPECT_EQ(SKAdNetwork::records().size(), 1u);
  std::string lines = testsupport::runCommand(
      "python3 -c \"import json; [print(r.get('register'), r.get('fine'), r['time']) for r in "
      "map(json.loads, open('" +
      file.string() + "'))]\"");
  char time[32];
  std::snprintf(time, sizeof time, "%.1f", env.now());
  EXPECT_EQ(lines, std::string("True None ") + time + "\nNone 7 " + time + "\n");
  SKAdNetwork::resetForTesting();
  EXPECT_TRUE(SKAdNetwork::registrations().empty());
  std::filesystem::remove(file);
}

TEST_F(SKAdNetworkTest, FailuresOnDemandAndBelow161) {
  SKAdNetwork::failNextUpdates(SKANErrorDomain, 10, 1);
  auto [error, thread] = update(1, "low", false);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, SKANErrorDomain);
  EXPECT_EQ(error->code, 10);
  EXPECT_FALSE(update(1, "low", false).first);  // only the next one failed
  setSystemVersion("16.0");
  std::optional<SKTransactionError> refused = update(1, "low", false).first;
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->code, SKANErrorUnsupported);
  EXPECT_EQ(SKAdNetwork::records().size(), 1u);
}

}  // namespace
