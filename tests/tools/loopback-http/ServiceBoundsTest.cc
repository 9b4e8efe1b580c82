// What a peer can make the measurement and link services hold or spend, measured on the real
// processes: the service's own resident memory (from /proc, not its bookkeeping), the rows its
// store gained (read by the sqlite3 tool) and the processor time one request takes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

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

  long rssMiB() const {
    std::ifstream status("/proc/" + std::to_string(service_->pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6)) / 1024;
    }
    return -1;
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
    auto answer = httpRequest("POST", url("/a"), {"Content-Type: application/x-protobuf"}, c.body);
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
  for (int i = 0; i < 20; ++i) ASSERT_EQ(httpRequest("POST", url("/a"), {}, body).status, 400);
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
    ASSERT_EQ(httpRequest("POST", url("/a"), {}, batch(1, 1)).status, 204);
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
    EXPECT_EQ(httpRequest("POST", url(path), {}, body).status, 400) << path;
  }
  EXPECT_LT(cpuSeconds() - began, 5.0) << "seconds of processor time";
  EXPECT_LT(rssMiB() - before, 64) << before << " MiB before";
}

}  // namespace
