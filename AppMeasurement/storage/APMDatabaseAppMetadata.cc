// The app_metadata row, the stored remote configuration, purchase fingerprints, subscriptions
// and on-device measurement values of APMDatabase.

#include <algorithm>
#include <limits>

#include "AppMeasurement/storage/APMDatabase.h"
#include "AppMeasurement/storage/APMDatabaseColumns.h"
#include "platform/dispatch/Clock.h"

namespace {

using apm_database_columns::saturatedInt32;
using platform::Value;

constexpr int64_t kPurchaseFingerprintsKept = 1000;
constexpr int64_t kSubscriptionsKept = 1000;
constexpr int64_t kMaxODMValues = 10;

}  // namespace

// --- App metadata ---

std::optional<APMAppMetadata> APMDatabase::queryAppMetadata(APMErrorSlot* error) {
  checkSequence("queryAppMetadata");
  std::optional<APMAppMetadata> metadata;
  Value key(1);
  bool read = dataTypesFromTableWithName(
      kAppMetadataTable, "rowid", &key, error, [&](const APMSqliteRecord& record) {
        auto number = [&](std::string_view column) -> const Value* {
          auto it = record.find(column);
          return it != record.end() && it->second.isNumber() ? &it->second : nullptr;
        };
        const Value* index = number("last_bundle_index");
        const Value* end = number("last_bundle_end_timestamp");
        if (!APMCheckResult(index != nullptr && end != nullptr, error, 3,
                            "Received empty dictionary for getting app metadata"))
          return false;
        const Value* delivery = number("last_delivery_index");
        const Value* start = number("last_bundle_start_timestamp");
        metadata = APMAppMetadata::create(
            saturatedInt32(*index), delivery ? saturatedInt32(*delivery) : 0,
            start ? start->numberAsDouble().value_or(0) : 0.0, end->numberAsDouble().value_or(0));
        if (!APMCheckResult(metadata.has_value(), error, 3,
                            "Stored app metadata has a negative bundle index"))
          return false;
        return true;
      });
  if (!read) return std::nullopt;
  // No row at all is the same unusable record as a row without its values.
  if (!APMCheckResult(metadata.has_value(), error, 3,
                      "Received empty dictionary for getting app metadata"))
    return std::nullopt;
  return metadata;
}

bool APMDatabase::updateAppMetadataColumns(const APMSqliteRecord& record, APMErrorSlot* error) {
  refreshCaches();
  bool updated = updateDataType(record, kAppMetadataTable, "rowid", Value(1), error);
  // Only the daily-count columns are kept in memory; their writer stores them after this.
  bool touchesDailyCounts = std::any_of(record.begin(), record.end(), [](const auto& entry) {
    return entry.first == "day" || entry.first.starts_with("daily_");
  });
  if (touchesDailyCounts) caches_.dailyCounts.reset();
  acceptOwnChanges(APMDatabaseCaches::kAppMetadata);
  return updated;
}

bool APMDatabase::updateAppMetadata(const APMAppMetadata& appMetadata, APMErrorSlot* error) {
  checkSequence("updateAppMetadata");
  return updateAppMetadataColumns(
      {{"last_bundle_index", Value(appMetadata.lastBundleIndex())},
       {"last_delivery_index", Value(appMetadata.lastDeliveryIndex())},
       {"last_bundle_start_timestamp", Value(appMetadata.lastBundleStartTimestamp())},
       {"last_bundle_end_timestamp", Value(appMetadata.lastBundleEndTimestamp())}},
      error);
}

bool APMDatabase::updateRemoteConfig(const APMPBMeasurementConfig& config, APMErrorSlot* error) {
  checkSequence("updateRemoteConfig");
  std::optional<std::string> encoded = config.protoBuffer();
  if (!APMCheckResult(encoded && !encoded->empty(), error, 1, "Invalid measurement config data"))
    return false;
  std::optional<std::string> appID = NANOGetString(config, APMPBMeasurementConfig::kAppId);
  if (!APMCheckResult(appID && !appID->empty(), error, 1,
                      "Missing Orvane app ID in measurement configuration"))
    return false;
  return updateAppMetadataColumns(
      {{"remote_config_data", Value::bytes(std::move(*encoded))},
       {"remote_config_timestamp", Value(platform::Clock::current()->now())}},
      error);
}

bool APMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, APMErrorSlot* error) {
  checkSequence("updateRemoteConfigSuccessfulTimestamp");
  return updateAppMetadataColumns({{"remote_config_timestamp", Value(timestamp)}}, error);
}

