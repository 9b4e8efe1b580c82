// The app as a user runs it, as its own process beside the measurement service (its own
// process too): Ctrl-C while the upload that leaving the foreground sends waits for the
// service's answer. The app must stay until the answer has been handled, so that nothing it
// uploaded is left queued to be sent again at the next start. And Ctrl-C while a page logs
// events: every event answered "success" is stored.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <utility>  // before Asio

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/JSONSerialization.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/ServiceProcess.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using testsupport::httpRequest;
using testsupport::ServiceProcess;

// The app as a child process, its standard output and error read as they come.
class AppProcess {
 public:
  AppProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& variables) {
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
      ::dup2(pipeFds[1], 2);
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

  // Reads output until `text` has appeared; false if the app ends first, or when nothing
  // more has come for `limit` (a bound only: output is an event, waited for).
  bool waitForOutput(const std::string& text, std::chrono::seconds limit) {
    while (output.find(text) == std::string::npos) {
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(limit.count() * 1000)) <= 0) return false;
      char buffer[4096];
      ssize_t got = ::read(output_, buffer, sizeof buffer);
      if (got <= 0) return false;
      output.append(buffer, static_cast<size_t>(got));
    }
    return true;
  }

  void signal(int number) { ::kill(pid_, number); }

  // The exit status once the app has ended (-signal when killed), or -1000 when it has not
  // after about `limit` (a bound only).
  int wait(std::chrono::seconds limit) {
    for (long polls = 0; polls < limit.count() * 50; ++polls) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
      }
      // Drains the output meanwhile, so that the app never blocks on a full pipe.
      pollfd p{output_, POLLIN, 0};
      ssize_t got = 0;
      if (!outputClosed_ && ::poll(&p, 1, 20) > 0) {
        char buffer[4096];
        got = ::read(output_, buffer, sizeof buffer);
        if (got > 0) output.append(buffer, static_cast<size_t>(got));
        outputClosed_ = got <= 0;
      }
      if (got <= 0) ::poll(nullptr, 0, 20);
    }
    return -1000;
  }

  std::string output;

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  bool exited_ = false;
  bool outputClosed_ = false;
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
    // No page is opened here: a bare one serves where the web bundle was not built.
    if (!fs::exists(bundle_ / "www" / "index.html")) {
      fs::create_directories(bundle_ / "www");
      std::ofstream(bundle_ / "www" / "index.html") << "<!doctype html><title>app</title>";
    }
  }
  void TearDown() override {
    service_.reset();
    fs::remove_all(work_);
  }

  std::unique_ptr<AppProcess> startApp() {
    std::string host = service_->baseURL().substr(std::string("http://").size());
    return std::make_unique<AppProcess>(
        std::vector<std::string>{KVL_TEST_APP, "--data-dir", (work_ / "app").string(), "--bundle",
                                 bundle_.string(), "--port", "0"},
        std::vector<std::string>{"KVL_MEASUREMENT_HOST=" + host,
                                 "KVL_ODC_SERVICE_URL=" + service_->baseURL()});
  }

  // Bundles still queued in the app's store, read with the sqlite3 tool.
  std::string queuedBundles() {
    for (const auto& entry : fs::recursive_directory_iterator(work_ / "app")) {
      if (entry.path().filename() != "orvane-app-measurement.sql") continue;
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
  // Each upload is answered a while after it arrived (the service stores it at once).
  auto scripted = httpRequest("POST", service_->baseURL() + "/_control/script", {},
                              R"({"path": "/a", "delay_ms": 1500})");
  ASSERT_EQ(scripted.status, 204) << scripted.body;

  // The first launch fetches the configuration and uploads the first open as it leaves.
  // The second one, as a returning user's, sends what it logged when Ctrl-C comes, and its
  // background task ends as soon as the upload is on its way (nothing else is due soon).
  for (int launch = 1; launch <= 2; ++launch) {
    SCOPED_TRACE("launch " + std::to_string(launch));
    size_t uploadsBefore = occurrences(
        httpRequest("GET", service_->baseURL() + "/_control/requests").body, "\"path\":\"/a\"");
    auto app = startApp();
    ASSERT_TRUE(app->waitForOutput("App: open", std::chrono::seconds(120))) << app->output;
    // As a user leaves an app they have used: measurement has started ("collection enabled").
    ASSERT_TRUE(app->waitForOutput("I-ACS023012", std::chrono::seconds(120))) << app->output;
    app->signal(SIGINT);
    ASSERT_EQ(app->wait(std::chrono::seconds(90)), 0) << app->output;
    EXPECT_NE(app->output.find("App: stopped"), std::string::npos) << app->output;

    std::string requests = httpRequest("GET", service_->baseURL() + "/_control/requests").body;
    EXPECT_GT(occurrences(requests, "\"path\":\"/a\""), uploadsBefore) << requests;
    // The answer was read before the app ended: nothing uploaded is left to be sent again.
    EXPECT_EQ(queuedBundles(), "0") << app->output;
  }
  auto uploads = httpRequest("GET", service_->baseURL() + "/uploads.json").body;
  EXPECT_EQ(uploads.find("\"_repeated\": true"), std::string::npos) << uploads;
}

// The page's side of the bridge, as the shim speaks it: the printed address's secret traded
// for the session cookie, the socket opened with the address's key, the next key kept.
class BridgeClient {
 public:
  explicit BridgeClient(const std::string& address) {
    const std::string origin = address.substr(0, address.find('/', std::string("http://").size()));
    const std::string hostPort = origin.substr(std::string("http://").size());
    auto login = httpRequest("GET", address.substr(0, address.find('#')));
    EXPECT_EQ(login.status, 303);
    std::string cookie = login.header("Set-Cookie");
    cookie.resize(cookie.find(';'));
    const std::string key = address.substr(address.find("#key=") + 5);
    namespace asio = boost::asio;
    ws_.next_layer().connect(asio::ip::tcp::endpoint(
        asio::ip::make_address("127.0.0.1"),
        static_cast<uint16_t>(std::stoi(hostPort.substr(hostPort.find(':') + 1)))));
    ws_.set_option(boost::beast::websocket::stream_base::decorator(
        [origin, cookie](boost::beast::websocket::request_type& r) {
          r.set(boost::beast::http::field::origin, origin);
          r.set(boost::beast::http::field::cookie, cookie);
        }));
    ws_.handshake(hostPort, "/_capacitor/bridge?key=" + key);
    ws_.text(true);
    const std::string next = *frame().find("bridgeKey")->asString();
    ws_.write(asio::buffer(R"({"bridgeKeyKept":")" + next + R"("})"));
  }

  // Logs the event: "success", the error's code, or "closed".
  std::string logEvent(const std::string& name) {
    const std::string id = std::to_string(++calls_);
    boost::beast::error_code ec;
    ws_.write(boost::asio::buffer(R"({"callbackId":")" + id +
                                  R"(","pluginId":"KavrelinAnalytics","methodName":"logEvent",)"
                                  R"("options":{"name":")" +
                                  name + R"("}})"),
              ec);
    for (;;) {
      if (ec) return "closed";
      platform::Value answer = frame(&ec);
      if (ec) return "closed";
      const platform::Value* callback = answer.find("callbackId");
      if (!callback || !callback->asString() || *callback->asString() != id) continue;
      if (*answer.find("success")->asBool()) return "success";
      const platform::Value* code = answer.find("error")->find("code");
      return code ? *code->asString() : "rejected";
    }
  }

 private:
  platform::Value frame(boost::beast::error_code* ec = nullptr) {
    boost::beast::flat_buffer buffer;
    boost::beast::error_code ignored;
    ws_.read(buffer, ec ? *ec : ignored);
    auto value = platform::JSONSerialization::JSONObjectWithData(
        boost::beast::buffers_to_string(buffer.data()));
    return value.ok() ? *value : platform::Value();
  }

  boost::asio::io_context io_;
  boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws_{io_};
  int calls_ = 0;
};

