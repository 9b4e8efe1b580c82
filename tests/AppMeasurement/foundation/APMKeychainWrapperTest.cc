#include "AppMeasurement/foundation/APMKeychainWrapper.h"

#include <sys/stat.h>

#include "platform/security/Keychain.h"
#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace {

using platform::Value;
using namespace platform::keychain;

class APMKeychainWrapperTest : public environmenttest::ContainerTest {
 protected:
  void SetUp() override {
    ContainerTest::SetUp();
    keychain_ = base_ / "user-data" / "KavrelinKeychain" / "keychain.plist";
    platform::SecKeychainSetPathForTesting(keychain_);
    APMKeychainWrapper::resetMigrationForTesting();
  }
  void TearDown() override {
    platform::SecKeychainSetPathForTesting(std::nullopt);
    ContainerTest::TearDown();
  }
  size_t itemCount() {
    Value all;
    Value::Dictionary query{{kSecClass, Value(kSecClassGenericPassword)},
                            {kSecMatchLimit, Value(kSecMatchLimitAll)},
                            {kSecReturnAttributes, Value(true)}};
    if (platform::SecItemCopyMatching(query, &all) != platform::errSecSuccess) return 0;
    return all.asArray()->size();
  }
  std::filesystem::path keychain_;
};

TEST_F(APMKeychainWrapperTest, UpsertUpdatesTheOneItem) {
  EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue(Value("3"), "_pfo", "com.example.app"));
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.example.app"), "3");
  EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue(Value("4"), "_pfo", "com.example.app"));
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.example.app"), "4");
  EXPECT_EQ(itemCount(), 1u);
  // Another app keeps its own item.
  EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue(Value("9"), "_pfo", "com.other.app"));
  EXPECT_EQ(itemCount(), 2u);
  APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", "com.example.app");
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.example.app"),
            std::nullopt);
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.other.app"), "9");
}

TEST_F(APMKeychainWrapperTest, RefusedArguments) {
  struct Case {
    Value value;
    const char* identifier;
    const char* appID;
  };
  const Case cases[] = {{Value("3"), "_pfo", ""},
                        {Value("3"), "", "com.example.app"},
                        {Value(""), "_pfo", "com.example.app"},
                        {Value(3), "_pfo", "com.example.app"},
                        {Value::bytes("3"), "_pfo", "com.example.app"}};
  for (const Case& c : cases) {
    EXPECT_FALSE(APMKeychainWrapper::upsertKeychainValue(c.value, c.identifier, c.appID))
        << c.value.description() << " " << c.identifier << " " << c.appID;
  }
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", ""), std::nullopt);
  // Nothing touched the keychain.
  EXPECT_FALSE(std::filesystem::exists(keychain_));
}

TEST_F(APMKeychainWrapperTest, ItemsOfAnOlderFormatAreMigratedOnce) {
  // An item written with its account and generic attribute as bytes.
  ASSERT_EQ(platform::SecItemAdd({{kSecClass, Value(kSecClassGenericPassword)},
                                  {kSecAttrService, Value("com.example.app")},
                                  {kSecAttrAccount, Value::bytes("_pfo")},
                                  {kSecAttrGeneric, Value::bytes("_pfo")},
                                  {kSecValueData, Value::bytes("7")}}),
            platform::errSecSuccess);
  EXPECT_TRUE(APMKeychainWrapper::isMigrationNeededForIdentifier("_pfo", "com.example.app"));
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.example.app"), "7");
  EXPECT_FALSE(APMKeychainWrapper::isMigrationNeededForIdentifier("_pfo", "com.example.app"));
  Value attributes;
  ASSERT_EQ(platform::SecItemCopyMatching({{kSecClass, Value(kSecClassGenericPassword)},
                                           {kSecAttrService, Value("com.example.app")},
                                           {kSecReturnAttributes, Value(true)}},
                                          &attributes),
            platform::errSecSuccess);
  EXPECT_EQ(*attributes.find(kSecAttrAccount), Value("_pfo"));
  EXPECT_EQ(*attributes.find(kSecAttrGeneric), Value("_pfo"));
  // Only the account as text, the generic attribute still bytes: needed too.
  ASSERT_EQ(platform::SecItemAdd({{kSecClass, Value(kSecClassGenericPassword)},
                                  {kSecAttrService, Value("com.example.app")},
                                  {kSecAttrAccount, Value("_x")},
                                  {kSecAttrGeneric, Value::bytes("_x")},
                                  {kSecValueData, Value::bytes("1")}}),
            platform::errSecSuccess);
  EXPECT_TRUE(APMKeychainWrapper::isMigrationNeededForIdentifier("_x", "com.example.app"));
  EXPECT_FALSE(APMKeychainWrapper::isMigrationNeededForIdentifier("_none", "com.example.app"));
}