std::optional<APMPBMeasurementConfig> APMDatabase::queryMeasurementConfigWithError(
    APMErrorSlot* error) {
  checkSequence("queryMeasurementConfigWithError");
  if (!requireStore(error)) return std::nullopt;
  auto records = sqliteStore_->recordsForQuery(
      "SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
  if (!records) return std::nullopt;
  if (records->empty()) return std::nullopt;
  auto it = records->front().find("remote_config_data");
  // An empty blob reads as an absent column: no configuration stored yet.
  if (it == records->front().end() || !it->second.isBytes()) return std::nullopt;
  std::optional<APMPBMeasurementConfig> config =
      APMPBMeasurementConfig::initWithBuffer(std::string_view(it->second.asBytes()->data));
  if (!APMCheckNonNil(config, error, 2, "Remote config data is corrupted")) return std::nullopt;
  return config;
}

std::optional<double> APMDatabase::lastRemoteConfigUpdateTimestamp(APMErrorSlot* error) {
  checkSequence("lastRemoteConfigUpdateTimestamp");
  if (!requireStore(error)) return std::nullopt;
  auto number = sqliteStore_->numberForQuery(
      "SELECT remote_config_timestamp FROM app_metadata LIMIT 1", {}, error);
  if (!number) return std::nullopt;
  return number->numberAsDouble();
}

// --- Purchases and subscriptions ---

std::optional<bool> APMDatabase::insertIfNotDuplicate(std::string_view table,
                                                      std::string_view column,
                                                      std::string_view value, bool trim,
                                                      APMErrorSlot* error) {
  if (value.empty()) return false;
  std::optional<bool> present =
      booleanForQuery("SELECT EXISTS (SELECT 1 FROM " + std::string(table) + " WHERE " +
                          std::string(column) + " = ? LIMIT 1)",
                      {Value(value)}, error);
  if (!present) return std::nullopt;
  if (*present) return false;
  if (!insertDataType({{std::string(column), Value(value)}}, table, error)) return std::nullopt;
  if (trim && !sqliteStore_->deleteRecordsFromTableWithName(
                  table,
                  "rowid IN (SELECT rowid FROM " + std::string(table) +
                      " ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
                  {Value(static_cast<long long>(kPurchaseFingerprintsKept))}, error)) {
    return std::nullopt;
  }
  return true;
}

std::optional<bool> APMDatabase::insertIfNotDuplicatePurchaseFingerprint(
    std::string_view fingerprint, APMErrorSlot* error) {
  checkSequence("insertIfNotDuplicatePurchaseFingerprint");
  return insertIfNotDuplicate(kPurchaseTransactionsTable, "fingerprint", fingerprint, true, error);
}

std::optional<bool> APMDatabase::insertIfNotDuplicateSubscriptionID(std::string_view subscriptionID,
                                                                    APMErrorSlot* error) {
  checkSequence("insertIfNotDuplicateSubscriptionID");
  return insertIfNotDuplicate(kSubscriptionsTable, "subscription_id", subscriptionID, false, error);
}

std::optional<int64_t> APMDatabase::deleteSubscriptionsOverLimit(APMErrorSlot* error) {
  checkSequence("deleteSubscriptionsOverLimit");
  if (!requireStore(error)) return std::nullopt;
  return sqliteStore_->deleteRecordsFromTableWithName(
      kSubscriptionsTable,
      "rowid IN (SELECT rowid FROM subscriptions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {Value(static_cast<long long>(kSubscriptionsKept))}, error);
}

// --- On-device measurement values ---

std::optional<APMSqliteRecord> APMDatabase::ODMValueWithName(std::string_view name,
                                                             APMErrorSlot* error) {
  checkSequence("ODMValueWithName");
  if (!APMCheckResult(!name.empty(), error, 1, "Received ODM value with empty name for query"))
    return std::nullopt;
  refreshCaches();
  if (auto it = caches_.odmValues.find(name); it != caches_.odmValues.end()) return it->second;
  std::optional<APMSqliteRecord> found;
  Value key(name);
  if (!dataTypesFromTableWithName(kODMValuesTable, "name", &key, error,
                                  [&](const APMSqliteRecord& record) {
                                    if (!found) found = record;
                                    return true;
                                  })) {
    return std::nullopt;
  }
  // The names asked for are a few fixed ones.
  if (caches_.odmValues.size() >= kMaxODMValues * 4) caches_.odmValues.clear();
  caches_.odmValues.emplace(name, found);
  return found;
}

bool APMDatabase::updateODMValue(std::string_view value, std::string_view name, double setTimestamp,
                                 APMErrorSlot* error) {
  checkSequence("updateODMValue");
  if (!APMCheckResult(!value.empty(), error, 1, "Received empty ODM value for update"))
    return false;
  if (!APMCheckResult(!name.empty(), error, 1, "Received ODM value with empty name for update"))
    return false;
  refreshCaches();
  bool updated = upsertDataType(
      {{"name", Value(name)}, {"value", Value(value)}, {"set_timestamp", Value(setTimestamp)}},
      kODMValuesTable, "name", Value(name), kMaxODMValues, error);
  if (auto it = caches_.odmValues.find(name); it != caches_.odmValues.end()) {
    caches_.odmValues.erase(it);
  }
  acceptOwnChanges(APMDatabaseCaches::kODMValues);
  return updated;
}

bool APMDatabase::deleteODMValueWithName(std::string_view name, APMErrorSlot* error) {
  checkSequence("deleteODMValueWithName");
  if (!APMCheckResult(!name.empty(), error, 1, "Received ODM value with empty name for delete"))
    return false;
  if (!requireStore(error)) return false;
  Value key(name);
  refreshCaches();
  bool deleted = sqliteStore_->deleteRecordFromTableWithName(kODMValuesTable, "name", &key, error);
  if (auto it = caches_.odmValues.find(name); it != caches_.odmValues.end()) {
    caches_.odmValues.erase(it);
  }
  acceptOwnChanges(APMDatabaseCaches::kODMValues);
  return deleted;
}
