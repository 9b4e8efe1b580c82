#include "AppMeasurement/foundation/APMTCFClient.h"

#include <vector>

#include "AppMeasurement/foundation/APMTCFAnalyticsSink.h"
#include "AppMeasurement/foundation/APMTCFDataGenerator.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::Value;

// A vendor string of 755 characters whose vendor-755 bit is as given.
std::string vendorBits(bool set) { return std::string(754, '0') + (set ? "1" : "0"); }

struct RecordingSink : APMTCFAnalyticsSink {
  void logInternalEvent(const std::string& name, const std::string& origin,
                        const Value::Dictionary& parameters) override {
    events.push_back({name, origin, parameters});
  }
  void setConsent(const Value::Dictionary& consent, const std::string& key) override {
    consents.push_back({consent, key});
  }
  struct Event {
    std::string name, origin;
    Value::Dictionary parameters;
  };
  std::vector<Event> events;
  std::vector<std::pair<Value::Dictionary, std::string>> consents;
};

class APMTCFClientTest : public environmenttest::ContainerTest {
 protected:
  void set(const char* key, Value value) {
    APMUserDefaults::sharedUserDefaults()->setObject(std::move(value), key);
  }
  // Consent mode on, GDPR applies, policy 4, vendor consent and every purpose consented.
  void writeGrantingState() {
    set("IABTCF_EnableAdvertiserConsentMode", Value(1));
    set("IABTCF_gdprApplies", Value(1));
    set("IABTCF_PolicyVersion", Value(4));
    set("IABTCF_CmpSdkID", Value(300));
    set("IABTCF_VendorConsents", Value(vendorBits(true)));
    set("IABTCF_VendorLegitimateInterests", Value(vendorBits(true)));
    set("IABTCF_PurposeConsents", Value("1111111111"));
    set("IABTCF_PurposeLegitimateInterests", Value("1111111111"));
  }
};

TEST_F(APMTCFClientTest, PurposeReasonsCaseByCase) {
  struct Case {
    const char* what;
    APMTCFDataGenerator data;
    int64_t purpose;
    int64_t reason;
  };
  auto base = [] {
    APMTCFDataGenerator g;
    g.vendorConsents = vendorBits(true);
    g.vendorLegitimateInterests = vendorBits(true);
    g.purposeConsents = "1111111111";
    g.purposeLegitimateInterests = "1111111111";
    g.policyVersion = Value(4);
    return g;
  };
  auto with = [&](auto change) {
    APMTCFDataGenerator g = base();
    change(g);
    return g;
  };
  std::vector<std::string> restrictionLI(10, "");
  restrictionLI[0] = "2";
  std::vector<std::string> restriction7Consent(10, "");
  restriction7Consent[6] = "1";
  std::vector<std::string> notAllowed(10, "");
  notAllowed[2] = "0";
  const Case cases[] = {
      {"all granted, consent purpose", base(), 1, 1},
      {"all granted, legitimate-interest purpose", base(), 7, 1},
      {"unregistered purpose", base(), 5, 3},
      {"short vendor string", with([](auto& g) { g.vendorConsents = std::string(754, '1'); }), 1,
       4},
      {"vendor bit 2 is not set",
       with([](auto& g) { g.vendorConsents = std::string(754, '0') + "2"; }), 1, 4},
      {"multibyte before the vendor bit",
       with([](auto& g) { g.vendorConsents = "\xC3\xA9" + std::string(753, '0') + "1"; }), 1, 1},
      {"astral character shifts the index",
       with([](auto& g) { g.vendorConsents = "\xF0\x9F\x98\x80" + std::string(753, '0') + "1"; }),
       1, 4},
      {"purpose bit off", with([](auto& g) { g.purposeConsents = "0111111111"; }), 1, 6},
      {"purpose bit not 0/1", with([](auto& g) { g.purposeConsents = "x111111111"; }), 1, 6},
      {"no vendor legitimate interest",
       with([](auto& g) { g.vendorLegitimateInterests = vendorBits(false); }), 7, 5},
      {"purpose LI bit off", with([](auto& g) { g.purposeLegitimateInterests = "1111110111"; }), 7,
       7},
      {"purpose 1 needs LI: blocked",
       with([&](auto& g) { g.publisherRestrictions = restrictionLI; }), 1, 8},
      {"purpose 7 switched to consent", with([&](auto& g) {
         g.publisherRestrictions = restriction7Consent;
         g.purposeConsents = "1111110111";
       }),
       7, 6},
      {"purpose not allowed", with([&](auto& g) { g.publisherRestrictions = notAllowed; }), 3, 3},
      {"CH special treatment", with([](auto& g) {
         g.purposeConsents = "0111111111";
         g.isPurposeOneTreatmentEnabled = Value(true);
         g.publisherCC = "CH";
       }),
       1, 1},
      {"special treatment outside CH", with([](auto& g) {
         g.purposeConsents = "0111111111";
         g.isPurposeOneTreatmentEnabled = Value(true);
         g.publisherCC = "DE";
       }),
       1, 6},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.data.generateData().consentReasonForPurposeGrantedWithRestrictionCheckForPurposeID(
                  c.purpose),
              c.reason)
        << c.what;
  }
  // Policy version below 4 denies ad_user_data whatever the bits say.
  EXPECT_TRUE(base().generateData().isAdUserDataPurposeGranted());
  EXPECT_FALSE(with([](auto& g) { g.policyVersion = Value(3); })
                   .generateData()
                   .isAdUserDataPurposeGranted());
  EXPECT_FALSE(with([](auto& g) { g.policyVersion = std::nullopt; })
                   .generateData()
                   .isAdUserDataPurposeGranted());
}

