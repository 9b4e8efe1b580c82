#include "AppMeasurement/features/APMReceipt.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/foundation/JSONSerialization.h"
#include "tests/AppMeasurement/storage/StorageTestSupport.h"

namespace {

const std::filesystem::path kFixtures =
    std::filesystem::path(KVL_SOURCE_DIR) / "tools/receipt/fixtures";

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::string fromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

platform::Value description(const std::string& name) {
  absl::StatusOr<platform::Value> json =
      platform::JSONSerialization::JSONObjectWithData(readFile(kFixtures / (name + ".json")));
  EXPECT_TRUE(json.ok()) << name;
  return json.ok() ? *json : platform::Value();
}

APMReceiptEnvironment environmentFor(const std::string& name) {
  APMReceiptEnvironment environment;
  platform::Value json = description(name);
  environment.receipt = readFile(kFixtures / (name + ".der"));
  environment.deviceID = fromHex(*json.find("vendorID")->asString());
  environment.bundleID = "com.orvane.sample";
  environment.bundleVersion = "1.0.3";
  return environment;
}

// A fresh container: the monitor keeps its health data there.
class APMReceiptTest : public storagetest::StorageTest {};

TEST_F(APMReceiptTest, ValidityOfFixtureReceipts) {
  struct Case {
    const char* fixture;
    void (*change)(APMReceiptEnvironment&);
    bool valid;
    const char* code;  // the (silent, health-data only) line the case stands for
  };
  const std::vector<Case> cases = {
      {"sha1", nullptr, true, ""},
      {"sha256", nullptr, true, ""},
      {"sha1", [](APMReceiptEnvironment& e) { e.deviceID = std::string(16, '\x01'); }, false,
       "I-ACS039018"},
      {"no-in-app", nullptr, false, "I-ACS039014"},
      // Only logged: the receipt still holds.
      {"other-bundle", nullptr, true, "I-ACS039022"},
      {"long-bundle", nullptr, false, "I-ACS039027"},
      {"sha1", [](APMReceiptEnvironment& e) { e.simulator = true; }, false, "I-ACS039000"},
      {"sha1", [](APMReceiptEnvironment& e) { e.sandbox = true; }, false, "I-ACS039001"},
      {"sha1", [](APMReceiptEnvironment& e) { e.receipt.reset(); }, false, "I-ACS039009"},
      {"sha1", [](APMReceiptEnvironment& e) { e.receipt = ""; }, false, "I-ACS039011"},
      {"sha1", [](APMReceiptEnvironment& e) { e.deviceID.reset(); }, false, "I-ACS039013"},
      {"sha1", [](APMReceiptEnvironment& e) { e.receipt->resize(60); }, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " " + c.code);
    APMReceiptEnvironment environment = environmentFor(c.fixture);
    if (c.change) c.change(environment);
    EXPECT_EQ(APMComputeReceiptValidity(environment), c.valid);
  }
}

TEST_F(APMReceiptTest, OriginalVersion) {
  struct Case {
    void (*change)(APMReceiptEnvironment&);
    bool same;
    const char* code;
  };
  const std::vector<Case> cases = {
      {nullptr, true, ""},
      {[](APMReceiptEnvironment& e) { e.bundleVersion = "1.0.4"; }, false, ""},
      {[](APMReceiptEnvironment& e) {
         e.simulator = true;
         e.receipt.reset();
       },
       true, ""},
      {[](APMReceiptEnvironment& e) { e.receipt.reset(); }, false, "I-ACS039002"},
      {[](APMReceiptEnvironment& e) { e.receipt = ""; }, false, "I-ACS039004"},
      {[](APMReceiptEnvironment& e) { e.receipt = std::string(40, '\0'); }, false, "I-ACS039006"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    APMReceiptEnvironment environment = environmentFor("sha1");
    if (c.change) c.change(environment);
    EXPECT_EQ(APMComputeIsVersionSameAsOriginalVersion(environment), c.same);
  }
}

APMInAppPurchaseItem itemFromDescription(const platform::Value& json) {
  auto text = [&](const char* key) { return *json.find(key)->asString(); };
  auto number = [&](const char* key) { return *json.find(key)->asInteger(); };
  APMInAppPurchaseItem item;
  item.productID = text("productID");
  item.transactionID = text("transactionID");
  item.originalTransactionID = text("originalTransactionID");
  item.purchaseDateIA5String = text("purchaseDateIA5String");
  item.originalPurchaseDateIA5String = text("originalPurchaseDateIA5String");
  item.subscriptionExpirationDateIA5String = text("subscriptionExpirationDateIA5String");
  item.webOrderLineItemID = static_cast<uint64_t>(number("webOrderLineItemID"));
  item.purchaseType = number("purchaseType");
  item.freeTrial = number("freeTrial") == 1;
  item.introductoryOffer = number("introductoryOffer") == 1;
  return item;
}

// The items equal the description (OpenSSL orders SET members, so compare as sets).
TEST_F(APMReceiptTest, ItemsEqualTheDescription) {
  for (const char* fixture : {"sha1", "sha256", "free-trial-2", "many"}) {
    SCOPED_TRACE(fixture);
    std::vector<APMInAppPurchaseItem> expected;
    platform::Value json = description(fixture);
    for (const platform::Value& item : *json.find("items")->asArray()) {
      expected.push_back(itemFromDescription(item));
    }
    std::optional<std::vector<APMInAppPurchaseItem>> items =
        APMInAppPurchaseItemsFromReceipt(readFile(kFixtures / (std::string(fixture) + ".der")));
    ASSERT_TRUE(items.has_value());
    auto byTransaction = [](const APMInAppPurchaseItem& a, const APMInAppPurchaseItem& b) {
      return a.transactionID < b.transactionID;
    };
    std::sort(items->begin(), items->end(), byTransaction);
    std::sort(expected.begin(), expected.end(), byTransaction);
    ASSERT_EQ(items->size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ((*items)[i], expected[i]) << i;
  }
  EXPECT_FALSE(APMInAppPurchaseItemsFromReceipt("").has_value());
}

// Hostile bytes: every bound answers "no match", never a read past the end.
TEST_F(APMReceiptTest, TemplateBounds) {
  const std::vector<uint8_t> t = {1, kAPMReceiptWildcard};
  struct Case {
    const char* label;
    std::vector<uint8_t> byteTemplate;
    std::string data;
    int64_t offset;
    std::optional<std::string> value;
  };
  const std::vector<Case> cases = {
      {"match", t, std::string("\x01\x02xy", 4), 0, "xy"},
      {"at an offset", t, std::string("z\x01\x01q", 4), 1, "q"},
      {"negative offset", t, std::string("\x01\x01q", 3), -1, std::nullopt},
      {"empty data", t, "", 0, std::nullopt},
      {"empty template", {}, "abc", 0, std::nullopt},
      {"template reaching the end", t, std::string("\x01\x01", 2), 0, std::nullopt},
      {"template at the last byte", t, std::string("q\x01", 2), 1, std::nullopt},
      {"length 0", t, std::string("\x01\x00q", 3), 0, std::nullopt},
      {"length past the end", t, std::string("\x01\x03qq", 4), 0, std::nullopt},
      {"mismatch", t, std::string("\x02\x01q", 3), 0, std::nullopt},
      {"no wildcard", {1, 2}, std::string("\x01\x02q", 3), 0, std::nullopt},
      {"huge offset", t, std::string("\x01\x01q", 3), INT64_MAX - 1, std::nullopt},
      {"long length taken as is", t, std::string("\x01\x81", 2) + std::string(0x81, 'a'), 0,
       std::string(0x81, 'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(APMReceiptMatchTemplate(c.byteTemplate, c.data, c.offset), c.value);
  }
  // Every prefix of a real receipt scans without reading out of bounds (ASan watches).
  std::string receipt = readFile(kFixtures / "sha256.der");
  for (size_t n = 0; n <= receipt.size(); n += 7) {
    APMInAppPurchaseItemsFromReceipt(std::string_view(receipt).substr(0, n));
  }
}

TEST_F(APMReceiptTest, DeviceVerificationIsSHA384OfLowerCasedNonceAndUUID) {
  // SHA-384("abc"), the published FIPS 180-2 vector.
  const std::string abc = fromHex(
      "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
      "34c825a7");
  EXPECT_TRUE(APMVerifyTransactionDeviceVerification(abc, "BC", "A"));
  EXPECT_FALSE(APMVerifyTransactionDeviceVerification(abc, "CB", "a"));
  EXPECT_FALSE(APMVerifyTransactionDeviceVerification(abc, std::nullopt, "abc"));
}

}  // namespace
