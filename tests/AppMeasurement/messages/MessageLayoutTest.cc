// The generated layouts: slot order and class names.
#include <gtest/gtest.h>

#include <string>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "tests/AppMeasurement/messages/MessageTestSupport.h"

namespace {

// Tags, names, types and sub-messages of every field are checked against protoc's reading of
// the schemas by ProtocRoundTripTest; what protoc cannot see is the slot order (declaration
// order, not tag order) and the class names.
TEST(MessageLayouts, EveryLayoutIsConsistentAndNamedAfterItsClass) {
  for (const auto* layout : messagetest::allLayouts()) {
    EXPECT_EQ(std::string("APMPB") + layout->name, layout->className);
    for (uint32_t slot = 0; slot < layout->slotCount; ++slot) {
      EXPECT_EQ(layout->slotOfTag(layout->fields[slot].tag), static_cast<int>(slot))
          << layout->name << "." << layout->fields[slot].name;
      EXPECT_EQ((layout->codes[slot] & kNANOCodeMessage) != 0,
                layout->fields[slot].message != nullptr)
          << layout->name << "." << layout->fields[slot].name;
    }
  }
}

TEST(MessageLayouts, ClassesCarryTheirLayoutAndSlotConstants) {
  EXPECT_STREQ(APMPBMeasurementBundle().messageID(), "MeasurementBundle");
  EXPECT_STREQ(APMPBDeepLinkOadParamsEntry().messageID(), "DeepLinkOadParamsEntry");
  EXPECT_STREQ(APMPBSotmSetting().className(), "APMPBSotmSetting");
  EXPECT_EQ(APMPBMeasurementBundle::kPreviousBundleStartTimestampMillis, 6u);
  EXPECT_EQ(APMPBMeasurementBundle::kPreviousBundleEndTimestampMillis, 7u);
  EXPECT_EQ(APMPBMeasurementBundle::kLinkedComponents, 55u);
  EXPECT_EQ(APMPBMeasurementConfig::kAudiences, 5u);
  EXPECT_EQ(APMPBRuntimeEntity::kNumberValue, 5u);
  EXPECT_EQ(APMPBSkAdNetworkConversionValueResponse::kUpdateBackoffMillis, 7u);
}

}  // namespace
