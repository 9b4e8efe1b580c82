// The measurement service's attribution endpoints, as its own process: SKAdNetwork answers
// read with protoc and Python's gzip, the deferred deep link, the PSM and ODC paths of
// psm-server's handler, and refusals of bad control input.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tests/support/ServiceProcess.h"

namespace {

using testsupport::httpRequest;
using testsupport::runCommand;
using testsupport::ServiceProcess;

std::string protoc(const std::string& mode, const std::string& message, const std::string& in) {
  return runCommand(std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR + " --" + mode +
                        "=apm." + message + " " + KVL_TEST_PROTO_DIR + "/skadnetwork.proto",
                    in);
}

class AdConversionServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = std::filesystem::temp_directory_path() /
            ("kvl-ad-conversion-service-" + std::to_string(::getpid()));
    std::filesystem::create_directories(data_);
  }
  void TearDown() override {
    service_.reset();
    std::filesystem::remove_all(data_);
  }
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{"--port", "0", "--data", (data_ / "data").string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    service_ = std::make_unique<ServiceProcess>(KVL_TEST_SERVICE, arguments);
  }
  std::string url(const std::string& path) { return service_->baseURL() + path; }

  std::filesystem::path data_;
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(AdConversionServiceTest, SKANAnswersDecodeAndGzipOnDemand) {
  start();
  std::string request = protoc("encode", "SkAdNetworkConversionValueRequest",
                               "library_version: 111500 app_id: \"a\"");
  // Nothing set: NO_UPDATE.
  auto plain = httpRequest("POST", url("/skan"), {}, request);
  ASSERT_EQ(plain.status, 200);
  EXPECT_EQ(protoc("decode", "SkAdNetworkConversionValueResponse", plain.body),
            "status: NO_UPDATE\n");
  // A request that does not decode is refused.
  EXPECT_EQ(httpRequest("POST", url("/skan"), {}, std::string("\xff\xff\xff", 3)).status, 400);

  ASSERT_EQ(httpRequest("PUT", url("/_control/skan"), {},
                        R"({"response": {"status": "UPDATE", "fine_value": 7,
                            "expiry_in_seconds": 60, "event_age_seconds": 5},
                            "gzip": true, "content_encoding": "GZIP"})")
                .status,
            204);
  // gzip only for a client that accepts it.
  auto unzipped = httpRequest("POST", url("/skan"), {}, request);
  EXPECT_EQ(unzipped.header("Content-Encoding"), "");
  auto zipped = httpRequest("POST", url("/skan"), {"Accept-Encoding: gzip"}, request);
  EXPECT_EQ(zipped.header("Content-Encoding"), "GZIP");
  std::string inflated = runCommand(
      "python3 -c \"import sys, gzip; sys.stdout.buffer.write(gzip.decompress(sys.stdin.buffer."
      "read()))\"",
      zipped.body);
  std::string decoded = protoc("decode", "SkAdNetworkConversionValueResponse", inflated);
  EXPECT_NE(decoded.find("status: UPDATE\nfine_value: 7\n"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("expiry_timestamp_millis: "), std::string::npos);
  EXPECT_NE(decoded.find("evaluation_event_time_millis: "), std::string::npos);

  // Bad control input is refused and the answer in force stays.
  for (const char* bad :
       {"not json", "[]", R"({"response": 5})", R"({"response": {"fine_value": "x"}})",
        R"({"response": {"expiry_in_seconds": "soon"}})"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(httpRequest("PUT", url("/_control/skan"), {}, bad).status, 400);
  }
  EXPECT_EQ(httpRequest("POST", url("/skan"), {"Accept-Encoding: gzip"}, request)
                .header("Content-Encoding"),
            "GZIP");
}

// As a real service: an app instance gets each conversion value once, then "nothing to update"
// until another value is set; another instance gets it too, and a request without an instance
// every time.
TEST_F(AdConversionServiceTest, SKANGivesAnInstanceEachValueOnce) {
  std::ofstream(data_ / "skan.json")
      << R"({"response": {"status": "UPDATE", "fine_value": 42, "coarse_value": "HIGH",
             "expiry_in_seconds": 60, "event_age_seconds": 0}})";
  start({"--skan", (data_ / "skan.json").string()});
  auto ask = [&](const std::string& instance) {
    std::string fields = "library_version: 111500 app_id: \"a\"";
    if (!instance.empty()) fields += " app_instance_id: \"" + instance + "\"";
    auto answer = httpRequest("POST", url("/skan"), {},
                              protoc("encode", "SkAdNetworkConversionValueRequest", fields));
    EXPECT_EQ(answer.status, 200);
    std::string decoded = protoc("decode", "SkAdNetworkConversionValueResponse", answer.body);
    if (decoded.rfind("status: UPDATE\n", 0) != 0) return decoded;
    size_t fine = decoded.find("fine_value: ");
    return "UPDATE " + decoded.substr(fine, decoded.find('\n', fine) - fine);
  };
  struct Step {
    const char* instance;
    const char* setFine;  // a new value set before asking, or nullptr
    std::string expected;
  };
  const Step steps[] = {
      {"A", nullptr, "UPDATE fine_value: 42"},
      {"A", nullptr, "status: NO_UPDATE\n"},
      {"B", nullptr, "UPDATE fine_value: 42"},
      {"", nullptr, "UPDATE fine_value: 42"},
      {"", nullptr, "UPDATE fine_value: 42"},
      {"A", "43", "UPDATE fine_value: 43"},
      {"A", nullptr, "status: NO_UPDATE\n"},
      {"B", nullptr, "UPDATE fine_value: 43"},
      // Back to the first value: new again for A.
      {"A", "42", "UPDATE fine_value: 42"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.instance) + (step.setFine ? " after setting " : "") +
                 (step.setFine ? step.setFine : ""));
    if (step.setFine) {
      ASSERT_EQ(httpRequest("PUT", url("/_control/skan"), {},
                            std::string(R"({"response": {"status": "UPDATE", "fine_value": )") +
                                step.setFine + R"(, "expiry_in_seconds": 60}})")
                    .status,
                204);
    }
    EXPECT_EQ(ask(step.instance), step.expected);
  }
}

