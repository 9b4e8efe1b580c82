#include "tools/measurement-service/UploadStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <memory>
#include <stdexcept>

#include "tools/apm-msg/MessageInspector.h"
#include "tools/measurement-service/BoundedJsonText.h"

namespace measurement_service {

using nlohmann::ordered_json;

namespace {

struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

Statement prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db) + " in " + sql);
  }
  return Statement(statement);
}

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void step(sqlite3* db, sqlite3_stmt* statement) {
  if (sqlite3_step(statement) != SQLITE_DONE) {
    throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db));
  }
}

// Reads a base-128 varint at `at`; false when the bytes end first or it runs over ten bytes.
bool readVarint(std::string_view bytes, size_t* at, uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 70 && *at < bytes.size(); shift += 7) {
    auto byte = static_cast<unsigned char>(bytes[(*at)++]);
    *value |= uint64_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// Calls `onField(number, raw, contents)` for each field of a message: `raw` is the whole field
// as encoded, `contents` what a length-delimited field holds (null for other fields). Answers
// false when the message is malformed (the decoder then says why) or onField answers false.
template <typename OnField>
bool forEachRawField(std::string_view message, OnField onField) {
  size_t at = 0;
  while (at < message.size()) {
    const size_t begin = at;
    uint64_t tag = 0;
    uint64_t value = 0;
    std::string_view contents;
    if (!readVarint(message, &at, &tag)) return false;
    switch (tag & 7) {
      case 0:
        if (!readVarint(message, &at, &value)) return false;
        break;
      case 1:
      case 5: {
        size_t width = (tag & 7) == 1 ? 8 : 4;
        if (message.size() - at < width) return false;
        at += width;
        break;
      }
      case 2:
        if (!readVarint(message, &at, &value) || value > message.size() - at) return false;
        contents = message.substr(at, value);
        at += value;
        break;
      default:
        return false;
    }
    if (!onField(tag >> 3, message.substr(begin, at - begin), contents)) return false;
  }
  return true;
}

// The length-delimited fields of a message, as forEachRawField.
template <typename OnField>
bool forEachField(std::string_view message, OnField onField) {
  return forEachRawField(message,
                         [&](uint64_t number, std::string_view, std::string_view contents) {
                           return !contents.data() || onField(number, contents);
                         });
}

// Why a batch is beyond what the library sends, from the wire alone (nothing is decoded), or ""
// when it is within the bounds or malformed (the decoder reports that).
std::string beyondTheLibrary(std::string_view batch) {
  size_t bundles = 0;
  size_t events = 0;
  std::string reason;
  forEachField(batch, [&](uint64_t number, std::string_view bundle) {
    if (number != 1) return true;  // MeasurementBatch.bundles
    if (++bundles > UploadStore::kMaxBundlesPerBatch) {
      reason = "more than " + std::to_string(UploadStore::kMaxBundlesPerBatch) + " bundles";
      return false;
    }
    size_t inBundle = 0;
    size_t others = 0;
    forEachRawField(bundle, [&](uint64_t field, std::string_view, std::string_view contents) {
      if (field != 2 || !contents.data()) {  // not one of MeasurementBundle.events
        return ++others <= UploadStore::kMaxOtherFieldsPerBundle;
      }
      ++events;
      return ++inBundle <= UploadStore::kMaxEventsPerBundle &&
             events <= UploadStore::kMaxEventsPerBatch;
    });
    if (inBundle > UploadStore::kMaxEventsPerBundle) {
      reason =
          "a bundle of more than " + std::to_string(UploadStore::kMaxEventsPerBundle) + " events";
    } else if (events > UploadStore::kMaxEventsPerBatch) {
      reason = "more than " + std::to_string(UploadStore::kMaxEventsPerBatch) + " events";
    } else if (others > UploadStore::kMaxOtherFieldsPerBundle) {
      reason = "a bundle of more than " + std::to_string(UploadStore::kMaxOtherFieldsPerBundle) +
               " fields besides its events";
    }
    return reason.empty();
  });
  return reason.empty() ? "" : "a batch of " + reason + " is beyond what the library sends";
}

std::string textOf(const ordered_json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end()) return "";
  return it->is_string() ? it->get<std::string>() : it->dump();
}

}  // namespace

