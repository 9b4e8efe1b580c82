// The app as a user runs it, as its own process beside the measurement service (its own
// process too): Ctrl-C while the upload that leaving the foreground sends waits for the
// service's answer. The app must stay until the answer has been handled, so that nothing it
// uploaded is left queued to be sent again at the next start.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ClosedPort.h"
#include "tests/support/ServiceProcess.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testsupport::httpRequest;
using testsupport::ServiceProcess;

// The app as a child process, its standard output read as it comes.
class AppProcess {
 public:
  AppProcess(const std::vector<std::string>& arguments,
             const std::vector<std::string>& variables) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    environment.insert(environment.end(), variables.begin(), variables.end());
    std::vector<std::string> args = arguments;
    std::vector<char*> argv;
    for (auto& argument : args) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::dup2(pipeFds[1], 1);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    output_ = pipeFds[0];
  }
  ~AppProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) ::close(output_);
  }

  // Reads output until `text` has appeared; false if the app ends or `limit` passes first.
  bool waitForOutput(const std::string& text, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (output.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      ssize_t got = ::read(output_, buffer, sizeof buffer);
      if (got <= 0) return false;
      output.append(buffer, static_cast<size_t>(got));
    }
    return true;
  }

  void signal(int number) { ::kill(pid_, number); }

  // The exit status once the app has ended (-signal when killed), or -1000 after `limit`.
  int wait(std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      }
      // Drains the output meanwhile, so that the app never blocks on a full pipe.
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        char buffer[4096];
        ssize_t got = ::read(output_, buffer, sizeof buffer);
        if (got > 0) output.append(buffer, static_cast<size_t>(got));
      }
    }
    return -1000;
  }

  std::string output;

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  bool exited_ = false;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

class AppExitUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = fs::temp_directory_path() / ("app-exit-upload-" + std::to_string(::getpid()));
    fs::remove_all(work_);
    fs::create_directories(work_);
    service_ = std::make_unique<ServiceProcess>(
        KVL_TEST_SERVICE,
        std::vector<std::string>{"--port", "0", "--data", (work_ / "service").string()});
    // The app's bundle, with the link and login services of its Info.plist on a closed port
    // instead of their default one.
    bundle_ = work_ / "App.bundle";
    fs::copy(fs::path(KVL_TEST_APP).parent_path() / "App.bundle", bundle_,
             fs::copy_options::recursive);
    std::string info = readFile(bundle_ / "Info.plist");
    for (size_t at = info.find("http://127.0.0.1:8972"); at != std::string::npos;
         at = info.find("http://127.0.0.1:8972")) {
      info.replace(at, std::string("http://127.0.0.1:8972").size(), closed_.baseURL());
    }
    std::ofstream(bundle_ / "Info.plist", std::ios::trunc) << info;
  }
  void TearDown() override {
    service_.reset();
    fs::remove_all(work_);
  }

  std::unique_ptr<AppProcess> startApp() {
    std::string host = service_->baseURL().substr(std::string("http://").size());
    return std::make_unique<AppProcess>(
        std::vector<std::string>{KVL_TEST_APP, "--data-dir", (work_ / "app").string(),
                                 "--bundle", bundle_.string(), "--port", "0"},
        std::vector<std::string>{"KVL_MEASUREMENT_HOST=" + host,
                                 "KVL_ODC_SERVICE_URL=" + service_->baseURL()});
  }

  // Bundles still queued in the app's store, read with the sqlite3 tool.
  std::string queuedBundles() {
    for (const auto& entry : fs::recursive_directory_iterator(work_ / "app")) {
      if (entry.path().extension() != ".sql") continue;
      std::string count = testsupport::runCommand("sqlite3 '" + entry.path().string() +
                                                  "' 'SELECT COUNT(*) FROM queue'");
      if (!count.empty()) return count.substr(0, count.find('\n'));
    }
    return "no store";
  }

  fs::path work_;
  fs::path bundle_;
  testsupport::ClosedPort closed_;
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(AppExitUploadTest, CtrlCWaitsForTheAnswerOfTheUploadInFlight) {
  // Each upload is answered a while after it arrived (the service handles it at once).
  auto scripted =
      httpRequest("POST", service_->baseURL() + "/_control/script", {},
                  R"({"path": "/a", "delay_ms": 1500})");
  ASSERT_EQ(scripted.status, 204) << scripted.body;

  auto app = startApp();
  ASSERT_TRUE(app->waitForOutput("App: open", std::chrono::seconds(120))) << app->output;
  // The app fetched its configuration; the first open is stored.
  for (int i = 0; i < 600; ++i) {
    auto requests = httpRequest("GET", service_->baseURL() + "/_control/requests");
    if (requests.body.find("/config/app/") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  app->signal(SIGINT);
  ASSERT_EQ(app->wait(std::chrono::seconds(90)), 0) << app->output;

  auto requests = httpRequest("GET", service_->baseURL() + "/_control/requests").body;
  EXPECT_GE(occurrences(requests, "\"path\":\"/a\""), 1u) << requests;
  // Nothing uploaded is left to be sent again.
  EXPECT_EQ(queuedBundles(), "0");
  auto uploads = httpRequest("GET", service_->baseURL() + "/uploads.json").body;
  EXPECT_EQ(uploads.find("\"_repeated\":true"), std::string::npos) << uploads;
}

}  // namespace
