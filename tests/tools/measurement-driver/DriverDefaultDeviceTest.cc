// The driver as the README runs it, without --system-version: a current phone. With tracking
// authorised, an https campaign link opened as a universal link is a "_cmp" with its values,
// the conversion value reaches StoreKit's record file, and the uploads (decoded with protoc)
// carry tracking status 3 and the phone's release and model.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "platform/foundation/JSONSerialization.h"
#include "tests/support/ServiceProcess.h"

namespace {

using testsupport::runCommand;
using testsupport::ServiceProcess;

// Every upload the service received, decoded by protoc one after another.
std::string decodedUploads(const ServiceProcess& service) {
  auto answer = testsupport::httpRequest("GET", service.baseURL() + "/_control/requests");
  auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
  std::string decoded;
  if (!parsed.ok() || !parsed->isArray()) return decoded;
  for (const platform::Value& request : *parsed->asArray()) {
    if (*request.find("path")->asString() != "/a") continue;
    std::string body = runCommand("base64 -d", *request.find("body_base64")->asString());
    decoded += runCommand(std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR +
                              " --decode=apm.MeasurementBatch " + KVL_TEST_PROTO_DIR +
                              "/measurement_upload.proto",
                          body);
  }
  return decoded;
}

TEST(DriverDefaultDeviceTest, ACurrentPhoneWithoutSystemVersion) {
  std::filesystem::path work = std::filesystem::temp_directory_path() /
                               ("kvl-driver-default-device-" + std::to_string(::getpid()));
  std::filesystem::remove_all(work);
  std::string source = KVL_TEST_SOURCE_DIR;
  std::string samples = source + "/tools/measurement-service/samples";
  ServiceProcess service(KVL_TEST_SERVICE,
                         {"--port", "0", "--data", (work / "service").string(), "--config-dir",
                          source + "/tools/measurement-service/sample-config", "--deeplink",
                          samples + "/deeplink.json", "--skan", samples + "/skan.json"});
  std::string output =
      runCommand(std::string(KVL_TEST_DRIVER) + " --app-dir " + (work / "app").string() +
                 " --service " + service.baseURL() +
                 " --tracking-authorized --open-url "
                 "'https://app.example/spring?utm_source=mail&utm_campaign=phone' --skan-records " +
                 (work / "skan.jsonl").string() + " --upload 2>/dev/null");
  EXPECT_NE(output.find("uploaded\nskan updated\n"), std::string::npos) << output;
  std::string skan = runCommand(
      "python3 -c \"import json; print([r['fine'] for r in map("
      "json.loads, open('" +
      (work / "skan.jsonl").string() + "')) if 'fine' in r][:1])\"");
  EXPECT_EQ(skan, "[42]\n");

  std::string decoded = decodedUploads(service);
  EXPECT_NE(decoded.find("name: \"_cmp\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("string_value: \"mail\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("string_value: \"phone\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("apple_consent_status: APPLE_CONSENT_STATUS_AUTHORIZED"),
            std::string::npos)
      << decoded;
  EXPECT_NE(decoded.find("os_version: \"17.4\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("device_model: \"iPhone16,1\""), std::string::npos) << decoded;
  std::filesystem::remove_all(work);
}

// The service refuses the first upload once: the driver asks for the retry by leaving the app
// again, and resigns only once the conversion-value fetch that the return to active starts is
// answered, so that the upload pass finds the network free and the data leaves.
TEST(DriverDefaultDeviceTest, AnUploadRefusedOnceIsSentAgainWhileTheDriverWaits) {
  std::filesystem::path work = std::filesystem::temp_directory_path() /
                               ("kvl-driver-refused-once-" + std::to_string(::getpid()));
  std::filesystem::remove_all(work);
  std::string source = KVL_TEST_SOURCE_DIR;
  ServiceProcess service(KVL_TEST_SERVICE,
                         {"--port", "0", "--data", (work / "service").string(), "--config-dir",
                          source + "/tools/measurement-service/sample-config", "--skan",
                          source + "/tools/measurement-service/samples/skan.json"});
  ASSERT_EQ(testsupport::httpRequest("POST", service.baseURL() + "/_control/script",
                                     {"Content-Type: application/json"},
                                     R"({"path": "/a", "status": 503, "times": 1})")
                .status,
            204);
  std::string output = runCommand(std::string(KVL_TEST_DRIVER) + " --app-dir " +
                                  (work / "app").string() + " --service " + service.baseURL() +
                                  " --event refused_once --upload 2>&1; echo \"exit $?\"");
  EXPECT_NE(output.find("\nuploaded\n"), std::string::npos) << output;
  EXPECT_EQ(output.substr(output.size() - std::min<size_t>(output.size(), 7)), "exit 0\n")
      << output;
  // The refused upload, then the one that was taken; the conversion value was asked for.
  auto answer = testsupport::httpRequest("GET", service.baseURL() + "/_control/requests");
  auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
  ASSERT_TRUE(parsed.ok() && parsed->isArray()) << answer.body;
  size_t uploads = 0;
  size_t fetches = 0;
  for (const platform::Value& request : *parsed->asArray()) {
    uploads += *request.find("path")->asString() == "/a";
    fetches += *request.find("path")->asString() == "/skan";
  }
  EXPECT_GE(uploads, 2u);
  EXPECT_GE(fetches, 1u);
  std::filesystem::remove_all(work);
}

// --system-version and --model make another device: before 16.1 no conversion value is asked
// for, and the uploads carry that device.
TEST(DriverDefaultDeviceTest, AnOlderDeviceOnRequest) {
  std::filesystem::path work = std::filesystem::temp_directory_path() /
                               ("kvl-driver-older-device-" + std::to_string(::getpid()));
  std::filesystem::remove_all(work);
  ServiceProcess service(KVL_TEST_SERVICE, {"--port", "0", "--data", (work / "service").string()});
  std::string output =
      runCommand(std::string(KVL_TEST_DRIVER) + " --app-dir " + (work / "app").string() +
                 " --service " + service.baseURL() +
                 " --system-version 15.8 --model iPhone10,4 --event older --upload 2>/dev/null");
  EXPECT_NE(output.find("uploaded"), std::string::npos) << output;
  std::string decoded = decodedUploads(service);
  EXPECT_NE(decoded.find("os_version: \"15.8\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("device_model: \"iPhone10,4\""), std::string::npos) << decoded;
  std::filesystem::remove_all(work);
}

}  // namespace