UploadStore::UploadStore(const std::string& path, uint64_t maxStoredBytes)
    : maxStoredBytes_(maxStoredBytes) {
  // Uploads carry app instance ids and user ids: only the user may read them. A new file is
  // made 0600 before SQLite opens it (SQLite gives its WAL and shared-memory files the
  // database file's mode); the files of an older run are narrowed by path.
  if (std::filesystem::exists(path)) {
    for (const char* suffix : {"", "-wal", "-shm"}) (void)::chmod((path + suffix).c_str(), 0600);
  } else if (int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
             fd >= 0) {
    ::close(fd);
  }
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw std::runtime_error("cannot open " + path + ": " + reason);
  }
  exec("PRAGMA journal_mode=WAL");
  exec("PRAGMA synchronous=NORMAL");
  // The log is cut back after each checkpoint rather than kept at its largest.
  exec("PRAGMA journal_size_limit=67108864");
  exec(
      "CREATE TABLE IF NOT EXISTS uploads(id INTEGER PRIMARY KEY, received_at REAL NOT NULL,"
      " content_encoding TEXT, size INTEGER NOT NULL, body BLOB NOT NULL,"
      " decoded INTEGER NOT NULL, error TEXT, batch_json TEXT)");
  exec(
      "CREATE TABLE IF NOT EXISTS bundles(id INTEGER PRIMARY KEY, upload_id INTEGER NOT NULL,"
      " position INTEGER NOT NULL, app_id TEXT, app_instance_id TEXT, bundle_index INTEGER,"
      " delivery_index INTEGER, identity TEXT NOT NULL, repeated INTEGER NOT NULL,"
      " event_count INTEGER NOT NULL, bundle_json TEXT NOT NULL)");
  exec("CREATE INDEX IF NOT EXISTS bundles_identity ON bundles(identity)");
  exec("CREATE INDEX IF NOT EXISTS bundles_upload ON bundles(upload_id, position)");
  exec(
      "CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY, bundle_id INTEGER NOT NULL,"
      " position INTEGER NOT NULL, name TEXT, timestamp_millis INTEGER, params_json TEXT)");
  exec("CREATE INDEX IF NOT EXISTS events_bundle ON events(bundle_id, position)");
}

UploadStore::~UploadStore() { sqlite3_close(db_); }

void UploadStore::rollback() const {
  // A failed statement (a full disk) may have ended the transaction already: the error that
  // matters is that one, not this.
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void UploadStore::exec(const char* sql) const {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string reason = message ? message : "unknown error";
    sqlite3_free(message);
    throw std::runtime_error("sqlite: " + reason + " in " + sql);
  }
}

