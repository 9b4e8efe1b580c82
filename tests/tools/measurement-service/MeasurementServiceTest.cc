// The local measurement service as its own process, checked with tools nobody here wrote:
// protoc makes the uploads and configurations, gzip compresses, sqlite3 reads the store.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ProtobufWire.h"
#include "tests/support/RawPeers.h"
#include "tests/support/ServiceProcess.h"

namespace {

using testsupport::httpRequest;
using testsupport::key;
using testsupport::lengthDelimited;
using testsupport::ServiceProcess;
using testsupport::varint;

// The bound of the uploads page's whole text (tools/loopback-http/README.md).
constexpr size_t kPageBound = size_t{4} << 20;

std::string run(const std::string& command, const std::string& input = "") {
  std::filesystem::path in =
      std::filesystem::temp_directory_path() / ("kvl-ms-in-" + std::to_string(::getpid()));
  std::ofstream(in, std::ios::binary) << input;
  std::string output;
  FILE* pipe = ::popen((command + " < " + in.string()).c_str(), "r");
  char buffer[4096];
  size_t n;
  while (pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  int status = pipe ? ::pclose(pipe) : -1;
  std::filesystem::remove(in);
  EXPECT_EQ(status, 0) << command;
  return output;
}

std::string protocEncode(const std::string& message, const std::string& text) {
  return run(std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR + " --encode=apm." +
                 message + " " + KVL_TEST_PROTO_DIR + "/measurement_upload.proto " +
                 KVL_TEST_PROTO_DIR + "/measurement_config.proto",
             text);
}

const char* kBatch = R"(bundles {
  protocol_version: 1 platform: "ios" app_id: "1:42:ios:abc" app_instance_id: "instance-1"
  bundle_index: 2 delivery_index: 1 start_timestamp_millis: 1000 end_timestamp_millis: 2000
  events { name: "_f" timestamp_millis: 1000 params { name: "_o" string_value: "auto" } }
  events { name: "purchase" timestamp_millis: 2000 params { name: "value" int_value: 3 } }
})";

// Uploads written on the wire by hand, for the megabytes of names that protoc would take long
// to encode: an event, and a batch of one bundle (fields of MeasurementBundle and Event).
std::string eventWire(const std::string& name, const std::string& params = "") {
  return lengthDelimited(2, params + lengthDelimited(2, name) + key(3, 0) + varint(1000));
}
std::string bundleWire(const std::string& appID, uint64_t index, const std::string& events) {
  return lengthDelimited(
      1, key(1, 0) + varint(1) + events + lengthDelimited(14, appID) + key(23, 0) + varint(index));
}

// `bundles` bundles of `events` events each.
std::string batchWire(int bundles, const std::string& appID, int events, const std::string& name,
                      const std::string& params = "") {
  std::string batch;
  for (int b = 0; b < bundles; ++b) {
    std::string all;
    for (int e = 0; e < events; ++e) all += eventWire(name, params);
    batch += bundleWire(appID, static_cast<uint64_t>(b), all);
  }
  return batch;
}

std::string htmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '"') {
      out += "&quot;";
    } else {
      out += c;
    }
  }
  return out;
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

class MeasurementServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data = std::filesystem::temp_directory_path() /
           ("kvl-ms-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(data);
    start();
  }
  void TearDown() override {
    service.reset();
    std::filesystem::remove_all(data);
  }
  void start() {
    service = std::make_unique<ServiceProcess>(
        KVL_TEST_SERVICE, std::vector<std::string>{"--port", "0", "--data", data.string()});
  }
  std::string sql(const std::string& query) {
    return run("sqlite3 " + (data / "uploads.sqlite").string() + " \"" + query + "\"");
  }

  void upload(const std::string& batch) {
    ASSERT_EQ(httpRequest("POST", service->baseURL() + "/a", {}, batch).status, 204);
  }
  // The uploads page from "/" along its "Older uploads" links, each page checked: 200, within
  // the page's bound, and leading only to older uploads than it showed.
  std::vector<std::string> walkPages() {
    std::vector<std::string> pages;
    std::string path = "/";
    const std::string link = "<a href=\"/?before=";
    while (!path.empty() && pages.size() < 100) {
      auto page = httpRequest("GET", service->baseURL() + path, {}, "", 120);
      EXPECT_EQ(page.status, 200) << path;
      EXPECT_LE(page.body.size(), kPageBound) << path;
      path.clear();
      if (size_t at = page.body.find(link); at != std::string::npos) {
        at += link.find('/');
        path = page.body.substr(at, page.body.find('"', at) - at);
      }
      pages.push_back(std::move(page.body));
    }
    return pages;
  }
  // The ids of the uploads the pages show, in order.
  static std::string shownUploads(const std::vector<std::string>& pages) {
    std::string ids;
    for (const std::string& page : pages) {
      for (size_t at = page.find("<h2>Upload "); at != std::string::npos;
           at = page.find("<h2>Upload ", at + 1)) {
        ids += page.substr(at + 11, page.find(' ', at + 11) - at - 11) + "\n";
      }
    }
    return ids;
  }
  // Every upload stored is shown once, newest first, on the pages from "/".
  void expectEveryUploadShown(const std::vector<std::string>& pages) {
    EXPECT_EQ(shownUploads(pages), sql("SELECT id FROM uploads ORDER BY id DESC"));
  }

  std::filesystem::path data;
  std::unique_ptr<ServiceProcess> service;
};

TEST_F(MeasurementServiceTest, AnswersConfigurationWithValidatorsAndConditionalRequests) {
  std::string config = protocEncode("MeasurementConfig", R"(version: 7 app_id: "1:42:ios:abc")");
  ASSERT_EQ(
      httpRequest("PUT", service->baseURL() + "/_control/config/1:42:ios:abc", {}, config).status,
      204);
  std::string url = service->baseURL() +
                    "/config/app/1%3A42%3Aios%3Aabc?platform=ios&runtime_version=1&rzq_version=2";
  auto first = httpRequest("GET", url);
  ASSERT_EQ(first.status, 200);
  EXPECT_EQ(first.body, config);
  ASSERT_FALSE(first.header("ETag").empty());
  ASSERT_FALSE(first.header("Last-Modified").empty());

  struct Case {
    std::vector<std::string> headers;
    long status;
  } cases[] = {
      {{"If-None-Match: " + first.header("ETag")}, 304},
      {{"If-None-Match: \"other\""}, 200},
      {{"If-Modified-Since: " + first.header("Last-Modified")}, 304},
      {{"If-Modified-Since: Thu, 01 Jan 1970 00:00:00 GMT"}, 200},
      {{"If-Modified-Since: not a date"}, 200},
      // The entity tag decides alone when both are sent.
      {{"If-None-Match: \"other\"", "If-Modified-Since: " + first.header("Last-Modified")}, 200},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(httpRequest("GET", url, c.headers).status, c.status) << c.headers[0];
  }
  EXPECT_EQ(httpRequest("GET", service->baseURL() + "/config/app/unknown").status, 404);
  EXPECT_EQ(httpRequest("PUT", service->baseURL() + "/_control/config/x", {}, "{bad").status, 400);
}

