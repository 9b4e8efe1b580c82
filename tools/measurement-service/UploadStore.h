#pragma once

#include <sqlite3.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace measurement_service {

// What one received upload held, as the service recorded it.
struct UploadSummary {
  int64_t uploadID = 0;
  bool decoded = false;
  std::string error;      // why the body did not decode (decoded false)
  bool tooLarge = false;  // it inflated beyond the bound given (decoded false)
  int bundles = 0;
  int repeatedBundles = 0;  // bundles seen in an earlier upload already
  int events = 0;
};

// The uploads the service received, in a SQLite file any sqlite3 tool reads:
//   uploads(id, received_at, content_encoding, size, body, decoded, error, batch_json)
//   bundles(id, upload_id, position, app_id, app_instance_id, bundle_index, delivery_index,
//           identity, repeated, event_count, bundle_json)
//   events(id, bundle_id, position, name, timestamp_millis, params_json)
// A bundle is "repeated" when one with the same identity (app id, app instance id, bundle and
// delivery index, start and end time) arrived before: a client re-sending a batch it never saw
// answered. Thread-safe.
class UploadStore {
 public:
  // Opens (creating when needed) the file. Throws std::runtime_error when it cannot.
  explicit UploadStore(const std::string& path);
  ~UploadStore();
  UploadStore(const UploadStore&) = delete;
  UploadStore& operator=(const UploadStore&) = delete;

  // Records one upload body: gzip (by `contentEncoding` or its magic bytes) is inflated, to at
  // most `maxInflated` bytes, then the body is decoded as a MeasurementBatch. A body that does
  // not decode, or inflates further, is still kept (as received).
  UploadSummary record(const std::string& body, const std::string& contentEncoding,
                       double receivedAt, size_t maxInflated = size_t{10} << 20);

  // The latest `limit` uploads, newest first, each with its bundles' JSON.
  nlohmann::ordered_json latest(int limit) const;

 private:
  void exec(const char* sql) const;
  int64_t insertUpload(const std::string& body, const std::string& contentEncoding,
                       double receivedAt, const UploadSummary& summary,
                       const std::string& batchJson);

  mutable std::mutex mutex_;
  sqlite3* db_ = nullptr;  // guarded by mutex_
};

}  // namespace measurement_service