UploadSummary UploadStore::record(const std::string& body, const std::string& contentEncoding,
                                  double receivedAt, size_t maxInflated) {
  UploadSummary summary;
  std::string inflatedBody;  // the payload when the body was gzip
  std::string_view payload = body;
  bool gzipped = contentEncoding == "gzip" ||
                 (body.size() >= 2 && static_cast<unsigned char>(body[0]) == 0x1f &&
                  static_cast<unsigned char>(body[1]) == 0x8b);
  if (gzipped) {
    std::optional<std::string> inflated = apmmsg::gunzip(body, &summary.error, maxInflated);
    if (inflated) {
      inflatedBody = std::move(*inflated);
      payload = inflatedBody;
    }
    summary.tooLarge = !inflated && summary.error.find("inflates beyond") != std::string::npos;
    summary.inflatedBytes = inflated ? inflatedBody.size() : summary.tooLarge ? maxInflated : 0;
  }
  if (summary.error.empty() && payload.size() > maxInflated) {
    summary.error = "a batch of " + std::to_string(payload.size()) + " bytes is beyond the " +
                    std::to_string(maxInflated) + " the library sends";
    summary.tooLarge = true;
  }
  if (summary.error.empty()) {
    summary.error = beyondTheLibrary(payload);
    summary.tooLarge = !summary.error.empty();
  }
  // The batch is decoded a bundle at a time, each stored and let go before the next: what one
  // upload holds in memory is its largest bundle, not the whole batch.
  std::vector<std::string_view> bundles;
  std::optional<ordered_json> head;  // the batch's other fields
  if (summary.error.empty()) {
    std::string rest;
    size_t wellFormed = 0;  // the bytes before the first malformed field
    bool split = forEachRawField(
        payload, [&](uint64_t number, std::string_view raw, std::string_view contents) {
          if (number == 1 && !contents.data()) return false;  // bundles, not length-delimited
          wellFormed = static_cast<size_t>(raw.data() + raw.size() - payload.data());
          if (number == 1) {
            bundles.push_back(contents);
          } else {
            rest += raw;
          }
          return true;
        });
    const NANOMessageLayout& batchLayout = *apmmsg::findMessage("MeasurementBatch");
    if (!split) {
      // Not decoded whole to say why: what comes before the fault may be a million events.
      bundles.clear();
      summary.error = std::string("cannot decode ") + batchLayout.name +
                      ": malformed field after byte " + std::to_string(wellFormed);
    } else if (rest.size() > kMaxBatchFieldBytes) {
      summary.error = "a batch whose fields besides its bundles take over " +
                      std::to_string(kMaxBatchFieldBytes) +
                      " bytes is beyond what the library sends";
      summary.tooLarge = true;
    } else {
      head = apmmsg::decodeToJson(batchLayout, rest, &summary.error);
    }
  }

  std::lock_guard<std::mutex> lock(mutex_);
  if (head) {
    exec("BEGIN IMMEDIATE");
    try {
      summary.decoded = true;
      summary.uploadID = insertUpload(body, contentEncoding, receivedAt, summary, head->dump());
      if (!storeBundles(summary.uploadID, bundles, &summary)) {
        rollback();
        summary = UploadSummary{0, false, summary.error, false, 0, 0, 0};
      } else {
        exec("COMMIT");
      }
    } catch (...) {
      rollback();
      throw;
    }
  }
  if (!summary.decoded) {
    exec("BEGIN IMMEDIATE");
    try {
      summary.uploadID = insertUpload(body, contentEncoding, receivedAt, summary, "");
      exec("COMMIT");
    } catch (...) {
      rollback();
      throw;
    }
  }
  trim();
  return summary;
}

namespace {

// The slot of the field named `name` in `layout`, or slotCount when it has none.
uint32_t slotNamed(const NANOMessageLayout& layout, std::string_view name) {
  for (uint32_t slot = 0; slot < layout.slotCount; ++slot) {
    if (name == layout.fields[slot].name) return slot;
  }
  return layout.slotCount;
}

// What a row holds in place of a JSON text past the bound, or one that memory ran out for:
// why, and where the data is.
std::string notKept(const char* what, const BoundedJsonText& text) {
  const std::string why =
      text.failed()
          ? "JSON text not kept (memory ran out after " + std::to_string(text.bytes()) + " bytes)"
          : "JSON text of " + std::to_string(text.bytes()) + " bytes not kept (over " +
                std::to_string(UploadStore::kMaxKeptJsonBytes) + ")";
  return ordered_json{
      {"_not_kept", why + ": the " + what + " is in its upload's body (uploads.body), as received"}}
      .dump();
}

// Steps `statement` with `text` bound at `index` without a copy (a bundle's text may be tens of
// MiB), then lets go of it.
void stepWithText(sqlite3* db, sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  try {
    step(db, statement);
  } catch (...) {
    sqlite3_bind_null(statement, index);
    throw;
  }
  sqlite3_bind_null(statement, index);
}

}  // namespace