// Ctrl-C right after an event was answered, while the page goes on logging as fast as it is
// answered: every event answered "success" is in the app's store (the sqlite3 tool reads it)
// once the app has exited, and the calls after leaving began are refused.
TEST_F(AppExitUploadTest, EveryEventAnsweredSuccessIsStoredAfterCtrlC) {
  auto app = startApp();
  ASSERT_TRUE(app->waitForOutput("App: open ", std::chrono::seconds(120))) << app->output;
  ASSERT_TRUE(app->waitForOutput("I-ACS023012", std::chrono::seconds(120))) << app->output;
  const size_t at = app->output.find("App: open ") + std::string("App: open ").size();
  BridgeClient page(app->output.substr(at, app->output.find('\n', at) - at));
  std::vector<std::string> answered;
  std::string last;
  for (int i = 0; i < 100000; ++i) {
    const std::string name = "exit_" + std::to_string(i);
    last = page.logEvent(name);
    if (last != "success") break;
    answered.push_back(name);
    if (i == 0) app->signal(SIGINT);
  }
  EXPECT_EQ(last, "UNAVAILABLE");
  ASSERT_FALSE(answered.empty());
  ASSERT_EQ(app->wait(std::chrono::seconds(90)), 0) << app->output;

  std::string stored = "\n";  // one name a line
  for (const auto& entry : fs::recursive_directory_iterator(work_ / "app")) {
    if (entry.path().filename() != "orvane-app-measurement.sql") continue;
    stored += testsupport::runCommand("sqlite3 '" + entry.path().string() +
                                      "' \"SELECT name FROM events WHERE name LIKE 'exit_%'\"");
  }
  for (const std::string& name : answered) {
    EXPECT_NE(stored.find("\n" + name + "\n"), std::string::npos)
        << name << " of " << answered.size();
  }
}

}  // namespace