TEST_F(APMTCFClientTest, BundleParameterEncodesCmpPolicyAndFlags) {
  struct Case {
    std::optional<Value> cmp, policy, consentMode, gdpr;
    bool dma;
    const char* expected;
  };
  const Case cases[] = {
      {Value(300), Value(4), Value(1), Value(1), true, "14I4f"},
      {Value(0), Value(0), std::nullopt, std::nullopt, false, "10004"},
      {Value(4095), Value(63), Value(0), Value(1), true, "1___7"},
      {Value(4096), Value(64), Value(1), Value(0), false, "1000c"},
      {Value(-1), Value(-1), std::nullopt, std::nullopt, true, "10005"},
      {Value(1e20), Value(2.9), std::nullopt, std::nullopt, false, "10024"},
      {Value(5000), std::nullopt, std::nullopt, std::nullopt, false, "10004"},
  };
  for (const Case& c : cases) {
    APMTCFDataGenerator g;
    g.cmpSDKID = c.cmp;
    g.policyVersion = c.policy;
    g.isAdvertiserConsentModeEnabled = c.consentMode;
    g.gdprApplies = c.gdpr;
    if (c.cmp)
      set("IABTCF_CmpSdkID", *c.cmp);
    else
      APMUserDefaults::sharedUserDefaults()->removeObjectForKey("IABTCF_CmpSdkID");
    if (c.policy)
      set("IABTCF_PolicyVersion", *c.policy);
    else
      APMUserDefaults::sharedUserDefaults()->removeObjectForKey("IABTCF_PolicyVersion");
    if (c.consentMode)
      set("IABTCF_EnableAdvertiserConsentMode", *c.consentMode);
    else
      APMUserDefaults::sharedUserDefaults()->removeObjectForKey(
          "IABTCF_EnableAdvertiserConsentMode");
    if (c.gdpr)
      set("IABTCF_gdprApplies", *c.gdpr);
    else
      APMUserDefaults::sharedUserDefaults()->removeObjectForKey("IABTCF_gdprApplies");
    APMTCFClient client;
    client.setIsDMARegion(c.dma);
    client.readTCFData();
    EXPECT_EQ(client.tcfBundleParameterValue(), c.expected);
  }
}

TEST_F(APMTCFClientTest, ValuesOfTheWrongTypeReadAsAbsent) {
  set("IABTCF_CmpSdkID", Value("300"));
  set("IABTCF_gdprApplies", Value("1"));
  set("IABTCF_VendorConsents", Value(12));
  set("IABTCF_PublisherRestrictions1", Value(std::string(754, '0')));
  set("IABTCF_PublisherRestrictions2", Value(std::string(754, '0') + "1"));
  set("IABTCF_PublisherRestrictions3", Value(7));
  testsupport::LogCapture capture;
  APMTCFData data;
  data.readFromUserDefaults();
  EXPECT_TRUE(capture.lines().empty()) << capture.lines().front();
  EXPECT_EQ(data.cmpSDKID(), std::nullopt);
  EXPECT_EQ(data.gdprApplies(), std::nullopt);
  EXPECT_EQ(data.vendorConsents(), std::nullopt);
  ASSERT_TRUE(data.publisherRestrictions());
  EXPECT_EQ((*data.publisherRestrictions())[0], "");
  EXPECT_EQ((*data.publisherRestrictions())[1], "1");
  EXPECT_EQ((*data.publisherRestrictions())[2], "");
}