bool UploadStore::storeBundles(int64_t uploadID, const std::vector<std::string_view>& bundles,
                               UploadSummary* summary) {
  const NANOMessageLayout& bundleLayout = *apmmsg::findMessage("MeasurementBundle");
  const uint32_t eventsSlot = slotNamed(bundleLayout, "events");
  const NANOMessageLayout& eventLayout = *bundleLayout.fields[eventsSlot].message;
  const uint64_t eventsTag = bundleLayout.fields[eventsSlot].tag;
  Statement seen = prepare(db_, "SELECT 1 FROM bundles WHERE identity = ? LIMIT 1");
  Statement addBundle =
      prepare(db_,
              "INSERT INTO bundles(upload_id, position, app_id, app_instance_id, bundle_index,"
              " delivery_index, identity, repeated, event_count, bundle_json)"
              " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, '')");
  Statement setBundleJson = prepare(db_, "UPDATE bundles SET bundle_json = ? WHERE id = ?");
  Statement addEvent =
      prepare(db_,
              "INSERT INTO events(bundle_id, position, name, timestamp_millis, params_json)"
              " VALUES(?, ?, ?, ?, ?)");
  int position = 0;
  for (std::string_view bytes : bundles) {
    // The bundle is decoded without its events, then each event on its own, stored and let go:
    // a bundle of a million tiny events decoded whole is a million messages and JSON objects at
    // once (some 800 MiB), where one at a time it costs the text of its JSON.
    const std::string where = "bundles[" + std::to_string(position) + "]: ";
    std::string others;
    size_t eventCount = 0;
    size_t malformedAt = 0;
    bool split = forEachRawField(
        bytes, [&](uint64_t number, std::string_view raw, std::string_view contents) {
          malformedAt = static_cast<size_t>(raw.data() + raw.size() - bytes.data());
          if (number == eventsTag && contents.data()) {
            ++eventCount;
          } else {
            others += raw;
          }
          return true;
        });
    if (!split) {
      summary->error = where + "cannot decode " + bundleLayout.name +
                       ": malformed field after byte " + std::to_string(malformedAt);
      return false;
    }
    std::string error;
    std::optional<ordered_json> bundle = apmmsg::decodeToJson(bundleLayout, others, &error);
    std::string().swap(others);  // decoded: its copy of the fields goes before the text grows
    if (!bundle) {
      summary->error = where + error;
      return false;
    }
    std::string identity =
        textOf(*bundle, "app_id") + "|" + textOf(*bundle, "app_instance_id") + "|" +
        textOf(*bundle, "bundle_index") + "|" + textOf(*bundle, "delivery_index") + "|" +
        textOf(*bundle, "start_timestamp_millis") + "|" + textOf(*bundle, "end_timestamp_millis");
    sqlite3_reset(seen.get());
    bindText(seen.get(), 1, identity);
    bool repeated = sqlite3_step(seen.get()) == SQLITE_ROW;

    sqlite3_reset(addBundle.get());
    sqlite3_bind_int64(addBundle.get(), 1, uploadID);
    sqlite3_bind_int(addBundle.get(), 2, position++);
    bindText(addBundle.get(), 3, textOf(*bundle, "app_id"));
    bindText(addBundle.get(), 4, textOf(*bundle, "app_instance_id"));
    sqlite3_bind_int64(addBundle.get(), 5, bundle->value("bundle_index", int64_t{0}));
    sqlite3_bind_int64(addBundle.get(), 6, bundle->value("delivery_index", int64_t{0}));
    bindText(addBundle.get(), 7, identity);
    sqlite3_bind_int(addBundle.get(), 8, repeated ? 1 : 0);
    sqlite3_bind_int64(addBundle.get(), 9, static_cast<int64_t>(eventCount));
    step(db_, addBundle.get());
    int64_t bundleID = sqlite3_last_insert_rowid(db_);

    // The bundle's JSON text, written as its whole decoding would write it: its other fields
    // in slot order around "events", which are decoded, stored and written one at a time.
    BoundedJsonText text(kMaxKeptJsonBytes);
    bool firstMember = true;
    auto members = [&](bool beforeEvents) {
      for (const auto& [key, value] : bundle->items()) {
        if ((slotNamed(bundleLayout, key) < eventsSlot) != beforeEvents) continue;
        text.append(firstMember ? "" : ",");
        firstMember = false;
        text.appendJson(ordered_json(key));
        text.append(":");
        text.appendJson(value);
      }
    };
    text.append("{");
    members(true);
    if (eventCount > 0) {
      text.append(firstMember ? "\"events\":[" : ",\"events\":[");
      firstMember = false;
    }
    int eventPosition = 0;
    bool decoded =
        forEachRawField(bytes, [&](uint64_t number, std::string_view, std::string_view contents) {
          if (number != eventsTag || !contents.data()) return true;
          std::optional<ordered_json> event = apmmsg::decodeToJson(eventLayout, contents, &error);
          if (!event) {
            error = where + "events[" + std::to_string(eventPosition) + "]: " + error;
            return false;
          }
          BoundedJsonText params(kMaxKeptJsonBytes);
          if (auto found = event->find("params"); found != event->end()) {
            params.appendJson(*found);
          } else {
            params.append("[]");
          }
          sqlite3_reset(addEvent.get());
          sqlite3_bind_int64(addEvent.get(), 1, bundleID);
          sqlite3_bind_int(addEvent.get(), 2, eventPosition);
          bindText(addEvent.get(), 3, textOf(*event, "name"));
          sqlite3_bind_int64(addEvent.get(), 4, event->value("timestamp_millis", int64_t{0}));
          stepWithText(db_, addEvent.get(), 5,
                       params.whole() ? params.text() : notKept("event", params));
          text.append(eventPosition++ > 0 ? "," : "");
          text.appendJson(*event);
          return true;
        });
    if (!decoded) {
      summary->error = error;
      return false;
    }
    if (eventCount > 0) text.append("]");
    members(false);
    text.append("}");
    sqlite3_reset(setBundleJson.get());
    sqlite3_bind_int64(setBundleJson.get(), 2, bundleID);
    stepWithText(db_, setBundleJson.get(), 1, text.whole() ? text.text() : notKept("bundle", text));
    ++summary->bundles;
    summary->repeatedBundles += repeated ? 1 : 0;
    summary->events += static_cast<int>(eventCount);
  }
  return true;
}

