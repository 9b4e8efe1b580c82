// The three local services (measurement, login-and-link, PSM) as real processes, attacked the
// way a hostile local peer or a page of another origin would: wrong Host names, control
// requests without a JSON type, malformed and half-open requests, more connections than they
// hold, no descriptors left, a gzip bomb, and many thousands of requests against their memory.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <utility>  // before Asio

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/RawHttp.h"
#include "tests/support/ServiceProcess.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using testsupport::httpRequest;
using testsupport::ServiceProcess;

struct Service {
  const char* name;
  const char* program;
  bool scripted;      // has the /_control/ endpoints
  const char* probe;  // a GET it answers in the normal way
  const char* write;  // a POST that changes or costs it something
};

void PrintTo(const Service& service, std::ostream* out) { *out << service.name; }

const Service kServices[] = {
    {"measurement", KVL_TEST_MEASUREMENT_SERVICE, true, "/storekit/products", "/a"},
    {"link", KVL_TEST_LINK_SERVICE, true, "/v1/graph/me", "/v1/shortLinks"},
    {"psm", KVL_TEST_PSM_SERVER, false, "/odm/config", "/odm/psm"},
};

class LocalServicesTest : public ::testing::TestWithParam<Service> {
 protected:
  void TearDown() override {
    service_.reset();
    if (!data_.empty()) std::filesystem::remove_all(data_);
  }

  // Starts the service with `extra` options, under `wrapper` (a command that runs it) if given.
  void start(std::vector<std::string> extra = {}, std::vector<std::string> wrapper = {}) {
    std::vector<std::string> arguments = wrapper;
    arguments.push_back(GetParam().program);
    arguments.insert(arguments.end(), {"--port", "0"});
    if (std::string(GetParam().name) == "measurement") {
      data_ = std::filesystem::temp_directory_path() /
              ("kvl-local-services-" + std::to_string(::getpid()));
      arguments.insert(arguments.end(), {"--data", data_.string()});
    } else if (std::string(GetParam().name) == "psm") {
      arguments.insert(arguments.end(), {"--members", std::string(KVL_SOURCE_DIR) +
                                                          "/tools/psm-server/sample-members.json"});
    }
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    std::string program = arguments.front();
    arguments.erase(arguments.begin());
    service_ = std::make_unique<ServiceProcess>(program, arguments);
    port_ = static_cast<uint16_t>(
        std::stoi(service_->baseURL().substr(service_->baseURL().rfind(':') + 1)));
  }

