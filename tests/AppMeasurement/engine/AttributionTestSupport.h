#pragma once

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/ServiceProcess.h"

namespace enginetest {

// The tracking and advertising facts the attribution flows read, as the platform's identity
// support answers them: an advertising identifier (or none), a known limited-ad-tracking state
// and a tracking-authorisation status. Tests change them between steps (then refresh).
class AttributionIdentitySupport : public APMIdentitySupport {
 public:
  bool hasAppDataConsentStatus() override { return true; }
  int64_t appDataConsentStatus() override { return trackingStatus; }
  bool hasLimitedAdTracking() override { return limitAdTrackingKnown; }
  bool limitedAdTracking() override { return limitAdTracking; }
  std::optional<std::string> resettableDeviceID() override { return advertisingID; }

  std::optional<std::string> advertisingID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
  bool limitAdTrackingKnown = true;
  bool limitAdTracking = false;
  int64_t trackingStatus = 3;
};

#ifdef KVL_TEST_PROTOC
// protoc on a message of the SKAdNetwork schema.
inline std::string protocSKAN(const std::string& mode, const std::string& message,
                              const std::string& input) {
  return testsupport::runCommand(std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR + " --" +
                                     mode + "=apm." + message + " " + KVL_TEST_PROTO_DIR +
                                     "/skadnetwork.proto",
                                 input);
}
#endif

// An engine with the attribution identity, on a system version of the test's choosing, with an
// Info.plist that turns the deferred deep link on, and (when started) the measurement service
// as its own process.
class AttributionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    setSystemVersion("17.2");
    std::filesystem::create_directories(base_ / "App.app");
    platform::Value::Dictionary info{
        {"CFBundleIdentifier", platform::Value("com.example.kavrelin")},
        {"ORVANE_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", platform::Value(true)}};
    auto data = platform::PropertyListSerialization::dataWithPropertyList(
        platform::Value(info), platform::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(data.ok());
    std::ofstream(base_ / "App.app" / "Info.plist", std::ios::binary) << *data;
    platform::Bundle::setMainBundlePath(base_ / "App.app");
  }

  void TearDown() override {
    EngineTest::TearDown();
    service_.reset();
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  }

  static void setSystemVersion(const std::string& version) {
    OULAppEnvironmentUtil::Configuration configuration =
        OULAppEnvironmentUtil::defaultConfiguration();
    configuration.deviceModel = "iPhone14,2";
    configuration.systemVersion = version;
    OULAppEnvironmentUtil::setConfiguration(configuration);
  }