int64_t UploadStore::storedBytes() const {
  auto number = [this](const char* pragma) {
    Statement statement = prepare(db_, pragma);
    return sqlite3_step(statement.get()) == SQLITE_ROW ? sqlite3_column_int64(statement.get(), 0)
                                                       : int64_t{0};
  };
  return (number("PRAGMA page_count") - number("PRAGMA freelist_count")) *
         number("PRAGMA page_size");
}

void UploadStore::trim() {
  while (storedBytes() > static_cast<int64_t>(maxStoredBytes_)) {
    Statement oldest = prepare(db_, "SELECT min(id), count(*) FROM uploads");
    if (sqlite3_step(oldest.get()) != SQLITE_ROW || sqlite3_column_int64(oldest.get(), 1) <= 1) {
      return;  // the latest upload stays, whatever its size
    }
    const int64_t id = sqlite3_column_int64(oldest.get(), 0);
    exec("BEGIN IMMEDIATE");
    try {
      for (const char* sql :
           {"DELETE FROM events WHERE bundle_id IN (SELECT id FROM bundles WHERE upload_id = ?)",
            "DELETE FROM bundles WHERE upload_id = ?", "DELETE FROM uploads WHERE id = ?"}) {
        Statement remove = prepare(db_, sql);
        sqlite3_bind_int64(remove.get(), 1, id);
        step(db_, remove.get());
      }
      exec("COMMIT");
    } catch (...) {
      rollback();
      throw;
    }
  }
}

