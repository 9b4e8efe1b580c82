// The metadata record of written events is kept between events and rebuilt only when it
// changes: after every kind of change the record stored with an event is the one a fresh build
// makes, byte for byte, under the fingerprint of those bytes.
#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMIdentitySupport.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::EngineTest;

class RawEventMetadataTest : public EngineTest {
 protected:
  // Logs an event and answers the fingerprint stored with it, after checking that the stored
  // record is what a fresh build from the current state encodes to.
  int64_t logAndCheck(const std::string& name) {
    logEvent("app", true, name);
    int64_t fingerprint = 0;
    onWorker([&] {
      bool found = false;
      for (const APMRawEventData& raw : allRawEvents()) {
        auto event = APMEvent::createWithEventProto(*raw.rawEvent());
        if (event && event->name() == name) {
          fingerprint = raw.metadataFingerprint();
          found = true;
        }
      }
      ASSERT_TRUE(found) << name;
      APMDatabase* database = engine->database();
      std::vector<APMUserAttribute> attributes =
          database->userAttributesIncludingInternal(true, nullptr).value();
      std::string fresh =
          engine->createRawEventMetadataWithUserAttributes(attributes).protoBuffer().value();
      EXPECT_EQ(apm_64LSBMD5(fresh), fingerprint) << name;
      auto stored = database->queryRawEventsMetadataWithFingerprint(fingerprint, nullptr);
      ASSERT_TRUE(stored) << name;
      EXPECT_EQ(stored->protoBuffer(), fresh) << name;
    });
    return fingerprint;
  }

  APMUserAttribute attribute(const std::string& name, APMValue value) {
    return APMUserAttribute::create("app", name, std::move(value), env.now()).value();
  }
};

TEST_F(RawEventMetadataTest, EveryChangeReachesTheNextRecord) {
  makeEngine();
  struct Step {
    const char* what;
    std::function<void()> change;
    bool changesRecord;
  };
  const Step steps[] = {
      {"nothing", [] {}, false},
      {"user property set", [&] { engine->setUserAttribute(attribute("level", APMValue("7"))); },
       true},
      {"user property changed",
       [&] { engine->setUserAttribute(attribute("level", APMValue("8"))); }, true},
      {"user property cleared",
       [&] { engine->removeUserAttribute(attribute("level", APMValue("8"))); }, true},
      {"analytics storage denied",
       [] {
         APMConsentSettingsUtil::updateSettings({{"analytics_storage", "denied"}}, 10);
       },
       true},
      {"analytics storage granted",
       [] {
         APMConsentSettingsUtil::updateSettings({{"analytics_storage", "granted"}}, 10);
       },
       true},
      {"ad storage denied",
       [] {
         APMConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}}, 10);
       },
       true},
      {"identity reset",
       [&] {
         ASSERT_TRUE(
             engine->resetAnalyticsDataWithAppInstanceID(APMIdentity::randomAppInstanceID()));
         env.waitUntilIdle();
       },
       true},
      {"configuration applied",
       [&] {
         APMPBMeasurementConfig config = enginetest::makeConfig(kAppID, {});
         APMPBConsentConfig consent;
         NANOSetBool(consent, APMPBConsentConfig::kDmaRegion, false);
         NANOSetMessage(config, APMPBMeasurementConfig::kConsentConfig, consent);
         onWorker([&] {
           ASSERT_TRUE(engine->currentConfig()->updateMeasurementConfig(config));
           engine->updateConsentSettingsUtilWithRemoteConfig();
         });
       },
       true},
      {"on-device value stored",
       [&] {
         onWorker([&] {
           ASSERT_TRUE(
               engine->database()->updateODMValue("odm-1", "odm1_value", env.now(), nullptr));
         });
       },
       true},
      {"campaign info stored",
       [&] {
         APMPBAdCampaignInfo info;
         NANOSetString(info, APMPBAdCampaignInfo::kDeepLinkObraid, "obraid-1");
         engine->persistedConfig()->setAdCampaignInfoBuffer(
             platform::Value::bytes(info.protoBuffer().value()));
       },
       true},
      {"nothing again", [] {}, false},
  };
  int64_t previous = logAndCheck("start");
  int index = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    int64_t fingerprint = logAndCheck("event_" + std::to_string(index++));
    if (step.changesRecord) {
      EXPECT_NE(fingerprint, previous);
    } else {
      EXPECT_EQ(fingerprint, previous);
    }
    previous = fingerprint;
  }
}

// An app update is a new process with a new version: its first record is built afresh and
// carries the new version.
TEST_F(RawEventMetadataTest, AppUpdateAfterRestart) {
  makeEngine();
  int64_t before = logAndCheck("before_update");
  engine->setEnabled(false);
  env.waitUntilIdle();
  engine.reset();
  writeInfoPlist({{"CFBundleShortVersionString", platform::Value("3.0")},
                  {"CFBundleVersion", platform::Value("3.0.1")}});
  makeEngine();
  int64_t after = logAndCheck("after_update");
  EXPECT_NE(after, before);
  onWorker([&] {
    auto stored = engine->database()->queryRawEventsMetadataWithFingerprint(after, nullptr);
    ASSERT_TRUE(stored);
    EXPECT_EQ(NANOGetString(*stored, APMPBMeasurementBundle::kAppVersion), "3.0");
    EXPECT_EQ(NANOGetInt32(*stored, APMPBMeasurementBundle::kAppVersionMajor), 3);
  });
}

// A support that reports an app-data consent status (its tracking manager is there), with
// whatever status the platform gives.
class StatusOnlySupport : public APMIdentitySupport {
 public:
  explicit StatusOnlySupport(bool hasStatus, int64_t status) : has_(hasStatus), status_(status) {}
  bool hasAppDataConsentStatus() override { return has_; }
  int64_t appDataConsentStatus() override { return status_; }
  bool hasLimitedAdTracking() override { return false; }
  bool limitedAdTracking() override { return false; }
  std::optional<std::string> resettableDeviceID() override { return std::nullopt; }

 private:
  bool has_;
  int64_t status_;
};

// Bit 0 of linked_components says that the support reports a status at all, whatever it is.
TEST_F(RawEventMetadataTest, LinkedComponentsFollowTheSupportNotTheStatus) {
  OULAppEnvironmentUtil::Configuration configuration =
      OULAppEnvironmentUtil::defaultConfiguration();
  configuration.systemVersion = "17.4";
  OULAppEnvironmentUtil::setConfiguration(configuration);
  struct Case {
    const char* what;
    std::shared_ptr<APMIdentitySupport> support;
    int32_t bit;
  };
  const Case cases[] = {
      {"authorised", std::make_shared<StatusOnlySupport>(true, 3), 1},
      {"unknown status 7", std::make_shared<StatusOnlySupport>(true, 7), 1},
      {"no answer (-1)", std::make_shared<StatusOnlySupport>(true, -1), 1},
      {"no tracking manager", std::make_shared<StatusOnlySupport>(false, -1), 0},
  };
  for (const Case& c : cases) {
    if (engine) {
      engine->setEnabled(false);
      env.waitUntilIdle();
      engine.reset();
    }
    makeEngine({}, nullptr, {}, c.support);
    int32_t linked = -1;
    onWorker([&] {
      linked = NANOGetInt32(engine->createRawEventMetadataWithUserAttributes({}),
                            APMPBMeasurementBundle::kLinkedComponents);
    });
    EXPECT_EQ(linked & 1, c.bit) << c.what;
  }
  OULAppEnvironmentUtil::setConfiguration(std::nullopt);
}

}  // namespace