TEST_F(APMKeychainWrapperTest, TheFileIsOutsideTheContainerReadableByTheUserOnly) {
  ASSERT_TRUE(APMKeychainWrapper::upsertKeychainValue(Value("3"), "_pfo", "com.example.app"));
  EXPECT_EQ(std::filesystem::relative(keychain_, root_).string().rfind("..", 0), 0u);
  struct stat file {};
  ASSERT_EQ(::stat(keychain_.c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(keychain_.parent_path().c_str(), &file), 0);
  EXPECT_EQ(file.st_mode & 0777, 0700u);
  // A second process (a reinstalled app, a fresh container) reads it back.
  std::filesystem::remove_all(root_);
  EXPECT_EQ(testsupport::runThisBinary("APMKeychainWrapperTest.DISABLED_ChildReadsTheValue",
                                       {{"KVL_TEST_KEYCHAIN", keychain_.string()}}),
            0);
}

// Without a path set, the keychain is the one beside the container: a reinstall (the container
// removed, another in its place) finds it, while a new device (the folder holding both removed)
// starts without it; the user's own keychain folder is never touched.
TEST_F(APMKeychainWrapperTest, TheDefaultKeychainIsBesideTheContainer) {
  platform::SecKeychainSetPathForTesting(std::nullopt);
  struct Case {
    std::string container;
    std::filesystem::path keychain;
  };
  const Case cases[] = {
      {(base_ / "device" / "app").string(),
       base_ / "device" / "KavrelinKeychain" / "keychain.plist"},
      {(base_ / "device" / "app").string() + "/",
       base_ / "device" / "KavrelinKeychain" / "keychain.plist"},
      {(base_ / "device" / "." / "x" / ".." / "app").string(),
       base_ / "device" / "KavrelinKeychain" / "keychain.plist"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(platform::AppContainer::setRoot(c.container).ok());
    EXPECT_EQ(platform::SecKeychainPath(), c.keychain) << c.container;
  }
  ASSERT_TRUE(APMKeychainWrapper::upsertKeychainValue(Value("1"), "_pfo", "com.example.app"));
  EXPECT_TRUE(std::filesystem::exists(base_ / "device" / "KavrelinKeychain" / "keychain.plist"));
  // A reinstall: the value is read back through a fresh container in the same place.
  std::filesystem::remove_all(base_ / "device" / "app");
  ASSERT_TRUE(platform::AppContainer::setRoot(base_ / "device" / "app").ok());
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.example.app"), "1");
  // A new device: nothing.
  std::filesystem::remove_all(base_ / "device");
  ASSERT_TRUE(platform::AppContainer::setRoot(base_ / "device" / "app").ok());
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.example.app"),
            std::nullopt);
  ASSERT_TRUE(platform::AppContainer::setRoot(root_).ok());
}

// With no container set, the default container's neighbour: the user data dir's keychain
// ($XDG_DATA_HOME, else ~/.local/share), here a temporary folder standing in for it.
TEST_F(APMKeychainWrapperTest, WithoutAContainerTheUserDataDirHoldsIt) {
  struct Case {
    std::string xdgDataHome;
    std::string home;
    std::string expected;
  };
  const Case cases[] = {
      {(base_ / "xdg").string(), (base_ / "home").string(),
       (base_ / "xdg" / "KavrelinKeychain" / "keychain.plist").string()},
      {"", (base_ / "home").string(),
       (base_ / "home" / ".local" / "share" / "KavrelinKeychain" / "keychain.plist").string()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testsupport::runThisBinary("KeychainWithoutContainer.DISABLED_ChildReportsThePath",
                                         {{"KVL_TEST_XDG_DATA_HOME", c.xdgDataHome},
                                          {"KVL_TEST_HOME", c.home},
                                          {"KVL_TEST_EXPECTED_KEYCHAIN", c.expected}}),
              0)
        << c.expected;
  }
}

// A process that set no container.
TEST(KeychainWithoutContainer, DISABLED_ChildReportsThePath) {
  if (std::getenv("KVL_TEST_EXPECTED_KEYCHAIN") == nullptr) GTEST_SKIP();
  ::setenv("XDG_DATA_HOME", std::getenv("KVL_TEST_XDG_DATA_HOME"), 1);
  ::setenv("HOME", std::getenv("KVL_TEST_HOME"), 1);
  EXPECT_EQ(platform::SecKeychainPath().string(), std::getenv("KVL_TEST_EXPECTED_KEYCHAIN"));
}

TEST_F(APMKeychainWrapperTest, DISABLED_ChildReadsTheValue) {
  if (std::getenv("KVL_TEST_KEYCHAIN") == nullptr) GTEST_SKIP();
  platform::SecKeychainSetPathForTesting(std::filesystem::path(std::getenv("KVL_TEST_KEYCHAIN")));
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.example.app"), "3");
}

}  // namespace