  std::string url(const std::string& path) const { return service_->baseURL() + path; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

  tcp::socket connect() {
    tcp::socket socket(io_);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_));
    return socket;
  }

  // Everything the server sends until it closes.
  static std::string readToEnd(tcp::socket& socket) {
    std::string answer;
    beast::error_code ec;
    char chunk[4096];
    while (!ec) answer.append(chunk, socket.read_some(asio::buffer(chunk), ec));
    return answer;
  }

  long rssKiB() const {
    std::ifstream status("/proc/" + std::to_string(service_->pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
  }

  asio::io_context io_;
  std::filesystem::path data_;
  std::unique_ptr<ServiceProcess> service_;
  uint16_t port_ = 0;
};

TEST_P(LocalServicesTest, AnswersOnlyUnderALoopbackNameWithItsPort) {
  start();
  struct Case {
    std::string host;
    bool answered;
  };
  const Case cases[] = {
      {host(), true},
      {"localhost:" + std::to_string(port_), true},
      {"LOCALHOST:" + std::to_string(port_), true},
      {"rebound.example:" + std::to_string(port_), false},
      {"127.0.0.1:1", false},
      {"127.0.0.1", false},
      {"127.0.0.1.evil.example:" + std::to_string(port_), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    long status = httpRequest("GET", url(GetParam().probe), {"Host: " + c.host}).status;
    EXPECT_NE(status, 0);
    EXPECT_EQ(status == 403, !c.answered) << status;
  }
}

TEST_P(LocalServicesTest, RefusesWhatAPageOfAnotherOriginSends) {
  start();
  const std::string own = std::to_string(port_);
  const std::string other = std::to_string(port_ == 65535 ? 1 : port_ + 1);
  struct Case {
    std::vector<std::string> headers;
    bool refused;
  };
  const Case cases[] = {
      {{"Origin: http://127.0.0.1:" + other}, true},
      {{"Origin: http://localhost:" + other}, true},
      {{"Origin: null"}, true},
      {{"Origin: https://127.0.0.1:" + own}, true},
      {{"Origin: http://127.0.0.1.evil.example:" + own}, true},
      {{"Sec-Fetch-Site: same-site", "Sec-Fetch-Mode: no-cors"}, true},
      {{"Sec-Fetch-Site: cross-site", "Sec-Fetch-Mode: cors"}, true},
      {{"Origin: http://127.0.0.1:" + own}, false},
      {{"Origin: http://LOCALHOST:" + own}, false},
      {{"Origin: http://[::1]:" + own}, false},
      {{"Sec-Fetch-Site: same-origin", "Sec-Fetch-Mode: cors"}, false},
      {{"Sec-Fetch-Site: none", "Sec-Fetch-Mode: navigate"}, false},
      // A link followed from another page: a navigation, which that page cannot read.
      {{"Sec-Fetch-Site: cross-site", "Sec-Fetch-Mode: navigate"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers.front() + (c.headers.size() > 1 ? ", " + c.headers.back() : ""));
    long status = httpRequest("GET", url(GetParam().probe), c.headers).status;
    EXPECT_NE(status, 0);
    EXPECT_EQ(status == 403, c.refused) << status;
  }
  // A write from another origin, as a page posts it without asking (text/plain), is refused
  // before any route sees it: nothing is recorded or stored.
  for (const std::string& origin : {"http://127.0.0.1:" + other, "http://localhost:" + other}) {
    EXPECT_EQ(httpRequest("POST", url(GetParam().write),
                          {"Origin: " + origin, "Content-Type: text/plain;charset=UTF-8"}, "{}")
                  .status,
              403);
    // A navigation may only read: a form posted from another page is refused too.
    EXPECT_EQ(httpRequest("POST", url(GetParam().write),
                          {"Sec-Fetch-Site: same-site", "Sec-Fetch-Mode: navigate",
                           "Content-Type: application/x-www-form-urlencoded"},
                          "a=b")
                  .status,
              403);
  }
  if (GetParam().scripted) {
    auto recorded = httpRequest("GET", url("/_control/requests"));
    ASSERT_EQ(recorded.status, 200);
    EXPECT_EQ(recorded.body.find("\"POST\""), std::string::npos) << recorded.body;
  }
  if (std::string(GetParam().name) == "measurement") {
    EXPECT_EQ(httpRequest("GET", url("/uploads.json")).body.find("\"id\""), std::string::npos);
  }
}

TEST_P(LocalServicesTest, ControlRequestsNeedThisRunsToken) {
  if (!GetParam().scripted) GTEST_SKIP() << "no control endpoints";
  const std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("kvl-control-" + std::to_string(::getpid()) + ".json");
  start({"--control-file", file.string()});
  // The file holds this run's address and token, for the developer's eyes only.
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::ifstream in(file);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string token = std::getenv("KVL_SERVICE_TOKEN");
  EXPECT_NE(text.find("\"token\":\"" + token + "\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"url\":\"" + service_->baseURL() + "\""), std::string::npos) << text;

  std::string sameLength = token;
  sameLength.back() = sameLength.back() == 'a' ? 'b' : 'a';
  const std::string order =
      std::string(R"({"path":")") + GetParam().probe + R"(","status":503,"times":1})";
  for (const std::string& header :
       {std::string("X-Service-Token:"), "X-Service-Token: " + sameLength,
        "X-Service-Token: " + token.substr(1), "X-Service-Token: " + token + "0"}) {
    SCOPED_TRACE(header);
    EXPECT_EQ(httpRequest("GET", url("/_control/requests"), {header}).status, 403);
    EXPECT_EQ(httpRequest("DELETE", url("/_control/requests"), {header}).status, 403);
    EXPECT_EQ(httpRequest("POST", url("/_control/script"), {header}, order).status, 403);
  }
  EXPECT_EQ(httpRequest("GET", url(GetParam().probe)).status / 100, 2) << "nothing was scripted";
  EXPECT_EQ(httpRequest("GET", url("/_control/requests"), {"X-Service-Token: " + token}).status,
            200);
  EXPECT_EQ(service_->stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(file)) << "removed when the service stops";
}

TEST_P(LocalServicesTest, ControlChangesNeedAJsonType) {
  if (!GetParam().scripted) GTEST_SKIP() << "no control endpoints";
  start();
  const std::string order =
      std::string(R"({"path":")") + GetParam().probe + R"(","status":503,"times":1})";
  // What a page of another origin can send without the browser asking first.
  for (const char* type : {"text/plain;charset=UTF-8", "application/x-www-form-urlencoded",
                           "multipart/form-data; boundary=x"}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(
        httpRequest("POST", url("/_control/script"), {std::string("Content-Type: ") + type}, order)
            .status,
        415);
  }
  EXPECT_EQ(httpRequest("DELETE", url("/_control/requests"), {"Content-Type:"}).status, 415);
  EXPECT_EQ(httpRequest("GET", url(GetParam().probe)).status / 100, 2) << "nothing was scripted";
  ASSERT_EQ(httpRequest("POST", url("/_control/script"),
                        {"Content-Type: application/json; charset=utf-8"}, order)
                .status,
            204);
  EXPECT_EQ(httpRequest("GET", url(GetParam().probe)).status, 503);
}

TEST_P(LocalServicesTest, MalformedRequestsAreAnsweredAsTheParserReportsThem) {
  start();
  for (const auto& c : testsupport::malformedRequests(host())) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(testsupport::exchangeRaw(port_, c.bytes).rfind(c.statusLine, 0), 0u);
  }
  // The service's own absolute address is its path, as a server must take it.
  EXPECT_EQ(testsupport::exchangeRaw(port_, "GET http://" + host() + GetParam().probe +
                                                " HTTP/1.1\r\nHost: " + host() +
                                                "\r\nConnection: close\r\n\r\n")
                .rfind("HTTP/1.1 2", 0),
            0u);
  if (std::string(GetParam().name) == "measurement") {
    EXPECT_EQ(httpRequest("GET", url("/")).status, 200);
    EXPECT_EQ(httpRequest("GET", url("/no/such/page")).status, 404);
  }
}

TEST_P(LocalServicesTest, AHalfOpenRequestIsClosedAtItsDeadline) {
  start({"--header-deadline-ms", "300", "--read-deadline-ms", "300"});
  // Half a header section, then a whole one with half its body: each has its deadline.
  for (const std::string& half : {"GET / HTTP/1.1\r\nHost: " + host() + "\r\n",
                                  "POST " + std::string(GetParam().write) + " HTTP/1.1\r\nHost: " +
                                      host() + "\r\nContent-Length: 10\r\n\r\n12345"}) {
    SCOPED_TRACE(half);
    tcp::socket socket = connect();
    asio::write(socket, asio::buffer(half));
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(readToEnd(socket), "") << "closed without an answer";
    auto held = std::chrono::steady_clock::now() - began;
    EXPECT_GE(held, std::chrono::milliseconds(250));
    EXPECT_LT(held, std::chrono::seconds(20));
  }
  EXPECT_NE(httpRequest("GET", url(GetParam().probe)).status, 0);
}

// A body that keeps coming, a byte at a time, but far below what any real client sends, is cut
// once it falls behind: the minute a whole body may take does not hold for a trickle.
TEST_P(LocalServicesTest, ATrickledBodyIsClosedOnceItFallsBehind) {
  start({"--body-progress-ms", "300"});
  tcp::socket socket = connect();
  asio::write(socket, asio::buffer("POST " + std::string(GetParam().write) + " HTTP/1.1\r\nHost: " +
                                   host() + "\r\nContent-Length: 100000\r\n\r\n"));
  const auto began = std::chrono::steady_clock::now();
  pollfd pfd{socket.native_handle(), POLLIN, 0};
  bool closed = false;
  // A byte every 50 ms, well within the 300 ms a body may stall, until the service closes.
  while (!closed && std::chrono::steady_clock::now() - began < std::chrono::seconds(30)) {
    boost::system::error_code ec;
    asio::write(socket, asio::buffer("x", 1), ec);
    closed = ec || (::poll(&pfd, 1, 50) == 1);
  }
  const auto held = std::chrono::steady_clock::now() - began;
  EXPECT_TRUE(closed);
  EXPECT_EQ(readToEnd(socket), "") << "closed without an answer";
  EXPECT_GE(held, std::chrono::milliseconds(250));
  EXPECT_LT(held, std::chrono::seconds(10));
  EXPECT_NE(httpRequest("GET", url(GetParam().probe)).status, 0);
}

TEST_P(LocalServicesTest, HelpExitsZeroAndOnlyServicesWithControlRoutesTakeAControlFile) {
  auto exitStatus = [this](const std::string& arguments) {
    return testsupport::runCommand(std::string(GetParam().program) + " " + arguments +
                                   " >/dev/null 2>&1; echo $?");
  };
  EXPECT_EQ(exitStatus("--help"), "0\n");
  EXPECT_EQ(exitStatus("--no-such-option 1"), "2\n");
  if (!GetParam().scripted) {
    // Its token would open nothing: psm-server has no control routes.
    EXPECT_EQ(exitStatus("--control-file /dev/null"), "2\n");
    EXPECT_NE(
        testsupport::runCommand(std::string(GetParam().program) + " --control-file /dev/null 2>&1")
            .find("no control routes"),
        std::string::npos);
  }
}

TEST_P(LocalServicesTest, ConnectionsBeyondTheCapWaitForAPlace) {
  start({"--max-connections", "3"});
  std::vector<tcp::socket> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(connect());
    asio::write(held.back(), asio::buffer(std::string("GET / HTTP/1.1\r\n")));
  }
  tcp::socket waiting = connect();  // in the kernel's backlog
  asio::write(waiting, asio::buffer("GET " + std::string(GetParam().probe) + " HTTP/1.1\r\nHost: " +
                                    host() + "\r\nConnection: close\r\n\r\n"));
  pollfd pfd{waiting.native_handle(), POLLIN, 0};
  EXPECT_EQ(::poll(&pfd, 1, 300), 0) << "answered past the cap";
  held.front().close();
  EXPECT_EQ(readToEnd(waiting).rfind("HTTP/1.1 ", 0), 0u);
}

TEST_P(LocalServicesTest, RunningOutOfDescriptorsNeverStopsIt) {
  start({}, {"/usr/bin/prlimit", "--nofile=64"});
  std::vector<tcp::socket> halfOpen;
  for (int i = 0; i < 100; ++i) {
    halfOpen.push_back(connect());
    asio::write(halfOpen.back(), asio::buffer(std::string("GET / HTTP/1.1\r\n")));
  }
  halfOpen.clear();
  EXPECT_NE(httpRequest("GET", url(GetParam().probe)).status, 0);
  EXPECT_EQ(::kill(service_->pid(), 0), 0) << "still running";
}

TEST_P(LocalServicesTest, MemoryStaysFlatOverManyRequests) {
  // ASan's quarantine would hold freed memory as if in use.
  const char* before = std::getenv("ASAN_OPTIONS");
  std::string saved = before ? before : "";
  ::setenv("ASAN_OPTIONS", (saved + (saved.empty() ? "" : ":") + "quarantine_size_mb=1").c_str(),
           1);
  start();
  ::setenv("ASAN_OPTIONS", saved.c_str(), 1);

  beast::tcp_stream stream(io_);
  stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port_));
  beast::flat_buffer buffer;
  const std::string longQuery = "?q=" + std::string(4000, 'q');
  const std::string body(64 * 1024, 'b');
  auto send = [&](int i) {
    bool post = i % 10 == 0;
    http::request<http::string_body> request(
        post ? http::verb::post : http::verb::get,
        post ? "/nowhere" : std::string(GetParam().probe) + longQuery, 11);
    request.set(http::field::host, host());
    if (post) request.body() = body;
    request.prepare_payload();
    http::write(stream, request);
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    return response.result_int();
  };
  for (int i = 0; i < 5000; ++i) ASSERT_NE(send(i), 0);
  long warm = rssKiB();
  for (int i = 5000; i < 30000; ++i) ASSERT_NE(send(i), 0);
  long after = rssKiB();
  EXPECT_LT(after - warm, 16 * 1024)
      << warm << " KiB after 5000 requests, " << after << " KiB after 30000";
  if (GetParam().scripted) {
    auto page = httpRequest("GET", url("/_control/requests?after=0&limit=2"));
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body.find("\"sequence\":1,"), std::string::npos) << "the oldest went";
  }
}