TEST_F(MeasurementServiceTest, KeepsUploadsDecodedAndFlagsBundlesSentAgainAfterARestart) {
  std::string gzipped = run("gzip -c", protocEncode("MeasurementBatch", kBatch));
  auto first = httpRequest("POST", service->baseURL() + "/a", {}, gzipped);
  EXPECT_EQ(first.status, 204);
  EXPECT_EQ(first.header("X-Repeated-Bundles"), "");
  EXPECT_EQ(sql("SELECT name, timestamp_millis FROM events ORDER BY id"),
            "_f|1000\npurchase|2000\n");

  // The store outlives the process: a re-sent bundle is recognised by the next one.
  service.reset();
  start();
  auto again = httpRequest("POST", service->baseURL() + "/a", {"Content-Encoding: gzip"}, gzipped);
  EXPECT_EQ(again.status, 204);
  EXPECT_EQ(again.header("X-Repeated-Bundles"), "1");
  EXPECT_EQ(sql("SELECT app_id, bundle_index, repeated FROM bundles ORDER BY id"),
            "1:42:ios:abc|2|0\n1:42:ios:abc|2|1\n");
  EXPECT_EQ(sql("PRAGMA integrity_check"), "ok\n");
  EXPECT_NE(httpRequest("GET", service->baseURL() + "/").body.find("purchase"), std::string::npos);
}

TEST_F(MeasurementServiceTest, KeepsWhatDoesNotDecodeAndAnswersScriptedStatuses) {
  EXPECT_EQ(httpRequest("POST", service->baseURL() + "/a", {}, "\x0a\xff").status, 400);
  EXPECT_EQ(httpRequest("POST", service->baseURL() + "/a", {}, "\x1f\x8bnot gzip").status, 400);
  EXPECT_EQ(sql("SELECT decoded, length(body) FROM uploads ORDER BY id"), "0|2\n0|10\n");

  ASSERT_EQ(httpRequest("POST", service->baseURL() + "/_control/script", {},
                        R"({"path": "/a", "status": 503, "times": 1})")
                .status,
            204);
  std::string batch = protocEncode("MeasurementBatch", kBatch);
  EXPECT_EQ(httpRequest("POST", service->baseURL() + "/a", {}, batch).status, 503);
  EXPECT_EQ(httpRequest("POST", service->baseURL() + "/a", {}, batch).status, 204);
  EXPECT_EQ(service->stop(), 0);  // SIGTERM is an orderly exit
}

// Eight peers upload at once, valid batches and malformed ones, while half-open peers fill
// the connection cap. The service decodes on several threads: each malformed upload's answer
// names its own faulty bundle with exactly its one decoder line, and the service stays up and
// answers (a decode that swapped the process-wide log sink crashed it here, or mixed the lines
// of other uploads into an answer).
TEST_F(MeasurementServiceTest, ConcurrentUploadsEachAnswerTheirOwnFault) {
  service.reset();
  service = std::make_unique<ServiceProcess>(
      KVL_TEST_SERVICE,
      std::vector<std::string>{"--port", "0", "--data", data.string(), "--max-connections", "4",
                               "--header-deadline-ms", "300"});
  const std::string valid = protocEncode("MeasurementBatch", kBatch);
  // The batch's bundle as its own message: the text between "bundles {" and the last "}".
  const std::string text = kBatch;
  const std::string bundle = protocEncode(
      "MeasurementBundle", text.substr(text.find('{') + 1, text.rfind('}') - text.find('{') - 1));
  ASSERT_EQ(valid, testsupport::lengthDelimited(1, bundle));
  struct Fault {
    uint32_t tag;
    const char* field;
  };
  // A string field of MeasurementBundle sent as a number: each peer its own.
  const Fault faults[] = {{8, "platform"},        {9, "os_version"},
                          {10, "device_model"},   {11, "user_default_language"},
                          {13, "install_source"}, {14, "app_id"},
                          {16, "app_version"},    {21, "app_instance_id"}};
  constexpr int kRounds = 25;
  std::atomic<bool> go{false};
  std::vector<std::string> failures(std::size(faults));
  std::vector<std::thread> peers;
  for (size_t p = 0; p < std::size(faults); ++p) {
    peers.emplace_back([&, p] {
      std::string malformed;
      for (size_t i = 0; i < p; ++i) malformed += testsupport::lengthDelimited(1, bundle);
      malformed += testsupport::lengthDelimited(
          1, testsupport::key(faults[p].tag, 0) + testsupport::varint(1));
      const std::string expected =
          "cannot decode: bundles[" + std::to_string(p) +
          "]: cannot decode MeasurementBundle: <ERROR> MeasurementBundle decoder failed: wrong "
          "wire type\n";
      while (!go) std::this_thread::yield();
      for (int round = 0; round < kRounds && failures[p].empty(); ++round) {
        auto good = httpRequest("POST", service->baseURL() + "/a", {}, valid);
        auto bad = httpRequest("POST", service->baseURL() + "/a", {}, malformed);
        if (good.status != 204) failures[p] = "valid upload: " + std::to_string(good.status);
        if (bad.status != 400 || bad.body != expected) {
          failures[p] = "malformed upload: " + std::to_string(bad.status) + " " + bad.body;
        }
      }
    });
  }
  go = true;
  {
    // Peers that send half a request hold every place for a while.
    testsupport::RawPeers halfOpen(static_cast<uint16_t>(std::stoi(service->baseURL().substr(
                                       service->baseURL().rfind(':') + 1))),
                                   8, testsupport::RawPeers::halfRequest("127.0.0.1"));
    for (std::thread& peer : peers) peer.join();
  }
  for (size_t p = 0; p < std::size(faults); ++p) EXPECT_EQ(failures[p], "") << faults[p].field;
  EXPECT_EQ(::kill(service->pid(), 0), 0) << "still running";
  EXPECT_EQ(httpRequest("GET", service->baseURL() + "/storekit/products").status, 200);
  EXPECT_EQ(sql("SELECT decoded, count(*) FROM uploads GROUP BY decoded ORDER BY decoded"),
            "0|" + std::to_string(kRounds * std::size(faults)) + "\n1|" +
                std::to_string(kRounds * std::size(faults)) + "\n");
  EXPECT_EQ(service->stop(), 0) << "an orderly exit, no sanitizer report";
}

