// The upload queue: what it stores (checked with the sqlite3 tool, gzip and protoc), how it
// hands bundles out by count and size, retry counting, and the stale-data purge.

#include <limits>

#include <gtest/gtest.h>

#include "AppMeasurement/storage/APMDatabase.h"
#include "tests/AppMeasurement/storage/StorageTestSupport.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::Value;
using storagetest::run;
using storagetest::sqliteTool;

class APMDatabaseQueueTest : public storagetest::StorageTest {
 protected:
  // A bundle whose encoding is exactly `size` bytes (padded through monitoring_data).
  APMPBMeasurementBundle bundle(size_t size, double endTimestamp = 1'700'000'000.0) {
    APMPBMeasurementBundle bundle;
    NANOSetString(bundle, APMPBMeasurementBundle::kAppId, "1:123:ios:abc");
    NANOSetInt64(bundle, APMPBMeasurementBundle::kEndTimestampMillis,
                 static_cast<int64_t>(endTimestamp * 1000));
    for (size_t padding = 0; padding < size; ++padding) {
      NANOSetString(bundle, APMPBMeasurementBundle::kMonitoringData, std::string(padding, 'p'));
      if (bundle.protoBuffer()->size() >= size) break;
    }
    EXPECT_EQ(bundle.protoBuffer()->size(), size);
    return bundle;
  }

  std::vector<int64_t> rowIDs(const std::vector<APMQueuedBundle>& bundles) {
    std::vector<int64_t> ids;
    for (const auto& b : bundles) ids.push_back(b.rowID);
    return ids;
  }
};