TEST_P(LocalServicesTest, AGzipBombIsRefusedQuicklyWhileOthersAreServed) {
  if (std::string(GetParam().name) != "measurement") GTEST_SKIP() << "takes no uploads";
  start();
  // 256 MiB of zeros, gzipped by Python: about 250 KB on the wire.
  const std::string bomb = testsupport::runCommand(
      "python3 -c 'import gzip,sys; sys.stdout.buffer.write(gzip.compress(bytes(256 << 20)))'");
  ASSERT_GT(bomb.size(), 1000u);
  auto began = std::chrono::steady_clock::now();
  auto upload = std::async(std::launch::async, [&] {
    return httpRequest("POST", url("/a"), {"Content-Encoding: gzip"}, bomb);
  });
  for (int i = 0; i < 5; ++i) EXPECT_EQ(httpRequest("GET", url("/storekit/products")).status, 200);
  auto answer = upload.get();
  EXPECT_EQ(answer.status, 413);
  EXPECT_NE(answer.body.find("inflates beyond 10485760 bytes"), std::string::npos) << answer.body;
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
}

// No answer of a service may be shown in a frame of a page of another origin (Chromium framed
// the uploads page from another port): every answer forbids it, refusals included, as the
// app's host does.
TEST_P(LocalServicesTest, EveryAnswerForbidsFraming) {
  start();
  const std::string other = std::to_string(port_ == 65535 ? 1 : port_ + 1);
  struct Case {
    const char* name;
    std::string answer;  // the whole answer, as the server sent it
  };
  auto raw = [this](const std::string& method, const std::string& path,
                    const std::string& headers) {
    return testsupport::exchangeRaw(port_, method + " " + path + " HTTP/1.1\r\n" + headers +
                                               "Connection: close\r\nContent-Length: 0\r\n\r\n");
  };
  const std::string ownHost = "Host: " + host() + "\r\n";
  const Case cases[] = {
      {"an answer", raw("GET", GetParam().probe, ownHost)},
      {"the page", raw("GET", "/", ownHost)},
      {"no such resource", raw("GET", "/no/such/page", ownHost)},
      {"another host", raw("GET", GetParam().probe, "Host: rebound.example:" + other + "\r\n")},
      {"another origin",
       raw("POST", GetParam().write, ownHost + "Origin: http://127.0.0.1:" + other + "\r\n")},
      {"a control request without the token",
       raw("GET", "/_control/requests", ownHost + "X-Service-Token: x\r\n")},
      {"a malformed request", testsupport::exchangeRaw(port_, "GET / HTTP/1.1\r\nHost\r\n\r\n")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.answer.rfind("HTTP/1.1 ", 0), 0u) << c.answer;
    const std::string head = c.answer.substr(0, c.answer.find("\r\n\r\n") + 2);
    EXPECT_NE(head.find("\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"),
              std::string::npos)
        << head;
    EXPECT_NE(head.find("\r\nX-Frame-Options: DENY\r\n"), std::string::npos) << head;
  }
}