// Uploads carry app instance ids and user ids: the store, its journal, the answer file and the
// control file are the user's only, and so is the folder, made new or narrowed when it was
// there from before (with a umask that would let everyone read).
TEST_F(MeasurementServiceTest, TheDataFolderAndItsFilesAreTheUsersOnly) {
  auto check = [this] {
    ASSERT_EQ(
        httpRequest("POST", service->baseURL() + "/a", {}, protocEncode("MeasurementBatch", kBatch))
            .status,
        204);
    ASSERT_EQ(httpRequest("PUT", service->baseURL() + "/_control/experiments", {}, "{}").status,
              204);
    EXPECT_EQ(std::filesystem::status(data).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    std::vector<std::string> seen;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(data)) {
      const std::string name = entry.path().filename().string();
      seen.push_back(name);
      EXPECT_EQ(entry.status().permissions() & std::filesystem::perms::all,
                entry.is_directory()
                    ? std::filesystem::perms::owner_all
                    : std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
          << name;
    }
    for (const char* name :
         {"uploads.sqlite", "uploads.sqlite-wal", "control.json", "experiments.json"}) {
      EXPECT_NE(std::find(seen.begin(), seen.end(), name), seen.end()) << name;
    }
  };
  const mode_t before = ::umask(022);
  service.reset();
  std::filesystem::remove_all(data);
  start();
  check();
  // The folder and store of an older run, readable by all, are narrowed at the next start.
  service.reset();
  std::filesystem::permissions(
      data, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                std::filesystem::perms::others_exec);
  std::filesystem::permissions(data / "uploads.sqlite", std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  start();
  check();
  ::umask(before);
}

// What arrived is shown to its owner only: a browser that opened the address the service gives
// (a one-time secret traded for a session cookie, and a key the page holds and sends), or a
// request with the control token. Any other local user, or a request without either, gets 403;
// the session cookie alone, which browsers send to every port of 127.0.0.1, opens no data.
TEST_F(MeasurementServiceTest, UploadsAreShownOnlyToTheirOwner) {
  ASSERT_EQ(
      httpRequest("POST", service->baseURL() + "/a", {}, protocEncode("MeasurementBatch", kBatch))
          .status,
      204);
  // An experiment request whose bundle id ("com.example.kept") the experiments page shows.
  const std::string bundleID = "com.example.kept";
  ASSERT_EQ(httpRequest("POST", service->baseURL() + "/sdk-exp", {},
                        std::string{0x0a, static_cast<char>(bundleID.size() + 2), 0x2a,
                                    static_cast<char>(bundleID.size())} +
                            bundleID)
                .status,
            200);
  const std::string none = "X-Service-Token:";  // sends no token
  const std::string name =
      "uploads-session-" + service->baseURL().substr(service->baseURL().rfind(':') + 1);
  const std::vector<std::string> pages = {"/", "/uploads.json", "/uploads.json?limit=1",
                                          "/?before=9", "/experiments"};
  auto showsData = [&](const std::string& body) {
    return body.find("instance-1") != std::string::npos || body.find(bundleID) != std::string::npos;
  };
  for (const std::string& path : pages) {
    SCOPED_TRACE(path);
    auto refused = httpRequest("GET", service->baseURL() + path, {none});
    EXPECT_EQ(refused.status, 403);
    EXPECT_FALSE(showsData(refused.body));
    EXPECT_EQ(httpRequest("GET", service->baseURL() + path,
                          {none, "Cookie: " + name + "=0123456789abcdef0123456789abcdef"})
                  .status,
              403);
    auto withToken = httpRequest("GET", service->baseURL() + path);
    EXPECT_EQ(withToken.status, 200);
    EXPECT_TRUE(showsData(withToken.body)) << "with the token";
  }
  EXPECT_EQ(httpRequest("GET", service->baseURL() + "/storekit/products", {none}).status, 200)
      << "what the library reads stays open";

  // Another local user (where this test may switch users: as root in CI, but not as the root of
  // a user namespace that maps no other user, where runuser fails and curl never runs) reads
  // nothing, with or without a guessed secret, neither through the service nor from the files.
  const bool switchable =
      ::getuid() == 0 &&
      testsupport::runCommand("runuser -u nobody -- curl --version >/dev/null 2>&1 && echo ok") ==
          "ok\n";
  if (::getuid() == 0 && !switchable) {
    std::printf("skip: the other-user rows (runuser cannot run curl as nobody here)\n");
  }
  if (switchable) {
    auto asNobody = [](const std::string& command) {
      return testsupport::runCommand("runuser -u nobody -- " + command + " 2>/dev/null");
    };
    for (const std::string& path :
         {std::string("/"), std::string("/uploads.json"), "/?secret=" + std::string(32, '0'),
          std::string("/experiments")}) {
      EXPECT_EQ(
          asNobody("curl -s -o /dev/null -w '%{http_code}' '" + service->baseURL() + path + "'"),
          "403")
          << path;
    }
    EXPECT_EQ(asNobody("cat " + (data / "uploads.sqlite").string() + " | wc -c"), "0\n");
    EXPECT_EQ(asNobody("ls " + data.string() + " | wc -l"), "0\n");
  }

  // The owner's browser: the address's secret buys the session cookie once; its fragment holds
  // the key, which the browser never sends.
  auto address = httpRequest("POST", service->baseURL() + "/_control/page-url", {}, "");
  ASSERT_EQ(address.status, 200);
  const std::string prefix = "{\"url\":\"" + service->baseURL() + "/?secret=";
  ASSERT_EQ(address.body.rfind(prefix, 0), 0u) << address.body;
  const std::string printed = address.body.substr(8, address.body.find('"', 8) - 8);
  const size_t fragment = printed.find("#key=");
  ASSERT_NE(fragment, std::string::npos) << printed;
  const std::string pageURL = printed.substr(0, fragment);
  const std::string key = printed.substr(fragment + 5);
  ASSERT_EQ(key.size(), 32u) << printed;
  auto opened = httpRequest("GET", pageURL, {none});
  ASSERT_EQ(opened.status, 303);
  EXPECT_EQ(opened.header("Location"), "/");
  const std::string setCookie = opened.header("Set-Cookie");
  ASSERT_EQ(setCookie.rfind(name + "=", 0), 0u) << setCookie;
  EXPECT_NE(setCookie.find("; HttpOnly"), std::string::npos) << setCookie;
  EXPECT_NE(setCookie.find("; SameSite=Strict"), std::string::npos) << setCookie;
  const std::string cookie = "Cookie: other=1; " + setCookie.substr(0, setCookie.find(';'));
  for (const std::string& path : pages) {
    SCOPED_TRACE(path);
    auto cookieOnly = httpRequest("GET", service->baseURL() + path, {none, cookie});
    EXPECT_EQ(cookieOnly.status, 200) << "the page's script";
    EXPECT_FALSE(showsData(cookieOnly.body)) << cookieOnly.body;
    EXPECT_EQ(cookieOnly.header("Cache-Control"), "no-store");
    EXPECT_EQ(httpRequest("GET", service->baseURL() + path,
                          {none, cookie, "X-Page-Key: " + std::string(32, '0')})
                  .status,
              403)
        << "a made-up key";
    EXPECT_EQ(httpRequest("GET", service->baseURL() + path, {none, "X-Page-Key: " + key}).status,
              403)
        << "the key without the session";
    auto owner =
        httpRequest("GET", service->baseURL() + path, {none, cookie, "X-Page-Key: " + key});
    EXPECT_EQ(owner.status, 200);
    EXPECT_TRUE(showsData(owner.body)) << owner.body;
  }
  EXPECT_EQ(httpRequest("GET", pageURL, {none}).status, 403) << "a secret opens once";
}

// An ordinary upload's page: the bundle's JSON indented as a JSON library writes it, names and
// app ids whole up to 256 characters; a longer one shows its first 256 and its length.
TEST_F(MeasurementServiceTest, TheUploadsPageShowsAnOrdinaryUploadWhole) {
  const std::string batch = protocEncode("MeasurementBatch", kBatch);
  upload(batch);
  const std::string json = sql("SELECT bundle_json FROM bundles");
  const std::string expected =
      "<!doctype html><meta charset=utf-8><title>Measurement service</title>"
      "<h1>Uploads received</h1><p>Newest first; reload to update. "
      "<a href=\"/uploads.json\">JSON</a> <a href=\"/experiments\">Experiment requests</a></p>"
      "<h2>Upload 1 (" +
      std::to_string(batch.size()) +
      " bytes)</h2><details><summary>app 1:42:ios:abc, bundle index 2, 2 events: _f purchase "
      "</summary><pre>" +
      htmlEscaped(nlohmann::ordered_json::parse(json).dump(2)) + "</pre></details>";
  EXPECT_EQ(httpRequest("GET", service->baseURL() + "/").body, expected);

  const std::string accents = [] {
    std::string text;
    for (int i = 0; i < 300; ++i) text += "\u00e9";
    return text;
  }();
  upload(bundleWire(
      std::string(256, 'a'), 1,
      eventWire(std::string(256, 'n')) + eventWire(std::string(257, 'm')) + eventWire(accents)));
  const std::string page = httpRequest("GET", service->baseURL() + "/").body;
  EXPECT_NE(page.find("app " + std::string(256, 'a') +
                      ", bundle index 1, 3 events: " + std::string(256, 'n') + " " +
                      std::string(256, 'm') + "\u2026 (257 characters) " + accents.substr(0, 512) +
                      "\u2026 (300 characters) </summary>"),
            std::string::npos)
      << page;
}

// SQLite's own text functions stop at a NUL: a name or app id is counted and cut by its bytes, a
// NUL shown as "\u2400" and counted as one character, so that what follows a NUL is shown as far
// as the bound goes and a text that goes on is never shown as whole.
TEST_F(MeasurementServiceTest, TheUploadsPageShowsWhatFollowsANul) {
  const std::string nul(1, '\0');
  const std::string mark = "\u2400";
  auto accents = [](size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += "\u00e9";
    return text;
  };
  struct Case {
    const char* name;
    std::string appID;
    std::string eventName;
    std::string shown;
  } cases[] = {
      {"an app id with a NUL before 100,000 letters",
       "1:42:ios:abc" + nul + std::string(100000, 'x'), "e",
       "app 1:42:ios:abc" + mark + std::string(243, 'x') +
           "\u2026 (100,013 characters), bundle index 0, 1 event: e </summary>"},
      {"a name with a NUL before 1,000,000 '<'", "app",
       "purchase" + nul + std::string(1000000, '<'),
       "1 event: purchase" + mark + htmlEscaped(std::string(247, '<')) +
           "\u2026 (1,000,009 characters) </summary>"},
      {"a name of a NUL and 300 letters", "app", nul + std::string(300, 'y'),
       "1 event: " + mark + std::string(255, 'y') + "\u2026 (301 characters) </summary>"},
      {"a name of a NUL and 300 accents, cut between characters", "app", nul + accents(300),
       "1 event: " + mark + accents(255) + "\u2026 (301 characters) </summary>"},
      {"a short name with NULs, whole", "app", "a" + nul + "b" + nul,
       "1 event: a" + mark + "b" + mark + " </summary>"},
  };
  uint64_t index = 0;  // each bundle its own, so that none is taken for one sent again
  for (const Case& c : cases) upload(bundleWire(c.appID, index++, eventWire(c.eventName)));
  const std::string page = httpRequest("GET", service->baseURL() + "/").body;
  EXPECT_EQ(page.find(nul), std::string::npos) << "a NUL, which browsers drop, is never sent";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(page.find(c.shown), std::string::npos);
  }
}

// A bundle that the page reads whole (16 Ki characters) and that nests as the library's do (its
// items 9 deep) is shown indented, though its indented text, escaped, is over 64 KiB: an ordinary
// purchase bundle, and items of one-letter names and one-digit values. JSON as deep whose
// indentation costs more (empty parameters, nine deep) stays compact.
TEST_F(MeasurementServiceTest, TheUploadsPageIndentsABundleOfTheLibrarysShape) {
  const std::string head = R"(protocol_version: 1 platform: "ios" os_version: "17.4"
    device_model: "iPhone15,2" app_version: "1.0" user_default_language: "en-us"
    install_source: "manual" app_id: "1:42:ios:abc" app_instance_id: "instance-1" bundle_index: 2
    delivery_index: 1 start_timestamp_millis: 1000 end_timestamp_millis: 2000)";
  auto items = [](int events, int perEvent, const std::function<std::string(int, int)>& item) {
    std::string text;
    for (int e = 0; e < events; ++e) {
      text += " events { name: \"purchase\" timestamp_millis: 1000 params { name: \"items\"";
      for (int i = 0; i < perEvent; ++i) text += " param_value { " + item(e, i) + " }";
      text += " } }";
    }
    return text;
  };
  const std::string purchases = items(8, 10, [](int e, int i) {
    return "param_value { name: \"item_id\" string_value: \"sku-" + std::to_string(e) +
           std::to_string(i) +
           "\" } param_value { name: \"price\" int_value: 3 } param_value { name: \"quantity\" "
           "int_value: " +
           std::to_string(1 + i % 3) +
           " } param_value { name: \"index\" int_value: " + std::to_string(i) +
           " } param_value { name: \"discount\" int_value: 1 }";
  });
  const std::string letters = items(1, 104, [](int, int i) {
    std::string item;
    for (int k = 0; k < 5; ++k) {
      item += std::string(" param_value { name: \"") + static_cast<char>('a' + k) +
              "\" int_value: " + std::to_string((i + k) % 10) + " }";
    }
    return item;
  });
  const std::string empties = items(1, 1, [](int, int) {
    std::string item;
    for (int k = 0; k < 5000; ++k) item += "param_value { } ";
    return item;
  });
  struct Case {
    const char* name;
    std::string bundle;
    bool indented;
  } cases[] = {
      {"8 purchases of 10 items", head + purchases, true},
      {"items of one-letter names and one-digit values", head + letters, true},
      {"items of empty parameters, 9 deep", head + empties, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service.reset();
    std::filesystem::remove_all(data);
    start();
    upload(protocEncode("MeasurementBatch", "bundles { " + c.bundle + " }"));
    std::string json = sql("SELECT bundle_json FROM bundles");
    json.pop_back();  // the line's end
    const nlohmann::ordered_json value = nlohmann::ordered_json::parse(json);
    const std::string indented = htmlEscaped(value.dump(2));
    ASSERT_LE(json.size(), 16384u) << "read whole";
    ASSERT_GT(indented.size(), 64u << 10) << "indented, over 64 KiB escaped";
    const std::string page = httpRequest("GET", service->baseURL() + "/").body;
    EXPECT_NE(page.find("<pre>" + (c.indented ? indented : htmlEscaped(json)) + "</pre>"),
              std::string::npos)
        << json.size() << " characters, " << indented.size() << " bytes indented";
  }
}

// Each set of uploads below is within every bound of an upload, yet made the page many times
// its bound: names or app ids of 100,000 "<" (four bytes each, escaped), a parameter nested 90
// deep around 4,000 values (indented, each line 180 spaces deep), and names and app ids of 300
// '"' in 20 bundles of 50 events (six bytes each; even cut at 256 characters, two such uploads
// are more than a page). Every page stays within its bound and leads on to every upload.
TEST_F(MeasurementServiceTest, TheUploadsPageStaysWithinItsBoundAndLeadsOnToEveryUpload) {
  const std::string angles(100000, '<');
  const std::string quotes(300, '"');
  std::string nested;
  for (int i = 0; i < 4000; ++i) nested += lengthDelimited(6, "");
  for (int depth = 1; depth < 90; ++depth) nested = lengthDelimited(6, nested);
  struct Case {
    const char* name;
    std::vector<std::string> uploads;
    std::string shown;  // in the pages, `times` times; "": each bundle's JSON, compact
    size_t times;
    size_t pages;
  } cases[] = {
      {"names and app ids of 100,000 '<'",
       {batchWire(1, "app", 10, angles), batchWire(10, angles, 1, "e"),
        batchWire(1, "app", 10, angles)},
       htmlEscaped(angles.substr(0, 256)) + "\u2026 (100,000 characters)",
       30,
       1},
      {"a parameter 90 deep",
       {batchWire(4, "app", 1, "deep", lengthDelimited(1, nested))},
       "",
       4,
       1},
      {"names and app ids of 300 '\"'",
       {batchWire(20, quotes, 50, quotes), batchWire(20, quotes, 50, quotes)},
       htmlEscaped(quotes.substr(0, 256)) + "\u2026 (300 characters)",
       2 * 20 * 51,
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    service.reset();
    std::filesystem::remove_all(data);
    start();
    for (const std::string& batch : c.uploads) upload(batch);
    const std::vector<std::string> pages = walkPages();
    EXPECT_EQ(pages.size(), c.pages);
    expectEveryUploadShown(pages);
    std::vector<std::string> parts = {c.shown};
    if (c.shown.empty()) {
      std::istringstream rows(sql("SELECT bundle_json FROM bundles"));
      parts.clear();
      for (std::string json; std::getline(rows, json);) {
        parts.push_back("<pre>" + htmlEscaped(json) + "</pre>");
      }
    }
    size_t shown = 0;
    for (const std::string& part : parts) {
      for (const std::string& page : pages) shown += occurrences(page, part);
    }
    EXPECT_EQ(shown, c.times);
  }
}

}  // namespace
