#include "AppMeasurement/foundation/APMNameTables.h"

#include <unordered_set>

const APMNameTable& APMUserPropertyPublicToInternalNames() {
  static const APMNameTable& table = *new APMNameTable{
      {"kavrelin_last_notification", "_ln"}, {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},           {"oa_session_id", "_sid"},
      {"oa_session_number", "_sno"},         {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},   {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},    {"user_id", "_id"},
  };
  return table;
}

const APMNameTable& APMEventNameMap() {
  static const APMNameTable& table = *new APMNameTable{
      {"adunit_exposure", "_xu"},
      {"ad_activeview", "_aa"},
      {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},
      {"ad_impression", "_ai"},
      {"ad_query", "_aq"},
      {"ad_reward", "_ar"},
      {"app_clear_data", "_cd"},
      {"app_exception", "_ae"},
      {"app_remove", "_ui"},
      {"app_store_refund", "_asr"},
      {"app_store_subscription_cancel", "_asse"},
      {"app_store_subscription_convert", "_assc"},
      {"app_store_subscription_renew", "_assr"},
      {"app_update", "_au"},
      {"app_upgrade", "_ug"},
      {"first_open", "_f"},
      {"first_visit", "_v"},
      {"oa_campaign", "_cmp"},
      {"oa_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},
      {"notification_dismiss", "_nd"},
      {"notification_foreground", "_nf"},
      {"notification_open", "_no"},
      {"notification_receive", "_nr"},
      {"os_update", "_ou"},
      {"screen_view", "_vs"},
      {"session_start", "_s"},
      {"session_start_with_rollout", "_ssr"},
      {"user_engagement", "_e"},
      {"error", "_err"},
      {"kavrelin_campaign", "_cmp"},
  };
  return table;
}

const APMNameTable& APMInternalEventNameMap() {
  static const APMNameTable& table = *new APMNameTable([] {
    APMNameTable inverse;
    // "_cmp" has two public names; the display and the edit form use "oa_campaign".
    for (const auto& [publicName, internalName] : APMEventNameMap()) {
      inverse.emplace(internalName, publicName);
    }
    inverse["_cmp"] = "oa_campaign";
    return inverse;
  }());
  return table;
}

const APMNameTable& APMAllowedPublicEventNameMap() {
  static const APMNameTable& table = *new APMNameTable{{"ad_impression", "_ai"}};
  return table;
}

const APMNameTable& APMEventParameterNameMap() {
  static const APMNameTable& table = *new APMNameTable{
      {"ad_event_id", "_aeid"},
      {"ad_unit_id", "_ai"},
      {"app_in_background", "_aib"},
      {"customer_type", "_ct"},
      {"deferred_analytics_collection", "_dac"},
      {"engagement_time_msec", "_et"},
      {"exposure_time", "_xt"},
      {"kavrelin_conversion", "_c"},
      {"kavrelin_debug", "_dbg"},
      {"kavrelin_error", "_err"},
      {"kavrelin_error_length", "_el"},
      {"kavrelin_error_value", "_ev"},
      {"kavrelin_event_origin", "_o"},
      {"kavrelin_feature_rollouts", "_ffr"},
      {"kavrelin_previous_class", "_pc"},
      {"kavrelin_previous_id", "_pi"},
      {"kavrelin_previous_screen", "_pn"},
      {"kavrelin_realtime", "_r"},
      {"kavrelin_screen", "_sn"},
      {"kavrelin_screen_class", "_sc"},
      {"kavrelin_screen_id", "_si"},
      {"oa_conversion", "_c"},
      {"oa_debug", "_dbg"},
      {"oa_dedupe_id", "_did"},
      {"oa_error", "_err"},
      {"oa_error_length", "_el"},
      {"oa_error_value", "_ev"},
      {"oa_event_id", "_eid"},
      {"oa_event_name", "_en"},
      {"oa_event_origin", "_o"},
      {"oa_extra_params_ct", "_epc"},
      {"oa_group_name", "_gn"},
      {"oa_index", "_i"},
      {"oa_list_length", "_ll"},
      {"oa_previous_class", "_pc"},
      {"oa_previous_id", "_pi"},
      {"oa_previous_screen", "_pn"},
      {"oa_realtime", "_r"},
      {"oa_screen", "_sn"},
      {"oa_screen_class", "_sc"},
      {"oa_screen_id", "_si"},
      {"message_id", "_nmid"},
      {"message_name", "_nmn"},
      {"message_time", "_nmt"},
      {"message_tracking_id", "_nmtid"},
      {"message_type", "_nmc"},
      {"message_device_time", "_ndt"},
      {"previous_app_version", "_pv"},
      {"previous_first_open_count", "_pfo"},
      {"previous_rzq_app_id", "_przq"},
      {"previous_os_version", "_po"},
      {"session_id", "_sid"},
      {"session_number", "_sno"},
      {"topic", "_nt"},
      {"update_with_analytics", "_uwa"},
  };
  return table;
}

const std::map<int64_t, std::string>& APMErrorCodeNames() {
  static const std::map<int64_t, std::string> table = {
      {0, "NoError"},
      {1, "InvalidRZQAppID"},
      {2, "InvalidEventName"},
      {3, "InvalidParameterName"},
      {4, "InvalidParameterValue"},
      {5, "ParameterLimitReached"},
      {6, "InvalidUserPropertyName"},
      {7, "UserPropertyValueTooLong"},
      {8, "EventLimitReached"},
      {9, "UserPropertyLimitReached"},
      {10, "ConversionEventLimitReached"},
      {11, "EventIsBlocked"},
      {12, "UserPropertyIsBlocked"},
      {13, "EventNameIsReserved"},
      {14, "ParameterNameIsReserved"},
      {15, "UserPropertyNameIsReserved"},
      {16, "PublicEventLimitReached"},
      {17, "TooManyExtraParamEvents"},
      {18, "ValueIsNotNumeric"},
      {19, "CurrencyCodeIsMissingOrInvalid"},
      {20, "InvalidArrayParamName"},
      {21, "InvalidArrayParamEventName"},
      {22, "InvalidArrayParamNesting"},
      {23, "CustomParamsInArrayElement"},
      {28, "ItemScopedCustomParameterLimitReached"},
  };
  return table;
}

const APMNameSet& APMEcommerceEventNames() {
  static const APMNameSet& names = *new APMNameSet{
      "add_payment_info",
      "add_shipping_info",
      "add_to_cart",
      "add_to_wishlist",
      "begin_checkout",
      "purchase",
      "refund",
      "remove_from_cart",
      "select_item",
      "select_promotion",
      "view_cart",
      "view_item",
      "view_item_list",
      "view_promotion",
      "ecommerce_purchase",
      "checkout_progress",
      "purchase_refund",
      "select_content",
      "set_checkout_option",
      "view_search_results",
  };
  return names;
}

const APMNameSet& APMEcommerceParameterNames() {
  static const APMNameSet& names = *new APMNameSet{
      "affiliation",     "coupon",         "creative_name",
      "creative_slot",   "currency",       "discount",
      "index",           "item_id",        "item_brand",
      "item_category",   "item_category2", "item_category3",
      "item_category4",  "item_category5", "item_list_name",
      "item_list_id",    "item_name",      "item_variant",
      "location_id",     "payment_type",   "price",
      "promotion_id",    "promotion_name", "quantity",
      "shipping",        "shipping_tier",  "tax",
      "transaction_id",  "value",          "checkout_step",
      "checkout_option", "item_list",      "item_location_id",
  };
  return names;
}

namespace {

// Hash lookups over the sets above, for the sanitiser's per-key checks.
using NameLookup = std::unordered_set<std::string_view>;

NameLookup lookupOf(const APMNameSet& names) { return NameLookup(names.begin(), names.end()); }

}  // namespace

bool APMIsEcommerceEventName(std::string_view name) {
  static const NameLookup& lookup = *new NameLookup(lookupOf(APMEcommerceEventNames()));
  return lookup.contains(name);
}

bool APMIsEcommerceParameterName(std::string_view name) {
  static const NameLookup& lookup = *new NameLookup(lookupOf(APMEcommerceParameterNames()));
  return lookup.contains(name);
}

bool APMIsRevenueEventName(std::string_view name) {
  return name == "ecommerce_purchase" || name == "_f" || name == "_iap" || name == "purchase" ||
         name == "refund";
}

bool APMIsPurchaseEventName(std::string_view name) {
  return name == "_iap" || name == "purchase" || name == "ecommerce_purchase";
}
