// The generated layouts against the field tables of the message documentation: slot, tag,
// type code, name and sub-message of every field of every message.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "tests/AppMeasurement/messages/MessageTestSupport.h"

namespace {

struct FieldRow {
  const char* message;
  uint32_t slot;
  uint32_t tag;
  uint32_t code;
  const char* name;
  const char* subMessage;
};

const FieldRow kFields[] = {
    {"MeasurementBatch", 0, 1, 0x4008, "bundles", "MeasurementBundle"},
    {"MeasurementBatch", 1, 7, 0x2002, "field_7", ""},
    {"MeasurementBatch", 2, 8, 0x2002, "upload_subdomain", ""},
    {"MeasurementBatch", 3, 9, 0x42, "field_9", ""},
    {"MeasurementBundle", 0, 1, 0x82, "protocol_version", ""},
    {"MeasurementBundle", 1, 2, 0x4008, "events", "Event"},
    {"MeasurementBundle", 2, 3, 0x4008, "user_attributes", "UserAttribute"},
    {"MeasurementBundle", 3, 4, 0x202, "upload_timestamp_millis", ""},
    {"MeasurementBundle", 4, 5, 0x202, "start_timestamp_millis", ""},
    {"MeasurementBundle", 5, 6, 0x202, "end_timestamp_millis", ""},
    {"MeasurementBundle", 7, 7, 0x202, "previous_bundle_end_timestamp_millis", ""},
    {"MeasurementBundle", 8, 8, 0x2002, "platform", ""},
    {"MeasurementBundle", 9, 9, 0x2002, "os_version", ""},
    {"MeasurementBundle", 10, 10, 0x2002, "device_model", ""},
    {"MeasurementBundle", 11, 11, 0x2002, "user_default_language", ""},
    {"MeasurementBundle", 12, 12, 0x82, "time_zone_offset_minutes", ""},
    {"MeasurementBundle", 13, 13, 0x2002, "install_source", ""},
    {"MeasurementBundle", 14, 14, 0x2002, "app_id", ""},
    {"MeasurementBundle", 15, 15, 0x202, "field_15", ""},
    {"MeasurementBundle", 16, 16, 0x2002, "app_version", ""},
    {"MeasurementBundle", 17, 17, 0x202, "library_version", ""},
    {"MeasurementBundle", 18, 18, 0x202, "upload_library_version", ""},
    {"MeasurementBundle", 19, 19, 0x2002, "resettable_device_id", ""},
    {"MeasurementBundle", 21, 20, 0x22, "limited_ad_tracking", ""},
    {"MeasurementBundle", 22, 21, 0x2002, "app_instance_id", ""},
    {"MeasurementBundle", 23, 22, 0x202, "field_22", ""},
    {"MeasurementBundle", 24, 23, 0x82, "bundle_index", ""},
    {"MeasurementBundle", 25, 24, 0x2002, "monitoring_data", ""},
    {"MeasurementBundle", 26, 25, 0x2002, "rzq_app_id", ""},
    {"MeasurementBundle", 6, 26, 0x202, "previous_bundle_start_timestamp_millis", ""},
    {"MeasurementBundle", 20, 27, 0x2002, "vendor_device_id", ""},
    {"MeasurementBundle", 27, 28, 0x22, "field_28", ""},
    {"MeasurementBundle", 28, 29, 0x4008, "audience_evaluation_results",
     "AudienceLeafFilterResult"},
    {"MeasurementBundle", 29, 30, 0x2002, "kavrelin_installation_id", ""},
    {"MeasurementBundle", 30, 31, 0x82, "app_version_major", ""},
    {"MeasurementBundle", 31, 32, 0x82, "app_version_minor", ""},
    {"MeasurementBundle", 32, 33, 0x82, "app_version_release", ""},
    {"MeasurementBundle", 33, 34, 0x2002, "field_34", ""},
    {"MeasurementBundle", 34, 35, 0x202, "config_version", ""},
    {"MeasurementBundle", 35, 39, 0x82, "retry_count", ""},
    {"MeasurementBundle", 36, 41, 0x2002, "field_41", ""},
    {"MeasurementBundle", 37, 45, 0x108, "experiment_ids", ""},
    {"MeasurementBundle", 38, 47, 0x202, "payload_checksum", ""},
    {"MeasurementBundle", 39, 50, 0x2002, "field_50", ""},
    {"MeasurementBundle", 40, 52, 0x2002, "consent_signals", ""},
    {"MeasurementBundle", 41, 53, 0x42, "apple_consent_status", ""},
    {"MeasurementBundle", 42, 55, 0x22, "field_55", ""},
    {"MeasurementBundle", 43, 63, 0x2002, "session_stitching_token", ""},
    {"MeasurementBundle", 44, 64, 0x2008, "redacted_fields", ""},
    {"MeasurementBundle", 45, 65, 0x2002, "ephemeral_app_instance_id", ""},
    {"MeasurementBundle", 46, 67, 0x202, "field_67", ""},
    {"MeasurementBundle", 47, 71, 0x2002, "consent_diagnostics", ""},
    {"MeasurementBundle", 48, 72, 0x22, "dma_region", ""},
    {"MeasurementBundle", 49, 73, 0x2002, "core_platform_services", ""},
    {"MeasurementBundle", 50, 75, 0x2002, "field_75", ""},
    {"MeasurementBundle", 51, 77, 0x82, "delivery_index", ""},
    {"MeasurementBundle", 52, 79, 0x4002, "ad_campaign_info", "AdCampaignInfo"},
    {"MeasurementBundle", 53, 84, 0x4002, "on_device_measurement_info", "OnDeviceMeasurementInfo"},
    {"MeasurementBundle", 54, 86, 0x4002, "consent_info_extra", "ConsentInfoExtra"},
    {"MeasurementBundle", 55, 87, 0x82, "linked_components", ""},
    {"Event", 0, 1, 0x4008, "params", "EventParam"},
    {"Event", 1, 2, 0x2002, "name", ""},
    {"Event", 2, 3, 0x202, "timestamp_millis", ""},
    {"Event", 3, 4, 0x202, "previous_timestamp_millis", ""},
    {"Event", 4, 5, 0x82, "field_5", ""},
    {"EventParam", 0, 1, 0x2002, "name", ""},
    {"EventParam", 1, 2, 0x2002, "string_value", ""},
    {"EventParam", 2, 3, 0x202, "int_value", ""},
    {"EventParam", 3, 4, 0x802, "field_4", ""},
    {"EventParam", 4, 5, 0x1002, "double_value", ""},
    {"EventParam", 5, 6, 0x4008, "param_value", "EventParam"},
    {"UserAttribute", 0, 1, 0x202, "set_timestamp_millis", ""},
    {"UserAttribute", 1, 2, 0x2002, "name", ""},
    {"UserAttribute", 2, 3, 0x2002, "string_value", ""},
    {"UserAttribute", 3, 4, 0x202, "int_value", ""},
    {"UserAttribute", 4, 5, 0x802, "field_5", ""},
    {"UserAttribute", 5, 6, 0x1002, "double_value", ""},
    {"AudienceLeafFilterResult", 0, 1, 0x82, "audience_id", ""},
    {"AudienceLeafFilterResult", 1, 2, 0x4002, "current_data", "ResultData"},
    {"AudienceLeafFilterResult", 2, 3, 0x4002, "previous_data", "ResultData"},
    {"AudienceLeafFilterResult", 3, 4, 0x22, "new_audience", ""},
    {"ResultData", 0, 1, 0x408, "status", ""},
    {"ResultData", 1, 2, 0x408, "results", ""},
    {"ResultData", 2, 3, 0x4008, "dynamic_filter_timestamps", "DynamicFilterResultTimestamp"},
    {"ResultData", 3, 4, 0x4008, "sequence_filter_timestamps", "SequenceFilterResultTimestamp"},
    {"DynamicFilterResultTimestamp", 0, 1, 0x82, "filter_id", ""},
    {"DynamicFilterResultTimestamp", 1, 2, 0x202, "eval_timestamp", ""},
    {"SequenceFilterResultTimestamp", 0, 1, 0x82, "filter_id", ""},
    {"SequenceFilterResultTimestamp", 1, 2, 0x208, "eval_timestamps", ""},
    {"AdCampaignInfo", 0, 1, 0x2002, "deep_link_oclid", ""},
    {"AdCampaignInfo", 1, 2, 0x2002, "deep_link_obraid", ""},
    {"AdCampaignInfo", 2, 3, 0x2002, "deep_link_oad_source", ""},
    {"AdCampaignInfo", 3, 4, 0x202, "deep_link_timestamp_millis", ""},
    {"AdCampaignInfo", 4, 5, 0x2002, "field_5", ""},
    {"AdCampaignInfo", 5, 6, 0x2002, "field_6", ""},
    {"AdCampaignInfo", 6, 7, 0x2002, "field_7", ""},
    {"AdCampaignInfo", 7, 8, 0x202, "field_8", ""},
    {"AdCampaignInfo", 8, 9, 0x4008, "deep_link_oad_params", "DeepLinkOadParamsEntry"},
    {"AdCampaignInfo", 9, 10, 0x4008, "market_referrer_oad_params", "MarketReferrerOadParamsEntry"},
    {"DeepLinkOadParamsEntry", 0, 1, 0x2002, "key", ""},
    {"DeepLinkOadParamsEntry", 1, 2, 0x2002, "value", ""},
    {"MarketReferrerOadParamsEntry", 0, 1, 0x2002, "key", ""},
    {"MarketReferrerOadParamsEntry", 1, 2, 0x2002, "value", ""},
    {"OnDeviceMeasurementInfo", 0, 1, 0x4002, "odm1_value", "OnDeviceMeasurementValue"},
    {"OnDeviceMeasurementInfo", 1, 2, 0x4002, "odm1_session_value", "OnDeviceMeasurementValue"},
    {"OnDeviceMeasurementInfo", 2, 3, 0x4002, "odm2_value", "OnDeviceMeasurementValue"},
    {"OnDeviceMeasurementInfo", 3, 4, 0x4002, "field_4", "OnDeviceMeasurementValue"},
    {"OnDeviceMeasurementValue", 0, 1, 0x202, "set_timestamp_millis", ""},
    {"OnDeviceMeasurementValue", 1, 2, 0x2002, "value", ""},
    {"ConsentInfoExtra", 0, 1, 0x4008, "limited_data_modes", "LimitedDataEntry"},
    {"LimitedDataEntry", 0, 1, 0x42, "field_1", ""},
    {"LimitedDataEntry", 1, 2, 0x42, "field_2", ""},
    {"MeasurementConfig", 0, 1, 0x202, "version", ""},
    {"MeasurementConfig", 1, 2, 0x2002, "app_id", ""},
    {"MeasurementConfig", 2, 3, 0x82, "field_3", ""},
    {"MeasurementConfig", 3, 4, 0x4008, "settings", "Setting"},
    {"MeasurementConfig", 4, 5, 0x4008, "event_config", "EventConfig"},
    {"MeasurementConfig", 5, 6, 0x4008, "audiences", "Audience"},
    {"MeasurementConfig", 6, 7, 0x2002, "field_7", ""},
    {"MeasurementConfig", 7, 8, 0x22, "field_8", ""},
    {"MeasurementConfig", 8, 9, 0x4008, "dynamic_event_editing", "Program"},
    {"MeasurementConfig", 9, 10, 0x4008, "data_controls", "DataControl"},
    {"MeasurementConfig", 10, 11, 0x2002, "upload_subdomain", ""},
    {"MeasurementConfig", 11, 14, 0x2002, "field_14", ""},
    {"MeasurementConfig", 12, 15, 0x4002, "consent_config", "ConsentConfig"},
    {"MeasurementConfig", 13, 16, 0x4002, "psm_setting", "PsmSetting"},
    {"MeasurementConfig", 14, 17, 0x4002, "sotm_setting", "SotmSetting"},
    {"MeasurementConfig", 15, 18, 0x4002, "field_18", "Region"},
    {"Setting", 0, 1, 0x2002, "name", ""},
    {"Setting", 1, 2, 0x2002, "value", ""},
    {"EventConfig", 0, 1, 0x2002, "name", ""},
    {"EventConfig", 1, 2, 0x22, "blocklisted", ""},
    {"EventConfig", 2, 3, 0x22, "custom_conversion", ""},
    {"EventConfig", 3, 4, 0x82, "sampling_rate", ""},
    {"Audience", 0, 1, 0x82, "audience_id", ""},
    {"Audience", 1, 2, 0x4008, "property_filters", "PropertyFilter"},
    {"Audience", 2, 3, 0x4008, "event_filters", "EventFilter"},
    {"Audience", 3, 4, 0x22, "field_4", ""},
    {"Audience", 4, 5, 0x22, "field_5", ""},
    {"EventFilter", 0, 1, 0x82, "filter_id", ""},
    {"EventFilter", 1, 2, 0x2002, "event_name", ""},
    {"EventFilter", 2, 3, 0x4008, "filters", "Filter"},
    {"EventFilter", 3, 4, 0x22, "field_4", ""},
    {"EventFilter", 4, 5, 0x4002, "event_count_filter", "NumberFilter"},
    {"EventFilter", 5, 6, 0x22, "dynamic", ""},
    {"EventFilter", 6, 7, 0x22, "sequence", ""},
    {"EventFilter", 7, 8, 0x22, "session_scoped", ""},
    {"PropertyFilter", 0, 1, 0x82, "filter_id", ""},
    {"PropertyFilter", 1, 2, 0x2002, "property_name", ""},
    {"PropertyFilter", 2, 3, 0x4002, "filter", "Filter"},
    {"PropertyFilter", 3, 4, 0x22, "dynamic", ""},
    {"PropertyFilter", 4, 5, 0x22, "sequence", ""},
    {"PropertyFilter", 5, 6, 0x22, "session_scoped", ""},
    {"Filter", 0, 1, 0x4002, "string_filter", "StringFilter"},
    {"Filter", 1, 2, 0x4002, "number_filter", "NumberFilter"},
    {"Filter", 2, 3, 0x22, "complement", ""},
    {"Filter", 3, 4, 0x2002, "param_name", ""},
    {"StringFilter", 0, 1, 0x42, "match_type", ""},
    {"StringFilter", 1, 2, 0x2002, "expression", ""},
    {"StringFilter", 2, 3, 0x22, "case_sensitive", ""},
    {"StringFilter", 3, 4, 0x2008, "expression_list", ""},
    {"NumberFilter", 0, 1, 0x42, "comparison_type", ""},
    {"NumberFilter", 1, 2, 0x22, "match_as_float", ""},
    {"NumberFilter", 2, 3, 0x2002, "comparison_value", ""},
    {"NumberFilter", 3, 4, 0x2002, "min_comparison_value", ""},
    {"NumberFilter", 4, 5, 0x2002, "max_comparison_value", ""},
    {"DataControl", 0, 1, 0x2002, "name", ""},
    {"DataControl", 1, 2, 0x4008, "opt_out_regions", "Region"},
    {"DataControl", 2, 3, 0x22, "field_3", ""},
    {"Region", 0, 1, 0x2002, "field_1", ""},
    {"Region", 1, 2, 0x2002, "field_2", ""},
    {"ConsentConfig", 0, 1, 0x4008, "defaults", "ConsentDefaultEntry"},
    {"ConsentConfig", 1, 2, 0x4008, "delegations", "ConsentDelegationEntry"},
    {"ConsentConfig", 2, 3, 0x4008, "core_platform_services", "CorePlatformServiceEntry"},
    {"ConsentConfig", 3, 4, 0x22, "dma_region", ""},
    {"ConsentConfig", 4, 5, 0x4008, "enforced_defaults", "ConsentDefaultEntry"},
    {"ConsentDefaultEntry", 0, 1, 0x42, "consent_type", ""},
    {"ConsentDefaultEntry", 1, 2, 0x42, "consent_value", ""},
    {"ConsentDefaultEntry", 2, 3, 0x42, "field_3", ""},
    {"ConsentDelegationEntry", 0, 1, 0x42, "consent_type", ""},
    {"ConsentDelegationEntry", 1, 2, 0x42, "delegate_type", ""},
    {"CorePlatformServiceEntry", 0, 1, 0x2002, "service", ""},
    {"CorePlatformServiceEntry", 1, 2, 0x2002, "field_2", ""},
    {"PsmSetting", 0, 1, 0x82, "prefix_email", ""},
    {"PsmSetting", 1, 2, 0x82, "prefix_phone", ""},
    {"PsmSetting", 2, 3, 0x82, "signin_delay", ""},
    {"SotmSetting", 0, 1, 0x2002, "upload_url", ""},
    {"SotmSetting", 1, 2, 0x2002, "server_info", ""},
    {"SotmSetting", 2, 3, 0x2002, "authorized_upload_url", ""},
    {"SotmSetting", 3, 4, 0x82, "rollout_percent", ""},
    {"SotmSetting", 4, 5, 0x2002, "field_5", ""},
    {"ExperimentRequest", 0, 1, 0x4002, "app_property", "AppProperty"},
    {"ExperimentRequest", 1, 2, 0x4008, "client_properties", "ClientProperty"},
    {"AppProperty", 0, 1, 0x2002, "platform", ""},
    {"AppProperty", 1, 2, 0x2002, "field_2", ""},
    {"AppProperty", 2, 3, 0x2002, "field_3", ""},
    {"AppProperty", 3, 4, 0x2002, "language", ""},
    {"AppProperty", 4, 5, 0x2002, "bundle_id", ""},
    {"AppProperty", 5, 6, 0x22, "from_app_store", ""},
    {"AppProperty", 6, 7, 0x202, "sdk_version", ""},
    {"ClientProperty", 0, 1, 0x2002, "name", ""},
    {"ClientProperty", 1, 2, 0x2002, "diversion_id", ""},
    {"ClientProperty", 2, 3, 0x202, "version", ""},
    {"ClientProperty", 3, 4, 0x2002, "app_id", ""},
    {"ClientProperty", 4, 5, 0x4008, "custom_properties", "CustomProperty"},
    {"CustomProperty", 0, 1, 0x2002, "key", ""},
    {"CustomProperty", 1, 2, 0x2002, "value", ""},
    {"ExperimentResponse", 0, 1, 0x4008, "snapshots", "Snapshot"},
    {"ExperimentResponse", 1, 2, 0x4008, "sdk_responses", "SdkResponse"},
    {"SdkResponse", 0, 1, 0x2002, "name", ""},
    {"SdkResponse", 1, 2, 0x42, "error_code", ""},
    {"SdkResponse", 2, 3, 0x4002, "snapshot", "Snapshot"},
    {"Snapshot", 0, 1, 0x2002, "name", ""},
    {"Snapshot", 1, 2, 0x4008, "experiments", "Experiment"},
    {"Experiment", 0, 1, 0x82, "experiment_id", ""},
    {"Experiment", 1, 2, 0x4008, "flags", "Flag"},
    {"Flag", 0, 1, 0x2002, "name", ""},
    {"Flag", 1, 2, 0x202, "int_value", ""},
    {"Flag", 2, 3, 0x2002, "string_value", ""},
    {"Flag", 3, 4, 0x1002, "double_value", ""},
    {"Flag", 4, 5, 0x22, "bool_value", ""},
    {"Program", 0, 1, 0x4008, "instructions", "RuntimeEntity"},
    {"Program", 1, 2, 0x4002, "ogt_activities", "OgtActivities"},
    {"OgtActivities", 0, 1, 0x4008, "activities", "OgtActivity"},
    {"OgtActivity", 0, 1, 0x2002, "name", ""},
    {"OgtActivity", 1, 2, 0x4008, "data", "RuntimeEntity"},
    {"RuntimeEntity", 0, 1, 0x42, "type", ""},
    {"RuntimeEntity", 1, 2, 0x4008, "value", "RuntimeEntity"},
    {"RuntimeEntity", 2, 3, 0x2002, "statement", ""},
    {"RuntimeEntity", 3, 4, 0x2002, "string_value", ""},
    {"RuntimeEntity", 4, 5, 0x22, "boolean_value", ""},
    {"RuntimeEntity", 5, 6, 0x1002, "number_value", ""},
    {"SkAdNetworkConversionValueRequest", 0, 1, 0x202, "library_version", ""},
    {"SkAdNetworkConversionValueRequest", 1, 2, 0x2002, "app_id", ""},
    {"SkAdNetworkConversionValueRequest", 2, 3, 0x2002, "app_instance_id", ""},
    {"SkAdNetworkConversionValueRequest", 3, 4, 0x2002, "skan_version", ""},
    {"SkAdNetworkConversionValueRequest", 4, 5, 0x202, "evaluation_event_time_millis", ""},
    {"SkAdNetworkConversionValueRequest", 5, 6, 0x202, "last_uploaded_event_timestamp_millis", ""},
    {"SkAdNetworkConversionValueResponse", 0, 1, 0x42, "status", ""},
    {"SkAdNetworkConversionValueResponse", 1, 2, 0x2002, "detail", ""},
    {"SkAdNetworkConversionValueResponse", 2, 3, 0x82, "fine_value", ""},
    {"SkAdNetworkConversionValueResponse", 3, 4, 0x42, "coarse_value", ""},
    {"SkAdNetworkConversionValueResponse", 4, 5, 0x22, "lock_window", ""},
    {"SkAdNetworkConversionValueResponse", 5, 6, 0x202, "expiry_timestamp_millis", ""},
    {"SkAdNetworkConversionValueResponse", 6, 7, 0x202, "evaluation_event_time_millis", ""},
    {"SkAdNetworkConversionValueResponse", 7, 8, 0x202, "update_backoff_millis", ""},
};

TEST(MessageLayouts, EveryFieldHasTheDocumentedSlotTagTypeAndName) {
  std::map<std::string, uint32_t> fieldCount;
  for (const FieldRow& row : kFields) {
    SCOPED_TRACE(std::string(row.message) + "." + row.name);
    ++fieldCount[row.message];
    const NANOMessageLayout* layout = messagetest::layoutNamed(row.message);
    ASSERT_NE(layout, nullptr);
    ASSERT_LT(row.slot, layout->slotCount);
    EXPECT_EQ(layout->codes[row.slot], row.code);
    EXPECT_EQ(layout->fields[row.slot].tag, row.tag);
    EXPECT_STREQ(layout->fields[row.slot].name, row.name);
    EXPECT_EQ(layout->slotOfTag(row.tag), static_cast<int>(row.slot));
    if (row.subMessage[0] != '\0') {
      ASSERT_NE(layout->fields[row.slot].message, nullptr);
      EXPECT_STREQ(layout->fields[row.slot].message->name, row.subMessage);
    } else {
      EXPECT_EQ(layout->fields[row.slot].message, nullptr);
    }
  }
  EXPECT_EQ(fieldCount.size(), 48u);
  for (const auto* layout : messagetest::allLayouts()) {
    EXPECT_EQ(fieldCount[layout->name], layout->slotCount) << layout->name;
    EXPECT_EQ(std::string("APMPB") + layout->name, layout->className);
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