int64_t UploadStore::insertUpload(const std::string& body, const std::string& contentEncoding,
                                  double receivedAt, const UploadSummary& summary,
                                  const std::string& batchJson) {
  Statement insert = prepare(
      db_,
      "INSERT INTO uploads(received_at, content_encoding, size, body, decoded, error, batch_json)"
      " VALUES(?, ?, ?, ?, ?, ?, ?)");
  sqlite3_bind_double(insert.get(), 1, receivedAt);
  bindText(insert.get(), 2, contentEncoding);
  sqlite3_bind_int64(insert.get(), 3, static_cast<int64_t>(body.size()));
  // A zero-length blob still binds as a blob, never as NULL.
  sqlite3_bind_blob(insert.get(), 4, body.empty() ? "" : body.data(), static_cast<int>(body.size()),
                    SQLITE_TRANSIENT);
  sqlite3_bind_int(insert.get(), 5, summary.decoded ? 1 : 0);
  if (summary.decoded) {
    sqlite3_bind_null(insert.get(), 6);
    bindText(insert.get(), 7, batchJson);
  } else {
    bindText(insert.get(), 6, summary.error);
    sqlite3_bind_null(insert.get(), 7);
  }
  step(db_, insert.get());
  return sqlite3_last_insert_rowid(db_);
}

namespace {

// The stored JSON of a bundle with its "_repeated" member added, as text.
std::string withRepeated(std::string_view bundleJson, bool repeated) {
  std::string text(bundleJson);
  const char* member = repeated ? "\"_repeated\":true}" : "\"_repeated\":false}";
  if (text.size() < 2 || text.back() != '}') return "{" + std::string(member);
  text.pop_back();
  if (text.find_first_not_of(" \n", 1) != std::string::npos) text += ',';
  return text + member;
}

std::string columnText(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(statement, column)))
              : std::string();
}

// The newest id a listing "below `before`" (0: from the newest) may show: a bound on the id,
// so that SQLite seeks to it rather than going through every newer upload, as
// "?1 = 0 OR id < ?1" made it do.
int64_t newestIDBelow(int64_t before) {
  return before > 0 ? before - 1 : std::numeric_limits<int64_t>::max();
}

}  // namespace

std::string UploadStore::latestJson(int limit, int64_t before, size_t maxBytes,
                                    int64_t* more) const {
  std::lock_guard<std::mutex> lock(mutex_);
  *more = 0;
  Statement list = prepare(db_,
                           "SELECT id, received_at, size, decoded, error FROM uploads"
                           " WHERE id <= ?1 ORDER BY id DESC LIMIT ?2");
  Statement bundles = prepare(db_,
                              "SELECT repeated, bundle_json FROM bundles WHERE upload_id = ?"
                              " ORDER BY position");
  sqlite3_bind_int64(list.get(), 1, newestIDBelow(before));
  sqlite3_bind_int(list.get(), 2, limit);
  std::string out = "[";
  bool first = true;
  while (sqlite3_step(list.get()) == SQLITE_ROW) {
    int64_t id = sqlite3_column_int64(list.get(), 0);
    if (!first && out.size() > maxBytes) {
      *more = id + 1;
      break;
    }
    ordered_json head;
    head["id"] = id;
    head["received_at"] = sqlite3_column_double(list.get(), 1);
    head["size"] = sqlite3_column_int64(list.get(), 2);
    head["decoded"] = sqlite3_column_int(list.get(), 3) != 0;
    if (sqlite3_column_type(list.get(), 4) != SQLITE_NULL)
      head["error"] = columnText(list.get(), 4);
    std::string upload = head.dump();
    upload.pop_back();
    upload += ",\"bundles\":[";
    sqlite3_reset(bundles.get());
    sqlite3_bind_int64(bundles.get(), 1, id);
    bool firstBundle = true;
    while (sqlite3_step(bundles.get()) == SQLITE_ROW) {
      if (!firstBundle) upload += ',';
      firstBundle = false;
      upload += withRepeated(columnText(bundles.get(), 1), sqlite3_column_int(bundles.get(), 0));
    }
    out += (first ? "\n" : ",\n") + upload + "]}";
    first = false;
  }
  return out + "\n]";
}

UploadStore::TextStart UploadStore::textStart(std::string_view stored, int bound) {
  TextStart start;
  size_t kept = 0;    // the bytes of the first `bound` characters
  size_t length = 0;  // the bytes of the character being counted
  for (size_t at = 0; at < stored.size(); ++at) {
    const bool continues = (static_cast<unsigned char>(stored[at]) & 0xC0) == 0x80;
    if (at == 0 || !continues || length == 4) {
      if (start.characters++ == bound) kept = at;
      length = 0;
    }
    ++length;
  }
  start.cut = start.characters > bound;
  start.text.assign(stored.substr(0, start.cut ? kept : stored.size()));
  return start;
}

