// The local measurement service as its own process, checked with tools nobody here wrote:
// protoc makes the uploads and configurations, gzip compresses, sqlite3 reads the store.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/support/ServiceProcess.h"

namespace {

using testsupport::httpRequest;
using testsupport::ServiceProcess;

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

}  // namespace
