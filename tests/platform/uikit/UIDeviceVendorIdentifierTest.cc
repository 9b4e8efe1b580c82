#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIDevice.h"
#include "tests/platform/uikit/UIKitTestSupport.h"

namespace {

std::string hex(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
  }
  return text;
}

// Each test runs in a fresh app container.
class VendorIdentifierTest : public uikittest::UIKitTest {
 protected:
  void SetUp() override {
    UIKitTest::SetUp();
    useContainer("container");
  }
  void TearDown() override {
    platform::PreferenceStore::resetForTesting();
    UIKitTest::TearDown();
  }

  void useContainer(const std::string& name) {
    ASSERT_TRUE(platform::AppContainer::setRoot(base_ / name).ok());
    platform::PreferenceStore::resetForTesting();
  }

  std::filesystem::path storeFile() const {
    return platform::PreferenceStore::preferencesFilePath(UIDevice::kVendorIdentifierDomain);
  }
};

TEST_F(VendorIdentifierTest, IsARandomUUIDThatStaysTheSame) {
  std::optional<UIDevice::UUID> first = UIDevice::currentDevice().identifierForVendor();
  ASSERT_TRUE(first.has_value());
  ASSERT_EQ(first->bytes.size(), 16u);
  // Version 4, RFC 4122 variant.
  EXPECT_EQ(static_cast<unsigned char>(first->bytes[6]) >> 4, 4);
  EXPECT_EQ(static_cast<unsigned char>(first->bytes[8]) >> 6, 2);
  EXPECT_EQ(UIDevice::currentDevice().identifierForVendor(), first);
}

TEST_F(VendorIdentifierTest, TextIsTheCanonicalUUIDForm) {
  std::optional<UIDevice::UUID> identifier = UIDevice::currentDevice().identifierForVendor();
  ASSERT_TRUE(identifier.has_value());
  std::string reference =
      uikittest::commandOutput("python3 -c \"import uuid; print(str(uuid.UUID(hex='" +
                               hex(identifier->bytes) + "')).upper())\"");
  ASSERT_EQ(reference.size(), 36u);
  EXPECT_EQ(identifier->UUIDString(), reference);

  struct Row {
    std::string bytes;
    const char* text;
  };
  const Row rows[] = {
      {std::string(16, '\0'), "00000000-0000-0000-0000-000000000000"},
      {std::string(16, '\xff'), "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"},
      {std::string("\xe6\x21\xe1\xf8\xc3\x6c\x49\x5a\x93\xfc\x0c\x24\x7a\x3e\x6e\x5f", 16),
       "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},
  };
  for (const Row& row : rows) EXPECT_EQ(UIDevice::UUID{row.bytes}.UUIDString(), row.text);
}

TEST_F(VendorIdentifierTest, IsKeptInTheContainerAcrossLaunches) {
  std::optional<UIDevice::UUID> first = UIDevice::currentDevice().identifierForVendor();
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(std::filesystem::exists(storeFile()));
  // A real property list, as any plist reader sees it.
  std::string stored = uikittest::commandOutput(
      "python3 -c \"import plistlib,sys; print(plistlib.load(open(sys.argv[1],'rb'))"
      "['identifierForVendor'].hex())\" '" +
      storeFile().string() + "'");
  EXPECT_EQ(stored, hex(first->bytes));

  // The next launch reads the file again.
  platform::PreferenceStore::resetForTesting();
  EXPECT_EQ(UIDevice::currentDevice().identifierForVendor(), first);

  // A new install (a new container) has a new identifier.
  useContainer("reinstalled");
  std::optional<UIDevice::UUID> second = UIDevice::currentDevice().identifierForVendor();
  ASSERT_TRUE(second.has_value());
  EXPECT_NE(second, first);
}

TEST_F(VendorIdentifierTest, DamagedStoredValueIsReplaced) {
  const std::vector<platform::Value> damaged = {
      platform::Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"),
      platform::Value::bytes(std::string(15, 'x')),
      platform::Value::bytes(std::string(17, 'x')),
      platform::Value(42),
  };
  for (const platform::Value& value : damaged) {
    auto store = platform::PreferenceStore::forDomain(UIDevice::kVendorIdentifierDomain);
    ASSERT_TRUE(store->setValue(UIDevice::kVendorIdentifierKey, value).ok());
    std::optional<UIDevice::UUID> identifier = UIDevice::currentDevice().identifierForVendor();
    ASSERT_TRUE(identifier.has_value()) << value.description();
    EXPECT_EQ(identifier->bytes.size(), 16u);
    std::optional<platform::Value> kept = store->valueForKey(UIDevice::kVendorIdentifierKey);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(*kept, platform::Value::bytes(identifier->bytes));
  }
}

TEST_F(VendorIdentifierTest, FirstUseFromManyThreadsMakesOneIdentifier) {
  constexpr int kThreads = 8;
  std::vector<std::optional<UIDevice::UUID>> answers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] { answers[t] = UIDevice::currentDevice().identifierForVendor(); });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const auto& answer : answers) {
    ASSERT_TRUE(answer.has_value());
    distinct.insert(answer->bytes);
  }
  EXPECT_EQ(distinct.size(), 1u);
}

}  // namespace