namespace {

// The text of `column` as SQLite holds it for the row, with no copy; empty for NULL.
std::string_view storedText(sqlite3_stmt* statement, int column) {
  const void* bytes = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  return bytes ? std::string_view(static_cast<const char*>(bytes), static_cast<size_t>(size))
               : std::string_view();
}

// The start of `column` within `bound`, its bytes counted to what the row read.
UploadStore::TextStart readTextStart(sqlite3_stmt* statement, int column, int bound,
                                     size_t* readBytes) {
  const std::string_view stored = storedText(statement, column);
  *readBytes += stored.size();
  return UploadStore::textStart(stored, bound);
}

}  // namespace

void UploadStore::summaries(int limit, int64_t before, const SummaryBounds& bounds,
                            const std::function<bool(const UploadSummaryRow&)>& each) const {
  std::lock_guard<std::mutex> lock(mutex_);
  // The texts are read whole as SQLite holds them and cut here: its own text functions
  // (length, substr) stop at a NUL, which a peer's name may hold.
  Statement list = prepare(db_,
                           "SELECT id, received_at, size, error,"
                           " (SELECT count(*) FROM bundles WHERE upload_id = uploads.id)"
                           " FROM uploads WHERE id <= ?1 ORDER BY id DESC LIMIT ?2");
  Statement bundles = prepare(db_,
                              "SELECT id, repeated, app_id, bundle_index, event_count, bundle_json"
                              " FROM bundles WHERE upload_id = ?1 ORDER BY position LIMIT ?2");
  Statement names = prepare(db_,
                            "SELECT name FROM events WHERE bundle_id = ?1 ORDER BY position"
                            " LIMIT ?2");
  sqlite3_bind_int64(list.get(), 1, newestIDBelow(before));
  sqlite3_bind_int(list.get(), 2, limit);
  while (sqlite3_step(list.get()) == SQLITE_ROW) {
    UploadSummaryRow row;
    row.id = sqlite3_column_int64(list.get(), 0);
    row.receivedAt = sqlite3_column_double(list.get(), 1);
    row.size = sqlite3_column_int64(list.get(), 2);
    if (sqlite3_column_type(list.get(), 3) != SQLITE_NULL) {
      row.error = readTextStart(list.get(), 3, bounds.errorCharacters, &row.readBytes);
    }
    row.bundleCount = sqlite3_column_int64(list.get(), 4);
    sqlite3_reset(bundles.get());
    sqlite3_bind_int64(bundles.get(), 1, row.id);
    sqlite3_bind_int(bundles.get(), 2, bounds.bundles);
    while (sqlite3_step(bundles.get()) == SQLITE_ROW) {
      BundleSummary bundle;
      bundle.repeated = sqlite3_column_int(bundles.get(), 1) != 0;
      bundle.appID = readTextStart(bundles.get(), 2, bounds.textCharacters, &row.readBytes);
      bundle.bundleIndex = sqlite3_column_int64(bundles.get(), 3);
      bundle.eventCount = sqlite3_column_int64(bundles.get(), 4);
      TextStart json = readTextStart(bundles.get(), 5, bounds.jsonCharacters, &row.readBytes);
      bundle.json = std::move(json.text);
      bundle.jsonCut = json.cut;
      sqlite3_reset(names.get());
      sqlite3_bind_int64(names.get(), 1, sqlite3_column_int64(bundles.get(), 0));
      sqlite3_bind_int(names.get(), 2, bounds.names);
      while (sqlite3_step(names.get()) == SQLITE_ROW) {
        bundle.eventNames.push_back(
            readTextStart(names.get(), 0, bounds.textCharacters, &row.readBytes));
      }
      row.bundles.push_back(std::move(bundle));
    }
    if (!each(row)) return;
  }
}

}  // namespace measurement_service
