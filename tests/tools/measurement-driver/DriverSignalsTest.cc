// The driver as a person uses it: Ctrl-C stops it while it waits for an upload the service holds
// (also when a shell started it in the background, where SIGINT is ignored), and it never prints a
// mark for an event it could not store.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ServiceProcess.h"

namespace {

namespace fs = std::filesystem;
using testsupport::httpRequest;
using testsupport::ServiceProcess;

class DriverSignalsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = fs::temp_directory_path() / "driver-signals-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
  }
  void TearDown() override { fs::remove_all(base_); }

  // Starts the driver with SIGINT ignored, as a shell starts a background job; its output goes
  // to a file.
  pid_t startDriver(const std::vector<std::string>& arguments) {
    pid_t pid = fork();
    if (pid == 0) {
      signal(SIGINT, SIG_IGN);
      int out = open((base_ / "driver.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      std::vector<std::string> copies = arguments;
      std::string program = KVL_TEST_DRIVER;
      std::vector<char*> argv{program.data()};
      for (std::string& argument : copies) argv.push_back(argument.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }

  // The exit status (128 + signal when killed), or -1 when it has not ended within about the
  // limit (polled every 20 ms).
  static int waitForExit(pid_t pid, std::chrono::seconds limit) {
    for (long polls = limit.count() * 50; polls > 0; --polls) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  fs::path base_;
};

TEST_F(DriverSignalsTest, CtrlCStopsItWhileTheServiceHoldsTheUpload) {
  ServiceProcess service(KVL_TEST_SERVICE, {"--port", "0", "--data", (base_ / "service").string()});
  // The service answers the configuration, then holds every upload without answering.
  ASSERT_EQ(httpRequest("POST", service.baseURL() + "/_control/script",
                        {"Content-Type: application/json"}, R"({"path":"/a","silent":true})")
                .status,
            204);
  pid_t driver = startDriver({"--app-dir", (base_ / "app").string(), "--service", service.baseURL(),
                              "--event", "level_up", "--upload"});
  // Until the upload is out and held.
  bool held = false;
  for (int i = 0; i < 1500 && !held; ++i) {
    held = httpRequest("GET", service.baseURL() + "/_control/requests").body.find("\"/a\"") !=
           std::string::npos;
    if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(held);
  kill(driver, SIGINT);
  int status = waitForExit(driver, std::chrono::seconds(10));
  if (status < 0) kill(driver, SIGKILL), waitpid(driver, nullptr, 0);
  EXPECT_EQ(status, 128 + SIGINT);
}

TEST_F(DriverSignalsTest, NoMarkForEventsItCannotStore) {
  // A folder where the database would be: it cannot open.
  fs::create_directories(
      base_ /
      "app/container/Library/Application Support/Orvane/Measurement/orvane-app-measurement.sql");
  ServiceProcess service(KVL_TEST_SERVICE, {"--port", "0", "--data", (base_ / "service").string()});
  pid_t driver = startDriver(
      {"--app-dir", (base_ / "app").string(), "--service", service.baseURL(), "--numbered", "1:3"});
  EXPECT_EQ(waitForExit(driver, std::chrono::seconds(60)), 1);
  std::string output = testsupport::runCommand("cat '" + (base_ / "driver.out").string() + "'");
  EXPECT_EQ(output.find("mark"), std::string::npos) << output;
  EXPECT_NE(output.find("was not stored"), std::string::npos) << output;
}

}  // namespace

// Asked for, the usage goes to standard output with status 0; a wrong option is a usage error.
TEST(DriverUsageTest, HelpIsAnAnswerAndAWrongOptionAnError) {
  const std::string driver = KVL_TEST_DRIVER;
  EXPECT_NE(
      testsupport::runCommand(driver + " --help 2>/dev/null").find("usage: measurement-driver"),
      std::string::npos);
  EXPECT_EQ(testsupport::runCommand(driver + " --help >/dev/null 2>&1; echo $?"), "0\n");
  EXPECT_EQ(testsupport::runCommand(driver + " --no-such-option >/dev/null 2>&1; echo $?"), "2\n");
}