TEST_F(APMDatabaseQueueTest, StoredBlobsAreGzipOfEncodedBundlesThatProtocDecodes) {
  APMDatabase& database = open();
  APMPBMeasurementBundle stored = bundle(300);
  NANOSetInt32(stored, APMPBMeasurementBundle::kBundleIndex, 17);
  ASSERT_TRUE(database.insertBundle(stored, true, nullptr));
  database_.reset();

  std::filesystem::path blob = base_ / "bundle.gz";
  EXPECT_EQ(sqliteTool(path_, "SELECT writefile(" + storagetest::quoted(blob.string()) +
                                  ", data) > 0, bundle_end_timestamp, is_realtime, retry_count "
                                  "FROM queue"),
            "1|1700000000.0|1|0\n");
  int status = -1;
  std::string decoded =
      run("gzip -dc " + blob.string() + " | protoc --decode=apm.MeasurementBundle -I " +
              KVL_SOURCE_DIR "/proto " KVL_SOURCE_DIR "/proto/measurement_upload.proto",
          &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(decoded.find("app_id: \"1:123:ios:abc\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("end_timestamp_millis: 1700000000000"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("bundle_index: 17"), std::string::npos) << decoded;
  EXPECT_EQ(integrityCheck(), "ok\n");
}

TEST_F(APMDatabaseQueueTest, BundlesWithoutAppIDOrEndTimeAreRefused) {
  APMDatabase& database = open();
  APMPBMeasurementBundle noAppID = bundle(50);
  NANOClearField(noAppID, APMPBMeasurementBundle::kAppId);
  APMPBMeasurementBundle noEnd = bundle(50);
  NANOSetInt64(noEnd, APMPBMeasurementBundle::kEndTimestampMillis, 0);
  struct Case {
    const APMPBMeasurementBundle* bundle;
    const char* error;
  };
  APMPBMeasurementBundle empty;
  const Case cases[] = {{&noAppID, "Failed to insert bundle without App ID"},
                        {&noEnd, "Failed to insert bundle without valid timestamp"},
                        {&empty, "Failed to insert nil bundle"}};
  for (const Case& c : cases) {
    APMErrorSlot error;
    EXPECT_FALSE(database.insertBundle(*c.bundle, false, &error));
    EXPECT_EQ(error->localizedDescription(), c.error);
  }
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM queue"), "0\n");
}

TEST_F(APMDatabaseQueueTest, TheFirstBundleAlwaysGoesAndTheFirstThatDoesNotFitEndsTheWalk) {
  struct Case {
    std::vector<size_t> sizes;
    int64_t countLimit;
    int64_t sizeLimit;
    size_t taken;
  };
  const Case cases[] = {
      {{400, 700, 100}, 10, 1000, 1},  // the third is not tried after the second fails
      {{400, 500, 100}, 10, 1000, 3},  // exactly at the limit
      {{2000, 30}, 10, 1000, 1},       // a single oversized bundle still goes
      {{100, 100, 100}, 2, 1000, 2},   // the count limit
  };
  for (const Case& c : cases) {
    database_.reset();
    std::filesystem::remove_all(path_.parent_path());
    APMDatabase& database = open();
    for (size_t size : c.sizes) ASSERT_TRUE(database.insertBundle(bundle(size), false, nullptr));
    auto taken = database.queryBundlesWithCountLimit(c.countLimit, c.sizeLimit, nullptr);
    ASSERT_TRUE(taken);
    ASSERT_EQ(taken->size(), c.taken);
    for (size_t i = 0; i < taken->size(); ++i) {
      EXPECT_EQ((*taken)[i].bundle.protoBuffer()->size(), c.sizes[i]);
    }
  }
}

TEST_F(APMDatabaseQueueTest, UnreadableRowsAreSkippedListedAndKept) {
  APMDatabase& database = open();
  ASSERT_TRUE(database.insertBundle(bundle(60), false, nullptr));
  ASSERT_EQ(sqliteTool(path_,
                       "INSERT INTO queue (data, bundle_end_timestamp) VALUES "
                       "(X'00112233', 1.0), (X'1F8B0800000000000003FFFF', 2.0)"),
            "");
  ASSERT_TRUE(database.insertBundle(bundle(70), false, nullptr));
  testsupport::LogCapture log;
  APMUnreadableRows unreadable;
  auto taken = database.queryBundlesWithCountLimit(10, 100000, nullptr, &unreadable);
  ASSERT_TRUE(taken);
  platform::DispatchQueue::waitUntilIdle();
  EXPECT_FALSE(log.contains("I-ACS012019")) << "a skipped row is no line of its own";
  EXPECT_EQ(rowIDs(*taken), (std::vector<int64_t>{1, 4}));
  ASSERT_EQ(unreadable.size(), 2u);
  EXPECT_EQ(unreadable[0].rowID, 2);
  EXPECT_EQ(unreadable[1].rowID, 3);
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM queue"), "4\n");

  auto byID = database.queryBundlesWithRowIDs({2, 4}, nullptr);
  ASSERT_TRUE(byID);
  EXPECT_EQ(rowIDs(*byID), (std::vector<int64_t>{4}));
  ASSERT_TRUE(database.deleteBundlesWithRowIDs({1, 4}, nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT group_concat(rowid) FROM queue"), "2,3\n");
}

TEST_F(APMDatabaseQueueTest, RetryCountsRiseBelowTheLimitAndNullNeverCounts) {
  APMDatabase& database = open();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(database.insertBundle(bundle(40), false, nullptr));
  ASSERT_EQ(sqliteTool(path_,
                       "UPDATE queue SET retry_count = CASE rowid WHEN 2 THEN 2147483647 "
                       "WHEN 3 THEN NULL WHEN 4 THEN 5 ELSE retry_count END"),
            "");
  testsupport::LogCapture log;
  ASSERT_TRUE(database.incrementRetryCounterForBundlesWithIDs({1, 2, 3, 4}, nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT group_concat(quote(retry_count)) FROM queue"),
            "1,2147483647,NULL,6\n");
  platform::DispatchQueue::waitUntilIdle();
  EXPECT_TRUE(log.contains("I-ACS012054"));

  auto taken = database.queryBundlesWithRowIDs({1, 3}, nullptr);
  ASSERT_TRUE(taken && taken->size() == 2);
  EXPECT_EQ(NANOGetInt32((*taken)[0].bundle, APMPBMeasurementBundle::kRetryCount), 1);
  EXPECT_FALSE(NANOHasField((*taken)[1].bundle, APMPBMeasurementBundle::kRetryCount));

  APMErrorSlot error;
  EXPECT_FALSE(database.incrementRetryCounterForBundlesWithIDs({}, &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to increment retry counter");
}

TEST_F(APMDatabaseQueueTest, TheStalePurgeRunsOncePerIntervalAndRemovesBothDirections) {
  auto settings = std::make_shared<APMDatabaseSettings>();
  APMDatabase& database = open(settings);
  double now = environment_.now();
  double maxAge = settings->maxQueueTime();
  testsupport::LogCapture log;
  struct Row {
    double end;
    bool kept;
  };
  const Row rows[] = {{now, true},
                      {now - maxAge + 10, true},
                      {now - maxAge - 10, false},
                      {now + maxAge + 10, false}};
  for (const Row& row : rows)
    ASSERT_TRUE(database.insertBundle(bundle(40, row.end), false, nullptr));
  platform::DispatchQueue::waitUntilIdle();
  EXPECT_TRUE(log.contains("I-ACS012016"));

  EXPECT_EQ(database.maybeDeleteStaleData(nullptr), std::optional<bool>(true));
  EXPECT_EQ(sqliteTool(path_, "SELECT group_concat(rowid) FROM queue"), "1,2\n");
  EXPECT_EQ(settings->lastDeleteStaleBundlesTimestamp(), now);

  // Not due again until the interval has passed.
  ASSERT_TRUE(database.insertBundle(bundle(40, now - maxAge - 10), false, nullptr));
  environment_.advance(settings->databaseDeleteStaleBundlesInterval());
  EXPECT_EQ(database.maybeDeleteStaleData(nullptr), std::optional<bool>(false));
  environment_.advance(1);
  EXPECT_EQ(database.maybeDeleteStaleData(nullptr), std::optional<bool>(true));
  // A day later the second row is past the age too.
  EXPECT_EQ(sqliteTool(path_, "SELECT group_concat(rowid) FROM queue"), "1\n");

  APMErrorSlot error;
  EXPECT_FALSE(database.deleteStaleBundlesOlderThanMaxAge(-1, &error));
  EXPECT_EQ(error->localizedDescription(),
            "Cannot delete stale bundles after negative time period");
}

}  // namespace
