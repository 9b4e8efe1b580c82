// What a peer can make the measurement and link services hold or spend, measured on the real
// processes: the service's own resident memory (from /proc, not its bookkeeping), the rows its
// store gained (read by the sqlite3 tool) and the processor time one request takes.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/BodyStallPeers.h"
#include "tests/support/KeepAlivePeers.h"
#include "tests/support/ProtobufWire.h"
#include "tests/support/RawPeers.h"
#include "tests/support/ServiceProcess.h"

namespace {

using testsupport::httpRequest;
using testsupport::ServiceProcess;

// A protobuf length-delimited field: tag, length, contents.
std::string field(int number, const std::string& contents) {
  std::string out(1, static_cast<char>(number << 3 | 2));
  for (uint64_t n = contents.size();; n >>= 7) {
    out += static_cast<char>((n & 0x7f) | (n >= 0x80 ? 0x80 : 0));
    if (n < 0x80) break;
  }
  return out + contents;
}

std::string hex(size_t number) {
  std::ostringstream out;
  out << std::hex << number;
  return out.str();
}

std::string repeated(const std::string& item, size_t count) {
  std::string out;
  out.reserve(item.size() * count);
  for (size_t i = 0; i < count; ++i) out += item;
  return out;
}

// A MeasurementBatch of `bundles` bundles (field 1), each of `events` empty events (field 2).
std::string batch(size_t bundles, size_t events) {
  return repeated(field(1, repeated(field(2, ""), events)), bundles);
}

// Batches of the sizes the library sends: 200,000 bytes, and the most a configuration lets it
// send (max_batch_size, 10 MiB), each bundle with a 1,040-byte platform text.
std::string usualBatch() { return repeated(field(1, field(8, std::string(1040, 'p'))), 191); }
std::string largestBatch() { return repeated(field(1, field(8, std::string(1040, 'p'))), 10000); }

// Uploads are stored one at a time, each in seconds under the sanitizers and longer on a busy
// machine: their client waits for the answer as long as a test may run, so that load alone
// never turns a slow 204 into no answer (under the suite's 900 s limit, so a hang still fails
// as an assertion).
constexpr long kUploadTimeoutSeconds = 600;

class ServiceBoundsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    service_.reset();
    if (!data_.empty()) std::filesystem::remove_all(data_);
  }

  void start(const char* program, std::vector<std::string> arguments) {
    // ASan's quarantine would hold freed memory as if in use.
    const char* before = std::getenv("ASAN_OPTIONS");
    std::string saved = before ? before : "";
    ::setenv("ASAN_OPTIONS", (saved + (saved.empty() ? "" : ":") + "quarantine_size_mb=1").c_str(),
             1);
    arguments.insert(arguments.begin(), {"--port", "0"});
    service_ = std::make_unique<ServiceProcess>(program, arguments);
    ::setenv("ASAN_OPTIONS", saved.c_str(), 1);
  }

  void startMeasurement() {
    data_ = std::filesystem::temp_directory_path() /
            ("kvl-bounds-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(data_);
    start(KVL_TEST_MEASUREMENT_SERVICE, {"--data", data_.string()});
  }

  std::string url(const std::string& path) const { return service_->baseURL() + path; }
  static uint16_t portOf(const ServiceProcess& service) {
    const std::string& base = service.baseURL();
    return static_cast<uint16_t>(std::stoi(base.substr(base.rfind(':') + 1)));
  }
  uint16_t port() const { return portOf(*service_); }
  std::string hostHeader() const { return "127.0.0.1:" + std::to_string(port()); }

  // The head of an upload to "/a" that declares `declared` body bytes.
  std::string uploadHead(size_t declared) const {
    return "POST /a HTTP/1.1\r\nHost: " + hostHeader() +
           "\r\nContent-Type: application/x-protobuf\r\nContent-Length: " +
           std::to_string(declared) + "\r\n\r\n";
  }

  // The statuses of `count` uploads of `body` to "/a", sent at once.
  std::vector<long> uploadAtOnce(size_t count, const std::string& body) {
    std::vector<long> statuses(count);
    std::vector<std::thread> uploads;
    for (long& status : statuses) {
      uploads.emplace_back(
          [&] { status = httpRequest("POST", url("/a"), {}, body, kUploadTimeoutSeconds).status; });
    }
    for (std::thread& upload : uploads) upload.join();
    return statuses;
  }

  // `count` peers that declare the largest upload body and send it at 100 KiB/s each (faster
  // than the slowest a body may arrive), once they have sent `bytesEach` each (or 30 s passed).
  std::unique_ptr<testsupport::BodyStallPeers> slowUploaders(size_t count, uint64_t bytesEach) {
    const size_t declared = 16u << 20;
    auto peers = std::make_unique<testsupport::BodyStallPeers>(port(), count, uploadHead(declared),
                                                               declared, 100 << 10);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (peers->bytesSent() < count * bytesEach && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return peers;
  }

  // `count` peers that declare the largest upload body, send all of it but its last 64 bytes at
  // once and then a byte every 4 s: within every rule on how a body must arrive (no 5 s stall,
  // the average far above the slowest allowed), they hold what they sent until the whole-body
  // limit (60 s). Returned once the service has read all they sent, or cut them.
  std::unique_ptr<testsupport::BodyStallPeers> upFrontUploaders(size_t count) {
    const size_t declared = 16u << 20;
    auto peers = std::make_unique<testsupport::BodyStallPeers>(
        port(), count, uploadHead(declared), declared, 0, 64, std::chrono::seconds(4));
    while (!peers->settled() || peers->unread() > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return peers;
  }

  // The service's descriptors open on files in its data folder that have no name: where it
  // keeps the bodies it holds. Each must be the user's alone.
  size_t unnamedFilesInData() const {
    size_t count = 0;
    const std::string folder = data_.string() + "/";
    const std::filesystem::path fds = "/proc/" + std::to_string(service_->pid()) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(fds)) {
      std::error_code ec;
      const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
      if (ec || target.rfind(folder, 0) != 0 || target.find(" (deleted)") == std::string::npos) {
        continue;
      }
      ++count;
      EXPECT_EQ(std::filesystem::status(entry.path()).permissions() & std::filesystem::perms::all,
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
          << target;
    }
    return count;
  }

  // Three and then four uploads of each size the library sends, at once, beside peers holding
  // bodies: all 204 and stored, and the service's memory bounded meanwhile. The largest take
  // seconds each to store, so each round of them has new peers, which hold their bodies as it
  // goes; `whilePeersHold` runs once the rounds of 200,000 bytes are done, their peers holding.
  void expectUploadsTakenBeside(
      const std::function<std::unique_ptr<testsupport::BodyStallPeers>()>& peersHoldingBodies,
      const std::function<void()>& whilePeersHold = {}) {
    startMeasurement();
    const std::string usual = usualBatch();
    const std::string largest = largestBatch();
    ASSERT_GT(usual.size(), 199000u);
    ASSERT_LE(largest.size(), 10485760u);
    size_t sent = 0;
    for (const std::string* body : {&usual, &largest}) {
      std::unique_ptr<testsupport::BodyStallPeers> peers;
      for (size_t count : {3u, 4u}) {
        SCOPED_TRACE(std::to_string(count) + " uploads of " + std::to_string(body->size()));
        if (!peers || body == &largest) peers = peersHoldingBodies();
        ASSERT_EQ(peers->cut(), 0u) << "every peer holds its body as the uploads go";
        EXPECT_EQ(uploadAtOnce(count, *body), std::vector<long>(count, 204));
        sent += count;
      }
      if (body == &usual && whilePeersHold) whilePeersHold();
    }
    EXPECT_EQ(sqlite("SELECT count(*) FROM uploads WHERE decoded = 1"),
              std::to_string(sent) + "\n");
    EXPECT_LT(peakRssMiB(), 300) << "MiB at most";
  }

  long rssMiB() const { return statusMiB(*service_, "VmRSS:"); }
  // The most the service has held resident at any moment since it started.
  long peakRssMiB() const { return statusMiB(*service_, "VmHWM:"); }
  static long statusMiB(const ServiceProcess& service, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(service.pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size())) / 1024;
    }
    return -1;
  }

  // The three services at their default settings but the port, the measurement one first.
  std::vector<std::unique_ptr<ServiceProcess>> startThree() {
    startMeasurement();
    std::vector<std::unique_ptr<ServiceProcess>> services;
    services.push_back(std::move(service_));
    services.push_back(std::make_unique<ServiceProcess>(KVL_TEST_LINK_SERVICE,
                                                        std::vector<std::string>{"--port", "0"}));
    services.push_back(std::make_unique<ServiceProcess>(
        KVL_TEST_PSM_SERVER,
        std::vector<std::string>{
            "--port", "0", "--members",
            std::string(KVL_SOURCE_DIR) + "/tools/psm-server/sample-members.json"}));
    return services;
  }

  // Seconds until each service answered a normal request, from `began`.
  static void expectAnsweredWithin(const std::vector<std::unique_ptr<ServiceProcess>>& services,
                                   std::chrono::steady_clock::time_point began, double seconds) {
    for (const auto& service : services) {
      SCOPED_TRACE(service->baseURL());
      auto answer = httpRequest("GET", service->baseURL() + "/no-such-resource");
      const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - began;
      EXPECT_TRUE(answer.status >= 200 && answer.status < 500) << answer.status << answer.body;
      EXPECT_LT(waited.count(), seconds) << "seconds until a normal request was answered";
    }
  }

  // The processor time the service has used so far (user and system), in seconds: what a
  // request cost it, whatever else the machine runs.
  double cpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(service_->pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
    long user = 0;
    long system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  std::string sqlite(const std::string& query) const {
    return testsupport::runCommand("sqlite3 " + (data_ / "uploads.sqlite").string() + " '" + query +
                                   "'");
  }

  std::filesystem::path data_;
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(ServiceBoundsTest, ABatchBeyondWhatTheLibrarySendsIsRefusedWholeAndCheaply) {
  startMeasurement();
  struct Case {
    const char* name;
    std::string body;
    int status;
    const char* reason;
  };
  const Case cases[] = {
      // 8.4 million empty bundles, under the body limit.
      {"16 MiB of bundles", batch(8 << 20, 0), 413, "bytes is beyond"},
      {"10001 bundles", batch(10001, 0), 413, "more than 10000 bundles"},
      {"a bundle of 1000001 events", batch(1, 1000001), 413, "more than 1000000 events"},
      {"1001000 events in all", batch(1000, 1001), 413, "more than 1000000 events"},
      // A bundle of 10001 user properties, empty.
      {"10001 other fields of a bundle", field(1, repeated(field(3, ""), 10001)), 413,
       "more than 10000 fields besides its events"},
      // Half a million fields of the batch itself, which the library never sets.
      {"1 MiB of the batch's own fields", repeated("xx", 1 << 19), 413, "besides its bundles"},
      // Decoded a bundle at a time: one that does not decode takes the others back with it.
      {"a second bundle that does not decode",
       batch(1, 1) + field(1, std::string("\x12\x05") + "ab"), 400, "bundles[1]"},
      {"10000 bundles", batch(10000, 0), 204, ""},
      {"1000 bundles of 100 events", batch(1000, 100), 204, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double began = cpuSeconds();
    auto answer = httpRequest("POST", url("/a"), {"Content-Type: application/x-protobuf"}, c.body,
                              kUploadTimeoutSeconds);
    EXPECT_EQ(answer.status, c.status) << answer.body;
    EXPECT_NE(answer.body.find(c.reason), std::string::npos) << answer.body;
    if (c.status == 413) {
      EXPECT_LT(cpuSeconds() - began, 5.0) << "seconds of processor time";
    }
  }
  // The refused ones are kept as received, undecoded: one row each, no bundle or event rows.
  EXPECT_EQ(sqlite("SELECT count(*) FROM uploads"), "9\n");
  EXPECT_EQ(sqlite("SELECT count(*) FROM bundles"), "11000\n");
  EXPECT_EQ(sqlite("SELECT count(*) FROM events"), "100000\n");

  // The page shows the latest uploads' first bundles only, promptly and at a bounded cost.
  const double began = cpuSeconds();
  auto page = httpRequest("GET", url("/"));
  EXPECT_EQ(page.status, 200);
  EXPECT_LT(cpuSeconds() - began, 5.0) << "seconds of processor time";
  EXPECT_LT(page.body.size(), 2u << 20);
  EXPECT_NE(page.body.find("and 9980 more bundles"), std::string::npos);
  EXPECT_NE(page.body.find("and 980 more bundles"), std::string::npos);
  EXPECT_LT(rssMiB(), 400) << "MiB resident after the uploads and the page";
}

TEST_F(ServiceBoundsTest, TheStoreKeepsItsBytesDroppingTheOldestUploads) {
  data_ =
      std::filesystem::temp_directory_path() / ("kvl-bounds-store-" + std::to_string(::getpid()));
  std::filesystem::remove_all(data_);
  start(KVL_TEST_MEASUREMENT_SERVICE, {"--data", data_.string(), "--max-store-mb", "4"});
  // Bodies that do not decode are kept as received, a MiB each.
  const std::string body(1 << 20, '\xff');
  for (int i = 0; i < 20; ++i)
    ASSERT_EQ(httpRequest("POST", url("/a"), {}, body, kUploadTimeoutSeconds).status, 400);
  const std::string kept = sqlite("SELECT count(*), min(id), max(id) FROM uploads");
  const int count = std::stoi(kept);
  EXPECT_GE(count, 2) << kept;
  EXPECT_LE(count, 5) << kept;
  EXPECT_EQ(kept.substr(kept.rfind('|')), "|20\n") << "the latest stays";
  EXPECT_LT(std::filesystem::file_size(data_ / "uploads.sqlite"), 10u << 20);
  EXPECT_EQ(sqlite("PRAGMA integrity_check"), "ok\n");
}

TEST_F(ServiceBoundsTest, ThePageOfUploadsComesInPagesAndTheJsonStaysWhole) {
  startMeasurement();
  for (int i = 0; i < 25; ++i)
    ASSERT_EQ(httpRequest("POST", url("/a"), {}, batch(1, 1), kUploadTimeoutSeconds).status, 204);
  auto first = httpRequest("GET", url("/"));
  ASSERT_EQ(first.status, 200);
  EXPECT_NE(first.body.find("<h2>Upload 25 "), std::string::npos);
  EXPECT_NE(first.body.find("<h2>Upload 6 "), std::string::npos);
  EXPECT_EQ(first.body.find("<h2>Upload 5 "), std::string::npos);
  EXPECT_NE(first.body.find("href=\"/?before=6\""), std::string::npos);
  auto second = httpRequest("GET", url("/?before=6"));
  EXPECT_NE(second.body.find("<h2>Upload 5 "), std::string::npos);
  EXPECT_NE(second.body.find("<h2>Upload 1 "), std::string::npos);
  EXPECT_EQ(second.body.find("Older uploads"), std::string::npos);
  EXPECT_NE(second.body.find(", 1 event: "), std::string::npos) << "one event, not 1 events";
  EXPECT_EQ(second.body.find("1 events"), std::string::npos);
  EXPECT_EQ(httpRequest("GET", url("/?before=x")).status, 400);

  // "/uploads.json" still answers every upload (up to 100) by default, newest first.
  auto json = httpRequest("GET", url("/uploads.json"));
  EXPECT_NE(json.body.find("\"id\":25"), std::string::npos);
  EXPECT_NE(json.body.find("\"id\":1,"), std::string::npos);
  EXPECT_LT(json.body.find("\"id\":25"), json.body.find("\"id\":24"));
  EXPECT_EQ(json.header("X-More-Before"), "");
  auto paged = httpRequest("GET", url("/uploads.json?before=3&limit=1"));
  EXPECT_NE(paged.body.find("\"id\":2,"), std::string::npos);
  EXPECT_EQ(paged.body.find("\"id\":1,"), std::string::npos);
}

TEST_F(ServiceBoundsTest, ExperimentRequestsAreKeptWithinTheirBytes) {
  startMeasurement();
  EXPECT_EQ(httpRequest("POST", url("/sdk-exp"), {}, std::string(300 << 10, '\0')).status, 413);
  // The largest body taken, all empty client properties: it decodes to 131,072 objects.
  const std::string empties = repeated(field(2, ""), 128 << 10);
  long before = rssMiB();
  for (int i = 0; i < 24; ++i) {
    ASSERT_EQ(httpRequest("POST", url("/sdk-exp"), {}, empties).status, 200) << i;
  }
  long after = rssMiB();
  EXPECT_LT(after - before, 120) << before << " MiB before, " << after << " MiB after";
  auto kept = httpRequest("GET", url("/_control/experiment-requests"));
  ASSERT_EQ(kept.status, 200);
  EXPECT_LT(kept.body.size(), 16u << 20);
  EXPECT_NE(kept.body.find("body_base64"), std::string::npos) << "the latest are kept";
  EXPECT_EQ(httpRequest("GET", url("/experiments")).status, 200);
}

TEST_F(ServiceBoundsTest, ShortLinksAreKeptWithinTheirBytes) {
  start(KVL_TEST_LINK_SERVICE, {});
  auto shorten = [&](const std::string& longLink) {
    return httpRequest("POST", url("/v1/shortLinks"), {},
                       "{\"longDynamicLink\":\"" + longLink + "\"}");
  };
  const std::string prefix = "https://links.example/?link=https%3A%2F%2Fapp.example%2Fp&x=";
  EXPECT_EQ(shorten(prefix + std::string(4 << 20, 'x')).status, 413);
  EXPECT_EQ(shorten(prefix + std::string(65 << 10, 'x')).status, 413);
  long before = rssMiB();
  std::string first;
  std::string last;
  for (int i = 0; i < 2000; ++i) {
    auto answer = shorten(prefix + std::string(60 << 10, 'x'));
    ASSERT_EQ(answer.status, 200) << i;
    (i == 0 ? first : last) = answer.body.substr(answer.body.find("https://links.example/s"));
  }
  long after = rssMiB();
  // 117 MiB of links arrived: the service keeps 16 MiB of them and 32 MiB of recent requests.
  EXPECT_LT(after - before, 80) << before << " MiB before, " << after << " MiB after";
  auto resolve = [&](const std::string& answer) {
    std::string link = answer.substr(0, answer.find('"'));
    return httpRequest("POST", url("/v1/reopenAttribution"), {},
                       "{\"requestedLink\":\"" + link + "\"}")
        .body;
  };
  EXPECT_EQ(resolve(first), "{}") << "the oldest was forgotten";
  EXPECT_EQ(resolve(last), "{\"deepLink\":\"https://app.example/p\"}");
}

TEST_F(ServiceBoundsTest, APSMRequestIsOneSmallObjectNotMillionsOfValues) {
  start(KVL_TEST_PSM_SERVER,
        {"--members", std::string(KVL_SOURCE_DIR) + "/tools/psm-server/sample-members.json"});
  // Under the 8 MiB body limit: four million values, which a parse would hold all at once.
  std::string body = "{\"psm_request\":\"AAAA\",\"odmed\":[0";
  body.reserve(8 << 20);
  while (body.size() < (8 << 20) - 16) body += ",0";
  body += "]}";
  long before = rssMiB();
  const double began = cpuSeconds();
  for (const char* path : {"/odm/psm", "/odm/validate", "/pagead/conversion/app/psm"}) {
    auto answer = httpRequest("POST", url(path), {}, body);
    EXPECT_EQ(answer.status, 413) << path;
    EXPECT_EQ(answer.body, "JSON of more than 64 elements\n") << path;
  }
  EXPECT_LT(cpuSeconds() - began, 5.0) << "seconds of processor time";
  EXPECT_LT(rssMiB() - before, 64) << before << " MiB before";
}

// A peer that sends half a request holds a place under the connection cap only until its
// header deadline: a flood larger than the cap keeps a normal request waiting seconds, not the
// minute a body may take. The three services are flooded at once, their deadlines running
// together.
TEST_F(ServiceBoundsTest, HalfSentRequestsHoldNoOneOutForLong) {
  std::vector<std::unique_ptr<ServiceProcess>> services = startThree();
  std::vector<std::unique_ptr<testsupport::RawPeers>> floods;
  for (const auto& service : services) {
    // More than the 256 connections a service holds: the last ones wait in the backlog.
    const uint16_t port = portOf(*service);
    floods.push_back(std::make_unique<testsupport::RawPeers>(
        port, 300, testsupport::RawPeers::halfRequest("127.0.0.1:" + std::to_string(port))));
  }
  const auto began = std::chrono::steady_clock::now();
  for (const auto& service : services) {
    SCOPED_TRACE(service->baseURL());
    auto answer = httpRequest("GET", service->baseURL() + "/no-such-resource");
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - began;
    EXPECT_TRUE(answer.status >= 200 && answer.status < 500) << answer.status << answer.body;
    EXPECT_LT(waited.count(), 10.0) << "seconds until a normal request was answered";
  }
  for (const auto& flood : floods) {
    EXPECT_EQ(flood->waitClosed(std::chrono::seconds(40)), 300u) << "closed by the service";
  }
}

// What a JSON body can make a parser build is measured on the text first: a body of brackets
// or of tiny values, however many come at once, costs the service about its bytes.
TEST_F(ServiceBoundsTest, JsonBodiesAreBoundedBeforeTheyAreParsed) {
  auto fill = [](std::string head, const std::string& unit, size_t bytes) {
    head.reserve(bytes + unit.size());
    while (head.size() < bytes) head += unit;
    return head;
  };
  const std::string brackets(1 << 20, '[');
  const std::string zeros = fill("[", "0,", 1 << 20);
  const std::string deepControl = fill("{\"path\":\"/a\",\"x\":", "[", 15 << 20);
  const std::string wideControl = fill("{\"path\":\"/a\",\"x\":[", "0,", 15 << 20);
  struct Case {
    const char* name;
    bool measurement;  // else the link service
    const char* method;
    const char* path;
    const std::string& body;
    int atOnce;
    long maxGrowthMiB;
  };
  const Case cases[] = {
      {"1 MiB of [ to /v1/shortLinks, 16 at once", false, "POST", "/v1/shortLinks", brackets, 16,
       30},
      {"1 MiB of 0, to /v1/shortLinks, 16 at once", false, "POST", "/v1/shortLinks", zeros, 16, 30},
      {"1 MiB of [ to /v1/login and /v1/reopenAttribution", false, "POST", "/v1/login", brackets, 4,
       30},
      {"a 15 MiB script of [", true, "POST", "/_control/script", deepControl, 1, 100},
      {"a 15 MiB script of 0,", true, "POST", "/_control/script", wideControl, 1, 100},
      {"a 15 MiB configuration of [", true, "PUT", "/_control/config/app", deepControl, 1, 100},
      {"a 15 MiB SKAdNetwork answer of 0,", true, "PUT", "/_control/skan", wideControl, 1, 100},
  };
  std::optional<bool> running;  // which service runs: the measurement one or the link one
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (running != c.measurement) {
      service_.reset();
      if (c.measurement) {
        startMeasurement();
      } else {
        start(KVL_TEST_LINK_SERVICE, {});
      }
      running = c.measurement;
    }
    ASSERT_EQ(httpRequest("GET", url("/no-such-resource")).status, 404);
    const long before = rssMiB();
    std::vector<std::thread> peers;
    std::vector<long> statuses(static_cast<size_t>(c.atOnce));
    for (int i = 0; i < c.atOnce; ++i) {
      peers.emplace_back([&, i] {
        const char* path = c.path;
        if (!c.measurement && i % 2 == 1 && std::string(path) == "/v1/login") {
          path = "/v1/reopenAttribution";
        }
        statuses[static_cast<size_t>(i)] = httpRequest(c.method, url(path), {}, c.body).status;
      });
    }
    for (std::thread& peer : peers) peer.join();
    const long after = rssMiB();
    for (long status : statuses) EXPECT_EQ(status, 413);
    EXPECT_LT(after - before, c.maxGrowthMiB) << before << " MiB before, " << after << " after";
  }
}

// Answers that peers ask for and never read stay in the service until written: they are
// bounded in all, however many such peers come, and a page of uploads is bounded by bytes.
TEST_F(ServiceBoundsTest, AnswersPeersDoNotReadHoldBoundedMemoryInAll) {
  startMeasurement();
  // 12 uploads of 1 MiB each: one bundle whose platform text is 1 MiB.
  const std::string upload = field(1, field(8, std::string(1 << 20, 'p')));
  for (int i = 0; i < 12; ++i)
    ASSERT_EQ(httpRequest("POST", url("/a"), {}, upload, kUploadTimeoutSeconds).status, 204);
  auto page = httpRequest("GET", url("/uploads.json"));
  ASSERT_EQ(page.status, 200);
  EXPECT_LT(page.body.size(), 6u << 20) << "a page is bounded by bytes";
  EXPECT_NE(page.header("X-More-Before"), "") << "and names where the next one starts";
  EXPECT_NE(page.body.find("\"id\":12,"), std::string::npos);

  const long before = rssMiB();
  // 64 peers ask for the page and read its status line only.
  testsupport::RawPeers peers(port(), 64,
                              "GET /uploads.json HTTP/1.1\r\nHost: " + hostHeader() +
                                  "\r\nX-Service-Token: " + std::getenv("KVL_SERVICE_TOKEN") +
                                  "\r\n\r\n");
  EXPECT_EQ(peers.readStartOfEach(12), 64u) << "every peer had the start of an answer";
  const long after = rssMiB();
  EXPECT_LT(after - before, 100) << before << " MiB before, " << after << " MiB after";
  EXPECT_EQ(httpRequest("GET", url("/uploads.json?limit=1")).status, 200);
}

// A peer that sends a whole header section and none of its body holds its place only as long
// as a body may stall (5 s), not the minute a whole body may take. At default settings.
TEST_F(ServiceBoundsTest, StalledBodiesHoldNoOneOutForLong) {
  std::vector<std::unique_ptr<ServiceProcess>> services = startThree();
  std::vector<std::unique_ptr<testsupport::RawPeers>> floods;
  for (const auto& service : services) {
    const std::string host = "127.0.0.1:" + std::to_string(portOf(*service));
    floods.push_back(std::make_unique<testsupport::RawPeers>(
        portOf(*service), 300,
        "POST /no-such-resource HTTP/1.1\r\nHost: " + host +
            "\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n"));
  }
  expectAnsweredWithin(services, std::chrono::steady_clock::now(), 10.0);
  for (const auto& flood : floods) {
    EXPECT_EQ(flood->waitClosed(std::chrono::seconds(40)), 300u) << "closed by the service";
  }
}

// Peers that each send a small request more often than the header deadline keep their
// connections for as long as they like: when the service is full, the one that has waited
// longest for its next request gives way to a new peer. At default settings.
TEST_F(ServiceBoundsTest, KeepAlivePeersGiveWayToANewOne) {
  std::vector<std::unique_ptr<ServiceProcess>> services = startThree();
  std::vector<std::unique_ptr<testsupport::KeepAlivePeers>> peers;
  for (const auto& service : services) {
    const std::string host = "127.0.0.1:" + std::to_string(portOf(*service));
    peers.push_back(std::make_unique<testsupport::KeepAlivePeers>(
        portOf(*service), 300, "GET /no-such-resource HTTP/1.1\r\nHost: " + host + "\r\n\r\n",
        std::chrono::seconds(2), std::chrono::seconds(40)));
  }
  expectAnsweredWithin(services, std::chrono::steady_clock::now(), 10.0);
  for (const auto& flood : peers) EXPECT_GT(flood->closedByServer(), 0u);
}

// Peers that send a large body but its last bytes make a service hold what it has read of them:
// the bodies held at once are bounded across all connections (and, in the measurement service,
// kept on disk past 256 KiB each), so the service's memory stays flat however many such peers
// come, a normal request is answered while they hold them, and what the library sends is still
// taken.
TEST_F(ServiceBoundsTest, BodiesStalledOnTheirLastByteHoldBoundedMemoryInAll) {
  struct Case {
    const char* name;
    bool measurement;  // else psm-server
    const char* path;
    size_t length;  // the body limit there
    size_t peers;
    bool chunked = false;  // one chunk of length - 1 bytes, whose size no header announces
  };
  const Case cases[] = {
      // Every byte they send is read (onto disk): 96 MiB each time, half as much again as all
      // the bodies the service once held in memory.
      {"measurement-service, uploads of 16 MiB", true, "/a", 16u << 20, 6},
      {"measurement-service, chunked uploads of 16 MiB", true, "/a", 16u << 20, 6, true},
      {"psm-server, 8 MiB", false, "/odm/psm", 8u << 20, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_.reset();
    if (c.measurement) {
      startMeasurement();
    } else {
      start(KVL_TEST_PSM_SERVER,
            {"--members", std::string(KVL_SOURCE_DIR) + "/tools/psm-server/sample-members.json"});
    }
    const long before = rssMiB();
    long most = before;
    {
      // The last 16 bytes held back, one of them sent every 4 s: the service holds what each
      // peer sent until the whole-body limit (60 s), not only until a body may stall (5 s).
      testsupport::BodyStallPeers peers(
          port(), c.peers,
          std::string("POST ") + c.path + " HTTP/1.1\r\nHost: " + hostHeader() +
              "\r\nContent-Type: application/x-protobuf\r\n" +
              (c.chunked ? "Transfer-Encoding: chunked\r\n\r\n" + hex(c.length - 1) + "\r\n"
                         : "Content-Length: " + std::to_string(c.length) + "\r\n\r\n"),
          c.length, 0, 16, std::chrono::seconds(4));
      // Until every peer has sent all it sends at once or was refused (which the service does
      // within its deadlines), reading the service's memory as it goes.
      while (!peers.settled()) {
        most = std::max(most, rssMiB());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      most = std::max(most, rssMiB());
      ASSERT_LT(peers.cut(), c.peers) << "some peers hold their bodies";
      EXPECT_EQ(peers.dropped(), 0u) << "only peers waiting for room were turned away";
      // A normal request is answered while they hold them: none of them is cut. (A peer still
      // waiting for room, its body all sent into the kernel's buffers, may be turned away
      // meanwhile, when its wait runs out.)
      EXPECT_NE(httpRequest("GET", url("/no-such-resource"), {}, "", 60).status, 0);
      EXPECT_EQ(peers.dropped(), 0u) << "the peers holding bodies were cut before the answer";
      most = std::max(most, rssMiB());
    }
    EXPECT_LT(most, 300) << before << " MiB before";
    if (c.measurement) {
      EXPECT_LT(most - before, 64) << before << " MiB before: the bodies held are on disk";
    }
    if (c.measurement && !c.chunked) {
      // Four batches of the most the library sends, at once, are all taken: 10,000 bundles
      // in 10 MiB.
      const std::string largest = largestBatch();
      ASSERT_LE(largest.size(), 10485760u);
      ASSERT_GT(largest.size(), 10400000u);
      EXPECT_EQ(uploadAtOnce(4, largest), std::vector<long>(4, 204));
      EXPECT_EQ(sqlite("SELECT count(*) FROM uploads WHERE decoded = 1"), "4\n");
    }
  }
}

// Peers that hold large bodies, each within every rule on how a body must arrive, do not keep
// out what the library sends: uploads of the sizes it sends, three and then four at once, sent
// while the peers hold their bodies, are all taken and stored (a 503 would make it back off for
// hours), and what the peers hold past 256 KiB a body is on disk, not in the service's memory.
TEST_F(ServiceBoundsTest, SlowBodiesLeaveRoomForWhatTheLibrarySends) {
  expectUploadsTakenBeside([&] { return slowUploaders(4, 200u << 10); });
}

// Four peers that send 16 MiB but 64 bytes at once and then a byte every 4 s keep every rule
// until the whole-body limit: in memory they held the whole 64 MiB that bodies could, and every
// upload beside them waited and got 503. What they hold is in files of their own, unnamed, in
// the data folder: gone with the connection, and after a kill -9 too.
TEST_F(ServiceBoundsTest, BodiesSentUpFrontLeaveRoomForWhatTheLibrarySends) {
  expectUploadsTakenBeside(
      [&] { return upFrontUploaders(4); },
      [&] {
        EXPECT_GE(unnamedFilesInData(), 4u) << "a file of its own for each body held";
        ::kill(service_->pid(), SIGKILL);
        service_->stop();
        start(KVL_TEST_MEASUREMENT_SERVICE, {"--data", data_.string()});
        uintmax_t kept = 0;
        for (const auto& entry : std::filesystem::directory_iterator(data_)) {
          const std::string name = entry.path().filename().string();
          if (entry.is_regular_file() && name.rfind("uploads.sqlite", 0) != 0) {
            kept += entry.file_size();
          }
        }
        EXPECT_LT(kept, 1u << 20) << "bytes in the data folder besides the store after a kill -9";
      });
}

// 64 such peers, each taking a mebibyte at a time of the bodies' room, do not refuse an upload.
TEST_F(ServiceBoundsTest, SlowBodiesFillingTheBudgetHoldAnUploadBackButDoNotRefuseIt) {
  startMeasurement();
  std::unique_ptr<testsupport::BodyStallPeers> slow = slowUploaders(64, 100u << 10);
  EXPECT_EQ(httpRequest("POST", url("/a"), {}, usualBatch(), kUploadTimeoutSeconds).status, 204);
}

// A batch of the most events the library may send, all tiny, is decoded and stored an event at
// a time: it costs the service the text of its JSON, not hundreds of MiB of decoded events, and
// what several at once took is handed back.
TEST_F(ServiceBoundsTest, AnUploadOfAMillionTinyEventsTakesBoundedMemory) {
  startMeasurement();
  ASSERT_EQ(httpRequest("GET", url("/no-such-resource")).status, 404);
  const long before = rssMiB();
  const std::string upload = batch(1, 999000);
  ASSERT_EQ(httpRequest("POST", url("/a"), {}, upload, kUploadTimeoutSeconds).status, 204);
  // Decoded whole, the bundle took 800 MiB in a plain build and some 170 MiB more than this in
  // the sanitizers' (whose allocator counts differently).
  EXPECT_LT(peakRssMiB() - before, 100) << before << " MiB before; at most, one upload";
  EXPECT_LT(peakRssMiB(), 300) << "MiB at most, one upload";
  // Four at once, smaller: what each handler thread took is handed back. They are stored one
  // at a time, so the last is answered after the three others.
  const std::string smaller = batch(1, 200000);
  EXPECT_EQ(uploadAtOnce(4, smaller), std::vector<long>(4, 204));
  EXPECT_LT(peakRssMiB() - before, 100) << before << " MiB before; at most, four at once";
  EXPECT_LT(rssMiB(), 200) << "MiB after";
  EXPECT_EQ(sqlite("SELECT count(*), sum(event_count) FROM bundles"), "5|1799000\n");
}

// A control character is six bytes of JSON text ("\u0001"): a batch of ten strings of a
// million of them, in a bundle or as the values of an event's parameters, is 10 MiB on the wire
// and would be 62 MB of JSON, which cost one upload 300 MiB and four at once over 400. Such a
// text is not kept (the bundle stays in the upload's body, as received): each upload is taken,
// stored and costs about what the same bytes of plain letters cost. Each case on a fresh service,
// whose peak (VmHWM) is its own.
TEST_F(ServiceBoundsTest, UploadsWhoseJsonIsManyTimesTheirBytesTakeBoundedMemory) {
  using testsupport::lengthDelimited;
  auto strings = [](uint32_t field, char byte) {
    std::string out;
    for (int i = 0; i < 10; ++i) out += lengthDelimited(field, std::string(1040000, byte));
    return out;
  };
  // MeasurementBundle.redacted_fields (64); Event.params (1) of EventParam.string_value (2).
  const std::string inBundle = lengthDelimited(1, strings(64, '\x01'));
  std::string params;
  for (int i = 0; i < 10; ++i) {
    params += lengthDelimited(
        1, lengthDelimited(1, "p") + lengthDelimited(2, std::string(1040000, '\x01')));
  }
  const std::string inEvent =
      lengthDelimited(1, lengthDelimited(2, params + lengthDelimited(2, "e")));
  const std::string plain = lengthDelimited(1, strings(64, 'p'));
  struct Case {
    const char* name;
    const std::string& upload;
    size_t atOnce;
    long maxPeakMiB;
    bool jsonKept;
  };
  const Case cases[] = {
      {"ten strings of \\x01 in a bundle, alone", inBundle, 1, 200, false},
      {"ten strings of \\x01 in a bundle, four at once", inBundle, 4, 300, false},
      {"ten strings of \\x01 as an event's parameters, alone", inEvent, 1, 200, false},
      {"ten strings of \\x01 as an event's parameters, four at once", inEvent, 4, 300, false},
      // A guard: the same bytes of plain letters are kept whole, as JSON of about their size.
      {"ten strings of letters in a bundle, four at once", plain, 4, 300, true},
  };
  // Read by the sqlite3 tool from its standard input, so that the query may hold quotes.
  auto sqliteStdin = [&](const std::string& query) {
    return testsupport::runCommand("sqlite3 " + (data_ / "uploads.sqlite").string(), query + ";");
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service_.reset();
    startMeasurement();
    EXPECT_EQ(uploadAtOnce(c.atOnce, c.upload), std::vector<long>(c.atOnce, 204));
    EXPECT_LT(peakRssMiB(), c.maxPeakMiB) << "MiB at most";
    EXPECT_EQ(sqlite("SELECT count(*) FROM uploads WHERE decoded = 1 AND length(body) = " +
                     std::to_string(c.upload.size())),
              std::to_string(c.atOnce) + "\n");
    if (c.jsonKept) {
      EXPECT_EQ(sqlite("SELECT DISTINCT length(bundle_json) FROM bundles"), "10400051\n");
      continue;
    }
    EXPECT_EQ(sqliteStdin("SELECT count(*) FROM bundles WHERE length(bundle_json) < 1000 AND"
                          " json_extract(bundle_json, '$._not_kept') LIKE '%62400%bytes%body%'"),
              std::to_string(c.atOnce) + "\n");
    if (&c.upload == &inEvent) {
      EXPECT_EQ(sqliteStdin("SELECT count(*) FROM events WHERE name = 'e' AND length(params_json) <"
                            " 1000 AND json_extract(params_json, '$._not_kept') LIKE '%62400%'"),
                std::to_string(c.atOnce) + "\n");
    }
    const auto page = httpRequest("GET", url("/"));
    EXPECT_NE(page.body.find("not kept"), std::string::npos) << "the page says so";
  }
}

}  // namespace