  // The measurement service on a free port, with extra arguments; hosts point at it.
  void startService(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), {"--port", "0", "--data", (base_ / "service").string()});
    service_ = std::make_unique<testsupport::ServiceProcess>(KVL_TEST_SERVICE, arguments);
    std::string host = service_->baseURL().substr(std::string("http://").size());
    APMRemoteConfig::setHosts({host, host, host});
  }

  void makeAttributionEngine(
      const std::vector<std::pair<std::string, std::string>>& settings = {}) {
    std::shared_ptr<OULNetwork> network =
        service_ ? OULNetwork::create(service_->baseURL()) : OULNetwork::create();
    makeEngine(settings, network, {}, support);
  }

  // The identity reads its support again once its cache time (1 s by default) has passed.
  void refreshIdentity() {
    env.advance(2);
    env.waitUntilIdle();
  }

  // Stores a configuration in the service (settings as the server sends them) and fetches it.
  void fetchConfig(const std::vector<std::pair<std::string, std::string>>& settings) {
    std::string text = std::string("app_id: \"") + kAppID + "\"";
    for (const auto& [name, value] : settings) {
      text += " settings { name: \"" + name + "\" value: \"" + value + "\" }";
    }
    std::string config = protoc("encode", "MeasurementConfig", text);
    ASSERT_EQ(testsupport::httpRequest("PUT", service_->baseURL() + "/_control/config/" + kAppID,
                                       {}, config)
                  .status,
              204);
    // As the engine does: a fetch only once no other request is out (a deferred deep link
    // asked for at start, when a stored configuration is fresh).
    ASSERT_TRUE(waitFor([&] { return engine->isNetworkReadyForRequest(); }));
    onWorker([&] { engine->fetchRemoteConfig(); });
    ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  }

  void control(const std::string& method, const std::string& path, const std::string& body) {
    long status = testsupport::httpRequest(method, service_->baseURL() + path, {}, body).status;
    ASSERT_EQ(status, 204) << path << " " << body;
  }

  // The service's recorded requests to `path`.
  std::vector<platform::Value::Dictionary> requestsTo(const std::string& path) {
    auto answer = testsupport::httpRequest("GET", service_->baseURL() + "/_control/requests");
    auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
    std::vector<platform::Value::Dictionary> found;
    if (!parsed.ok() || !parsed->isArray()) return found;
    for (const platform::Value& request : *parsed->asArray()) {
      const platform::Value::Dictionary& fields = *request.asDictionary();
      if (*fields.at("path").asString() == path) found.push_back(fields);
    }
    return found;
  }

  // An hour later, once everything is uploaded: the last upload as protoc decodes it ("" when
  // none arrived).
  std::string uploadAfterAnHour() {
    env.advance(3600);
    if (!waitFor(
            [&] { return !engine->hasDataToUpload() && !engine->isNetworkRequestPending(); })) {
      return "";
    }
    auto uploads = requestsTo("/a");
    if (uploads.empty()) return "";
    return protoc(
        "decode", "MeasurementBatch",
        testsupport::runCommand("base64 -d", *uploads.back().at("body_base64").asString()));
  }

  bool logged(int64_t code) {
    env.waitUntilIdle();  // the monitor writes on its own queue
    char text[16];
    std::snprintf(text, sizeof text, "I-ACS%06lld", static_cast<long long>(code));
    return capture.contains(text);
  }

  // The stored raw events of that name, each as parameter name -> value text.
  std::vector<std::map<std::string, std::string>> storedEvents(const std::string& name) {
    std::vector<std::map<std::string, std::string>> found;
    onWorker([&] {
      for (const APMRawEventData& raw : allRawEvents()) {
        const APMPBEvent& event = *raw.rawEvent();
        if (NANOGetString(event, APMPBEvent::kName).value_or("") != name) continue;
        std::map<std::string, std::string> parameters;
        for (const APMPBEventParam& parameter :
             NANOGetMessageArray<APMPBEventParam>(event, APMPBEvent::kParams)
                 .value_or(std::vector<APMPBEventParam>{})) {
          std::string key = NANOGetString(parameter, APMPBEventParam::kName).value_or("");
          if (NANOHasField(parameter, APMPBEventParam::kStringValue)) {
            parameters[key] = NANOGetString(parameter, APMPBEventParam::kStringValue).value_or("");
          } else if (NANOHasField(parameter, APMPBEventParam::kIntValue)) {
            parameters[key] = std::to_string(NANOGetInt64(parameter, APMPBEventParam::kIntValue));
          } else if (NANOHasField(parameter, APMPBEventParam::kDoubleValue)) {
            parameters[key] =
                std::to_string(NANOGetDouble(parameter, APMPBEventParam::kDoubleValue));
          }
        }
        found.push_back(parameters);
      }
    });
    return found;
  }

  std::optional<APMUserAttribute> userProperty(const std::string& name) {
    std::optional<APMUserAttribute> found;
    onWorker([&] { found = engine->database()->userAttributeWithName(name, nullptr); });
    return found;
  }

  std::shared_ptr<AttributionIdentitySupport> support =
      std::make_shared<AttributionIdentitySupport>();
  std::unique_ptr<testsupport::ServiceProcess> service_;
};

}  // namespace enginetest
