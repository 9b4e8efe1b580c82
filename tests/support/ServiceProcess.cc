#include "tests/support/ServiceProcess.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace {

// One control token for every service this test process starts (they read KVL_SERVICE_TOKEN
// from the environment they inherit) and every request httpRequest sends. Set before main, while
// no other thread reads the environment.
const std::string kServiceToken = [] {
  const char* given = std::getenv("KVL_SERVICE_TOKEN");
  if (given != nullptr && *given != '\0') return std::string(given);
  std::string token = "test-" + std::to_string(::getpid());
  std::ifstream random("/dev/urandom", std::ios::binary);
  for (int i = 0; i < 16; ++i) token += "0123456789abcdef"[random.get() & 15];
  ::setenv("KVL_SERVICE_TOKEN", token.c_str(), 1);
  return token;
}();

}  // namespace

ServiceProcess::ServiceProcess(const std::string& program,
                               const std::vector<std::string>& arguments, int readyLimitSeconds)
    : program_(program) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) throw std::runtime_error("ServiceProcess: no pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeEnds[1]);
  output_ = pipeEnds[0];
  if (spawned != 0) {
    ::close(output_);
    throw std::runtime_error("ServiceProcess: cannot start " + program);
  }

  // Read the output until the listening line, bounded by the readiness limit.
  std::string seen;
  // Bounded by counting quiet polls: output that arrives wakes the poll at once.
  int quietPolls = readyLimitSeconds * 10;
  while (baseURL_.empty()) {
    pollfd pfd{output_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, 100);
    if (ready < 0 || (ready == 0 && --quietPolls <= 0)) break;
    if (ready == 0) continue;
    char buffer[512];
    ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n <= 0) break;  // the process closed its output: it ended
    seen.append(buffer, static_cast<size_t>(n));
    size_t at = seen.find("listening on ");
    size_t end = at == std::string::npos ? at : seen.find('\n', at);
    if (end != std::string::npos) {
      baseURL_ = seen.substr(at + 13, end - at - 13);
      baseURL_ = baseURL_.substr(0, baseURL_.find(' '));  // "... (members from ...)"
    }
  }
  if (baseURL_.empty()) {
    stop();
    throw std::runtime_error("ServiceProcess: " + program + " did not start: " + seen);
  }
}

ServiceProcess::~ServiceProcess() {
  if (pid_ <= 0) return;  // stopped already, its status judged by whoever stopped it
  const pid_t pid = pid_;
  const int status = stop();
  if (status != 0) {
    ADD_FAILURE() << program_ << " (pid " << pid << ") did not exit cleanly when stopped: "
                  << (status < 0 ? "signal " + std::to_string(-status)
                                 : "exit status " + std::to_string(status))
                  << " (its standard error above says why)";
  }
}

int ServiceProcess::stop() {
  if (pid_ <= 0) return 0;
  ::kill(pid_, SIGTERM);
  int status = 0;
  // A hung service is killed rather than waited on forever.
  const int polls = kStopLimitSeconds * 20;
  for (int i = 0; i < polls && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
    pollfd none{-1, 0, 0};
    ::poll(&none, 0, 50);
    if (i == polls - 1) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }
  pid_ = -1;
  if (output_ >= 0) ::close(output_);
  output_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::string HttpResult::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return "";
}

namespace {

size_t collectBody(char* data, size_t size, size_t count, void* context) {
  static_cast<std::string*>(context)->append(data, size * count);
  return size * count;
}

size_t collectHeader(char* data, size_t size, size_t count, void* context) {
  std::string line(data, size * count);
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
    static_cast<HttpResult*>(context)->headers.emplace_back(line.substr(0, colon), value);
  }
  return size * count;
}

}  // namespace

HttpResult httpRequest(const std::string& method, const std::string& url,
                       const std::vector<std::string>& headers, const std::string& body,
                       long timeoutSeconds) {
  HttpResult result;
  CURL* curl = curl_easy_init();
  curl_slist* list = nullptr;
  bool typed = false;
  bool tokened = false;
  for (const std::string& header : headers) {
    list = curl_slist_append(list, header.c_str());
    typed |= strncasecmp(header.c_str(), "Content-Type:", 13) == 0;
    tokened |= strncasecmp(header.c_str(), "X-Service-Token:", 16) == 0;
  }
  // Our services take control requests only with this run's token.
  if (!tokened) list = curl_slist_append(list, ("X-Service-Token: " + kServiceToken).c_str());
  // Our services speak JSON, and take changes to their state only with a JSON type; libcurl
  // would otherwise label a body as a form.
  if (!typed && method != "GET" && method != "HEAD") {
    list = curl_slist_append(list, "Content-Type: application/json");
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  if (method == "POST" || method == "PUT" || !body.empty()) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSeconds);
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  }
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return result;
}

std::string runCommand(const std::string& command, const std::string& input) {
  std::filesystem::path in =
      std::filesystem::temp_directory_path() / ("kvl-command-in-" + std::to_string(::getpid()));
  std::ofstream(in, std::ios::binary) << input;
  std::string output;
  FILE* pipe = ::popen(("(" + command + ") < " + in.string()).c_str(), "r");
  char buffer[4096];
  size_t n;
  while (pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  if (pipe) ::pclose(pipe);
  std::filesystem::remove(in);
  return output;
}

}  // namespace testsupport
