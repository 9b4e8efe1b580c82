#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace measurement_service {

// What one received upload held, as the service recorded it.
struct UploadSummary {
  int64_t uploadID = 0;
  bool decoded = false;
  std::string error;      // why the body did not decode (decoded false)
  bool tooLarge = false;  // beyond what the library sends: too many bytes, bundles or events
                          // (decoded false)
  int bundles = 0;
  int repeatedBundles = 0;  // bundles seen in an earlier upload already
  int events = 0;
  // The bytes a gzip body was inflated to (maxInflated when it inflated further and was cut
  // there); 0 for a body that was not gzip.
  size_t inflatedBytes = 0;
};

// The uploads the service received, in a SQLite file any sqlite3 tool reads:
//   uploads(id, received_at, content_encoding, size, body, decoded, error, batch_json)
//     (batch_json: the batch's fields but its bundles, which are rows of `bundles`)
//   bundles(id, upload_id, position, app_id, app_instance_id, bundle_index, delivery_index,
//           identity, repeated, event_count, bundle_json)
//   events(id, bundle_id, position, name, timestamp_millis, params_json)
// (bundle_json and params_json: JSON text, or past kMaxKeptJsonBytes {"_not_kept": why}).
// A bundle is "repeated" when one with the same identity (app id, app instance id, bundle and
// delivery index, start and end time) arrived before: a client re-sending a batch it never saw
// answered. The store keeps at most maxStoredBytes of rows: past it the oldest uploads go
// (the latest always stays). Thread-safe.
class UploadStore {
 public:
  // What the library can put in one batch: its bundle count and events per bundle are settings
  // whose ceilings are these, and the batch's encoded size is at most kMaxBatchBytes. An event it
  // writes has a name and a timestamp (at least 12 bytes with its envelope), so no batch of its
  // holds kMaxEventsPerBatch events. A batch beyond any of these is refused whole, before it is
  // decoded: it bounds the rows (and so the time) one upload costs.
  static constexpr size_t kMaxBatchBytes = 10485760;
  static constexpr size_t kMaxBundlesPerBatch = 10000;
  static constexpr size_t kMaxEventsPerBundle = 1000000;
  static constexpr size_t kMaxEventsPerBatch = 1000000;
  // A bundle's fields besides its events: the library writes some seventy, its user properties,
  // one result per audience and the experiment identifiers.
  static constexpr size_t kMaxOtherFieldsPerBundle = 10000;
  // The batch's own fields besides its bundles (the library sets one short text at most).
  static constexpr size_t kMaxBatchFieldBytes = size_t{64} << 10;
  // The most JSON text kept for a bundle, or for an event's parameters. A control character is
  // six bytes of JSON, so 10 MiB on the wire could be 60 MiB of text, which costs its upload
  // several times that while it is stored: past this bound the row holds a note that says so
  // ({"_not_kept": "..."}), and the data stays in the upload's body. The library's bundles are
  // far within it (a batch is 64 KiB by default); the 10 MiB it may send of plain text is kept.
  static constexpr size_t kMaxKeptJsonBytes = size_t{16} << 20;

  // The start of a text a peer stored (a name, an app id, an error, a bundle's JSON), copied no
  // further than a bound: a peer's name may be megabytes, of which the page shows the start and
  // the length. A character is a byte that does not continue one with the bytes that continue
  // it, four at most (UTF-8's longest), so a start is never half a character and at most four
  // bytes a character whatever the bytes are; a NUL is a character like any other.
  struct TextStart {
    std::string text;        // at most the bound's characters
    int64_t characters = 0;  // of the whole text
    bool cut = false;        // `text` is only its start
  };
  // The first `bound` characters of `stored`, and how many it holds.
  static TextStart textStart(std::string_view stored, int bound);

  // One upload as the page of the service lists it, with its first bundles.
  struct BundleSummary {
    bool repeated = false;
    TextStart appID;
    int64_t bundleIndex = 0;
    int64_t eventCount = 0;
    std::vector<TextStart> eventNames;  // the first ones, in order
    std::string json;                   // the bundle's JSON, cut at a bound
    bool jsonCut = false;
  };
  struct UploadSummaryRow {
    int64_t id = 0;
    double receivedAt = 0;
    int64_t size = 0;
    std::optional<TextStart> error;  // why it was not decoded
    int64_t bundleCount = 0;
    std::vector<BundleSummary> bundles;  // at most the bound given
    // The bytes of the stored texts read for it: SQLite loads each whole, however little of it
    // is kept.
    size_t readBytes = 0;
  };
  // How much of each upload summaries() reads: the texts are cut in characters (TextStart), in
  // place where SQLite holds them, so that what is past a bound is never copied.
  struct SummaryBounds {
    int bundles = 20;               // of each upload
    int names = 50;                 // event names of each bundle
    int textCharacters = 256;       // of each name and app id
    int errorCharacters = 1024;     // of the reason an upload was not decoded
    int jsonCharacters = 16 << 10;  // of each bundle's JSON
  };

  static constexpr uint64_t kDefaultMaxStoredBytes = uint64_t{1} << 30;

  // Opens (creating when needed) the file. Throws std::runtime_error when it cannot.
  explicit UploadStore(const std::string& path, uint64_t maxStoredBytes = kDefaultMaxStoredBytes);
  ~UploadStore();
  UploadStore(const UploadStore&) = delete;
  UploadStore& operator=(const UploadStore&) = delete;

  // Records one upload body: gzip (by `contentEncoding` or its magic bytes) is inflated, to at
  // most `maxInflated` bytes, then the body is decoded as a MeasurementBatch. A body that does
  // not decode, or inflates further, is still kept (as received).
  // A batch beyond the bounds above is kept too, undecoded, with tooLarge set.
  UploadSummary record(const std::string& body, const std::string& contentEncoding,
                       double receivedAt, size_t maxInflated = kMaxBatchBytes);

  // The latest `limit` uploads with an id below `before` (0: the latest), newest first, each with
  // its bundles' JSON, as JSON text: [{"id", "received_at", "size", "decoded", "error"?,
  // "bundles": [{..., "_repeated"}]}]. Uploads are added while the text stays within `maxBytes`
  // (the first always); *more is the id to continue before when some were left out (else 0).
  std::string latestJson(int limit, int64_t before, size_t maxBytes, int64_t* more) const;

  // A page of uploads for people: hands `each` the uploads below `before` (0: from the latest),
  // newest first, each read within `bounds` and let go before the next is read, until `each`
  // answers false or `limit` were handed. Each upload is found by a seek on its id. The store is
  // locked throughout, so a page's reads wait for no upload stored between them (and the
  // uploads wait for one page): `each` must not call the store.
  void summaries(int limit, int64_t before, const SummaryBounds& bounds,
                 const std::function<bool(const UploadSummaryRow&)>& each) const;

 private:
  void exec(const char* sql) const;
  void rollback() const;
  int64_t insertUpload(const std::string& body, const std::string& contentEncoding,
                       double receivedAt, const UploadSummary& summary,
                       const std::string& batchJson);
  // Decodes and inserts the bundles (inside the caller's transaction); false with the reason in
  // summary->error when one does not decode.
  bool storeBundles(int64_t uploadID, const std::vector<std::string_view>& bundles,
                    UploadSummary* summary);
  // The bytes of the database's pages in use.
  int64_t storedBytes() const;
  // Deletes the oldest uploads until the store is within maxStoredBytes_.
  void trim();

  const uint64_t maxStoredBytes_;
  mutable std::mutex mutex_;
  sqlite3* db_ = nullptr;  // guarded by mutex_
};

}  // namespace measurement_service