TEST_F(AdConversionServiceTest, DeferredDeepLinkAndPSMPaths) {
  std::ofstream(data_ / "link.json") << R"({"deeplink": "a://b?utm_source=s"})";
  start({"--deeplink", (data_ / "link.json").string()});
  auto link = httpRequest("GET", url("/pagead/conversion/app/deeplink?sdk_version=1"));
  EXPECT_EQ(link.status, 200);
  EXPECT_EQ(link.body, R"({"deeplink": "a://b?utm_source=s")"
                       "}");
  ASSERT_EQ(httpRequest("PUT", url("/_control/deeplink"), {}, "").status, 204);
  auto none = httpRequest("GET", url("/pagead/conversion/app/deeplink"));
  EXPECT_EQ(none.status, 204);
  EXPECT_TRUE(none.body.empty());
  // Without a member file the PSM and ODC paths are not served.
  EXPECT_EQ(httpRequest("GET", url("/odm/config")).status, 404);
  EXPECT_EQ(httpRequest("POST", url("/pagead/conversion/app/psm"), {}, "{}").status, 404);
}

TEST_F(AdConversionServiceTest, PSMServerHandlerIsMounted) {
  start({"--psm-members",
         std::string(KVL_TEST_SOURCE_DIR) + "/tools/psm-server/sample-members.json"});
  EXPECT_EQ(httpRequest("GET", url("/odm/config?bundle_id=com.example.kavrelin")).status, 200);
  // psm-server refuses a malformed request with 400.
  EXPECT_EQ(httpRequest("POST", url("/pagead/conversion/app/psm?version=1.1"), {}, "{").status,
            400);
}

TEST_F(AdConversionServiceTest, BadStartFilesStopTheService) {
  std::ofstream(data_ / "skan.json") << R"({"response": {"status": "NOPE"}})";
  EXPECT_THROW(start({"--skan", (data_ / "skan.json").string()}), std::runtime_error);
  EXPECT_THROW(start({"--deeplink", (data_ / "missing.json").string()}), std::runtime_error);
}

}  // namespace