// psm-server and the measurement service's PSM routes measure a JSON body before they parse it:
// beyond the bounds of a request (8 deep, 64 elements) the answer is 413 and says why; a body
// within them that is no request is malformed: 400.
TEST_P(LocalServicesTest, PSMBodiesBeyondTheirBoundsAre413AndMalformedOnes400) {
  if (std::string(GetParam().name) == "link") GTEST_SKIP() << "has no PSM routes";
  if (std::string(GetParam().name) == "measurement") {
    start({"--psm-members", std::string(KVL_SOURCE_DIR) + "/tools/psm-server/sample-members.json"});
  } else {
    start();
  }
  std::string wide = R"({"psm_request":"AA","padding":[)";
  for (int i = 0; i < 70; ++i) wide += i == 0 ? "0" : ",0";
  wide += "]}";
  const std::string deep = R"({"psm_request":"AA","padding":[[[[[[[[[0]]]]]]]]]})";
  struct Case {
    const char* path;
    std::string body;
    long status;
    const char* reason;
  };
  const Case cases[] = {
      {"/odm/psm", deep, 413, "JSON nested deeper than 8\n"},
      {"/odm/psm", wide, 413, "JSON of more than 64 elements\n"},
      {"/pagead/conversion/app/psm", deep, 413, "JSON nested deeper than 8\n"},
      {"/pagead/conversion/app/psm", wide, 413, "JSON of more than 64 elements\n"},
      {"/odm/validate", deep, 413, "JSON nested deeper than 8\n"},
      {"/odm/validate", wide, 413, "JSON of more than 64 elements\n"},
      {"/odm/psm", R"({"psm_request":)", 400, ""},
      {"/odm/psm", "[1,2]", 400, ""},
      {"/odm/psm", R"({"psm_request":"not base64!"})", 400, ""},
      {"/odm/validate", R"({"mvs":5})", 400, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.body.substr(0, 40));
    auto answer = httpRequest("POST", url(c.path), {}, c.body);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.body, c.reason);
  }
}

INSTANTIATE_TEST_SUITE_P(Services, LocalServicesTest, ::testing::ValuesIn(kServices),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
