#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// A local service of ours run as its own process for a test: started with the given
// arguments, ready once it has printed its "... listening on http://127.0.0.1:<port>" line,
// stopped with SIGTERM when the object goes, which is then a check: a service that does not
// exit with status 0 (a crash, a sanitizer's report, an abort as a thread ends) fails the test
// that ran it, so that a fault in a service never passes unseen.
class ServiceProcess {
 public:
  // Starts `program` and waits (at most `readyLimitSeconds`, polling its output, never
  // sleeping) for the listening line. Throws std::runtime_error when it exits or stays silent.
  ServiceProcess(const std::string& program, const std::vector<std::string>& arguments,
                 int readyLimitSeconds = 30);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // "http://127.0.0.1:<port>", as the service printed it.
  const std::string& baseURL() const { return baseURL_; }
  pid_t pid() const { return pid_; }

  // SIGTERM, then waits for the exit; answers the exit status (-signal when killed), for the
  // caller to judge (one that killed the service itself expects -SIGKILL). A service that has
  // not ended after kStopLimitSeconds is killed.
  int stop();

  // Generous: a service ends on SIGTERM once the handlers running have answered, which on a
  // busy machine under the sanitizers takes seconds. A bound only, never waited out otherwise.
  static constexpr int kStopLimitSeconds = 120;

 private:
  std::string program_;
  pid_t pid_ = -1;
  int output_ = -1;
  std::string baseURL_;
};

// One HTTP exchange with a test server, through libcurl, synchronous. A request other than GET
// or HEAD is sent as "Content-Type: application/json" unless `headers` name a type. Every
// request carries this test process's service token ("X-Service-Token", the KVL_SERVICE_TOKEN
// that the services it starts inherit) unless `headers` name one ("X-Service-Token:" alone
// sends none). The client gives up after `timeoutSeconds` (status 0).
struct HttpResult {
  long status = 0;  // 0 when no answer came
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string header(const std::string& name) const;  // "" when absent (case-insensitive)
};
HttpResult httpRequest(const std::string& method, const std::string& url,
                       const std::vector<std::string>& headers = {}, const std::string& body = "",
                       long timeoutSeconds = 30);

// Runs a shell command with `input` on its standard input; answers its standard output.
std::string runCommand(const std::string& command, const std::string& input = "");

}  // namespace testsupport
