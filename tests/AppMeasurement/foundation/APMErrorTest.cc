#include "AppMeasurement/foundation/APMError.h"

#include <gtest/gtest.h>

#include <memory>

#include "AppMeasurement/foundation/APMLogContext.h"

namespace {

TEST(APMError, FactoryFillsDomainCodeAndNonEmptyUserInfo) {
  APMError error = apm_errorWithCode(3, "Transaction failed", "ctx");
  EXPECT_EQ(error.domain(), "com.orvane.rzq.measurement.ErrorDomain");
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(error.localizedDescription(), "Transaction failed");
  EXPECT_EQ(error.monitorContext(), "ctx");
  EXPECT_EQ(error.userInfo().size(), 2u);

  APMError bare = apm_errorWithCode(1, "");
  EXPECT_TRUE(bare.userInfo().empty());
  APMError noContext = apm_errorWithCode(2, "Failed to compress bundle", "");
  EXPECT_EQ(noContext.userInfo().size(), 1u);
  EXPECT_EQ(noContext.userInfo().count("APMMonitorContext"), 0u);
  EXPECT_EQ(noContext.userInfo().count("NSLocalizedDescription"), 1u);
}

TEST(APMError, SetErrorIgnoresAbsentSlot) {
  APMSetError(nullptr, 1, "ignored");
  APMSetErrorWithMonitorContext(nullptr, 1, "ignored", "ctx");
  APMErrorSlot slot;
  APMSetErrorWithMonitorContext(&slot, 9, "Missing audience ID", "aud");
  ASSERT_TRUE(slot.has_value());
  EXPECT_EQ(slot->code(), 9);
  EXPECT_EQ(slot->monitorContext(), "aud");
  APMSetError(&slot, 10, "Duplicate event filter ID");
  EXPECT_EQ(slot->code(), 10);
  EXPECT_EQ(slot->monitorContext(), "");
}

TEST(APMError, CheckResultLeavesSlotAloneOnSuccess) {
  APMErrorSlot slot = apm_errorWithCode(7, "earlier");
  EXPECT_TRUE(APMCheckResult(true, &slot, 3, "not stored"));
  EXPECT_EQ(slot->code(), 7);
  EXPECT_FALSE(APMCheckResult(false, &slot, 3, "stored"));
  EXPECT_EQ(slot->code(), 3);
  EXPECT_EQ(slot->localizedDescription(), "stored");
  EXPECT_FALSE(APMCheckResult(false, nullptr, 3, "nowhere"));
}

TEST(APMError, CheckNonNilAcceptsObjectsLengthsAndCounts) {
  APMErrorSlot slot;
  auto object = std::make_shared<int>(1);
  std::shared_ptr<int> none;
  EXPECT_TRUE(APMCheckNonNil(object, &slot, 1, "x"));
  EXPECT_FALSE(slot.has_value());
  EXPECT_TRUE(APMCheckNonNil(size_t{4}, &slot, 1, "x"));
  EXPECT_TRUE(APMCheckNonNil(std::optional<int>(0), &slot, 1, "x"));
  EXPECT_FALSE(slot.has_value());
  EXPECT_FALSE(APMCheckNonNil(none, &slot, 1, "Failed to insert nil bundle"));
  ASSERT_TRUE(slot.has_value());
  EXPECT_EQ(slot->localizedDescription(), "Failed to insert nil bundle");
  slot.reset();
  EXPECT_FALSE(APMCheckNonNil(0, &slot, 1, "Received empty database name in init"));
  EXPECT_TRUE(slot.has_value());
  slot.reset();
  EXPECT_FALSE(APMCheckNonNil(static_cast<const char*>(nullptr), &slot, 1, "null"));
  EXPECT_TRUE(slot.has_value());
}

TEST(APMError, MonitorContextsFromErrorsJoinsLibraryErrorsOnly) {
  platform::Value::Dictionary foreignInfo{{"APMMonitorContext", platform::Value("z")}};
  platform::Value::Dictionary numberInfo{{"APMMonitorContext", platform::Value(5)}};
  std::vector<APMLogContext> contexts{
      APMLogContext("text"),
      apm_errorWithCode(3, "first", "a"),
      APMError("NSCocoaErrorDomain", 3, foreignInfo),
      apm_errorWithCode(3, "no context"),
      APMError(std::string(kAPMErrorDomain), 4, numberInfo),
      APMLogContext(),
      apm_errorWithCode(12, "second", "b"),
  };
  EXPECT_EQ(APMMonitorContextsFromErrors(contexts), "a,b");
  EXPECT_EQ(APMMonitorContextsFromErrors({}), "");
  EXPECT_EQ(APMMonitorContextsFromErrors({APMLogContext(42)}), "");
}

TEST(APMError, DescriptionNamesDomainCodeAndText) {
  std::string text = apm_errorWithCode(13, "Analytics disabled").description();
  EXPECT_NE(text.find("com.orvane.rzq.measurement.ErrorDomain"), std::string::npos);
  EXPECT_NE(text.find("Code=13"), std::string::npos);
  EXPECT_NE(text.find("\"Analytics disabled\""), std::string::npos);
}

}  // namespace