TEST_F(APMTCFClientTest, ChangesAreLoggedOnceAndConsentHandedOnWhenTCFApplies) {
  auto sink = std::make_shared<RecordingSink>();
  writeGrantingState();
  APMTCFClient client(sink);
  client.setConsentFromTCFData();
  ASSERT_EQ(sink->events.size(), 1u);
  EXPECT_EQ(sink->events[0].name, "_tcf");
  EXPECT_EQ(sink->events[0].origin, "auto");
  EXPECT_EQ(sink->events[0].parameters.at("_tcfd"), Value("14I4f"));
  EXPECT_EQ(sink->events[0].parameters.at("_tcfd2"), Value("21111"));
  // First reading: no fix (vendor consent is on), consent changed from the empty store.
  EXPECT_EQ(sink->events[0].parameters.at("_tcfm"), Value("01"));
  ASSERT_EQ(sink->consents.size(), 1u);
  EXPECT_EQ(sink->consents[0].second, "consent_settings_tcf");
  EXPECT_EQ(sink->consents[0].first, (Value::Dictionary{{"ad_personalization", Value("granted")},
                                                        {"ad_storage", Value("granted")},
                                                        {"ad_user_data", Value("granted")}}));
  // Nothing changed: nothing logged, nothing handed on, also in a new client (the store keeps
  // the last state).
  client.setConsentFromTCFData();
  APMTCFClient(sink).setConsentFromTCFData();
  EXPECT_EQ(sink->events.size(), 1u);
  EXPECT_EQ(sink->consents.size(), 1u);
  // A change of the purpose string is a change; consent follows.
  set("IABTCF_PurposeConsents", Value("0111111111"));
  client.setConsentFromTCFData();
  ASSERT_EQ(sink->events.size(), 2u);
  EXPECT_EQ(sink->events[1].parameters.at("_tcfm"), Value("01"));
  EXPECT_EQ(sink->consents.back().first.at("ad_storage"), Value("denied"));
  // Clearing the store makes the next reading a change again.
  client.clearPersistedValues();
  client.setConsentFromTCFData();
  EXPECT_EQ(sink->events.size(), 3u);
}

TEST_F(APMTCFClientTest, VendorFixAppliesOnceWithoutVendorConsent) {
  auto sink = std::make_shared<RecordingSink>();
  writeGrantingState();
  set("IABTCF_VendorConsents", Value(vendorBits(false)));
  APMTCFClient client(sink);
  EXPECT_TRUE((client.readTCFData(), client.shouldApplyOneTimeTCFVendorFix()));
  client.setConsentFromTCFData();
  // The fix applies; the derived consent (all denied) equals the empty store's.
  EXPECT_EQ(sink->events.at(0).parameters.at("_tcfm"), Value("10"));
  EXPECT_EQ(sink->consents.size(), 1u);
  // The stored form now carries "_v_=2": no second fix.
  EXPECT_FALSE(client.shouldApplyOneTimeTCFVendorFix());
}

TEST_F(APMTCFClientTest, WithTheInfoPlistFlagOffConsentIsNeverHandedOn) {
  writeInfoPlist({{"ORVANE_ANALYTICS_TCF_DATA_ENABLED", Value(false)}});
  auto sink = std::make_shared<RecordingSink>();
  writeGrantingState();
  set("IABTCF_VendorConsents", Value(vendorBits(false)));
  APMTCFClient client(sink);
  client.setConsentFromTCFData();
  // Stored and logged, since the state changed...
  ASSERT_EQ(sink->events.size(), 1u);
  EXPECT_EQ(sink->events[0].parameters.at("_tcfd"), Value("14I4b"));
  EXPECT_TRUE(client.persistedValuesEqualCurrentData());
  // ...but the one-time fix needs the flag, so consent is not handed on.
  EXPECT_TRUE(sink->consents.empty());
  set("IABTCF_VendorConsents", Value(vendorBits(true)));
  client.setConsentFromTCFData();
  EXPECT_EQ(sink->events.size(), 2u);
  EXPECT_TRUE(sink->consents.empty());
}

TEST_F(APMTCFClientTest, StoredValuesOfAnotherTypeReadAsAbsentInThePreviousState) {
  writeGrantingState();
  APMTCFClient client;
  client.readTCFData();
  client.storeCurrentData();
  APMUserDefaults store(std::string(APMTCFClient::kSuiteName));
  store.setObject(Value(Value::Array{Value(1), Value(2)}), "IABTCF_VendorConsents");
  store.setObject(Value(Value::Array{Value(3)}), "IABTCF_PublisherRestrictions");
  store.setObject(Value("4"), "IABTCF_PolicyVersion");
  auto previous = client.previousConsent();
  EXPECT_EQ(previous.at("ad_storage"), Value("denied"));
  EXPECT_EQ(previous.at("ad_user_data"), Value("denied"));
}

TEST_F(APMTCFClientTest, StringFormListsOnlyWhatWasRead) {
  APMTCFClient client;
  client.readTCFData();
  EXPECT_EQ(client.stringRepresentationFromTCFData(), "_v_=2,isTCFDataEnabled=1");
  EXPECT_FALSE(client.hasTCFDataToRead());
  writeGrantingState();
  std::string restriction(754, '0');
  set("IABTCF_PublisherRestrictions3", Value(restriction + "2"));
  set("IABTCF_PurposeOneTreatment", Value(1));
  set("IABTCF_PublisherCC", Value("CH"));
  client.readTCFData();
  EXPECT_EQ(client.stringRepresentationFromTCFData(),
            "_v_=2,isTCFDataEnabled=1,isAdvertiserConsentModeEnabled=1,cmpSDKID=300,"
            "hasOrvaneInVendorConsents=1,hasOrvaneInVendorLegitimateInterests=1,gdprApplies=1,"
            "policyVersion=4,purposeConsents=1111111111,purposeLegitimateInterests=1111111111,"
            "publisherRestrictions=||2|||||||,isPurposeOneTreatmentEnabled=1,publisherCC=CH");
}

}  // namespace
