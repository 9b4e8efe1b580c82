// A bundle is stored as the JSON its whole decoding gives, though its events are decoded one at
// a time: the same members in the same order, unknown fields included. What the page reads of a
// stored text is its start, cut between characters, NULs and bytes that are not UTF-8 included.
#include "tools/measurement-service/UploadStore.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/ProtobufWire.h"
#include "tools/apm-msg/MessageInspector.h"

namespace {

using testsupport::key;
using testsupport::lengthDelimited;
using testsupport::varint;

std::string varintField(uint32_t tag, uint64_t value) { return key(tag, 0) + varint(value); }

std::string event(const std::string& name, uint64_t timestamp, const std::string& extra = "") {
  return lengthDelimited(2, lengthDelimited(1, lengthDelimited(1, "p") + lengthDelimited(2, "v")) +
                                lengthDelimited(2, name) + varintField(3, timestamp) + extra);
}

TEST(UploadStoreTest, ABundleIsStoredAsItsWholeDecodingReadsIt) {
  struct Case {
    const char* name;
    std::string bundle;
  };
  const Case cases[] = {
      {"fields before, between and after the events",
       varintField(1, 1) + event("_e", 1700000000000) + lengthDelimited(8, "ios") +
           event("screen_view", 1700000001000) + lengthDelimited(3, lengthDelimited(2, "prop")) +
           lengthDelimited(14, "com.example")},
      {"unknown fields in the bundle and in an event",
       event("_e", 1, varintField(99, 7)) + varintField(1, 1) + varintField(200, 5)},
      {"no events", varintField(1, 1) + lengthDelimited(8, "ios")},
      {"events only", event("a", 1) + event("b", 2)},
  };
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("upload-store-test-" + std::to_string(::getpid()));
  std::filesystem::remove(file);
  {
    measurement_service::UploadStore store(file.string());
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      measurement_service::UploadSummary summary =
          store.record(lengthDelimited(1, c.bundle), "", 0);
      ASSERT_TRUE(summary.decoded) << summary.error;
      std::string error;
      auto whole =
          apmmsg::decodeToJson(*apmmsg::findMessage("MeasurementBundle"), c.bundle, &error);
      ASSERT_TRUE(whole) << error;
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
      sqlite3_stmt* statement = nullptr;
      sqlite3_prepare_v2(db, "SELECT bundle_json, event_count FROM bundles WHERE upload_id = ?", -1,
                         &statement, nullptr);
      sqlite3_bind_int64(statement, 1, summary.uploadID);
      ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
      EXPECT_EQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), whole->dump());
      EXPECT_EQ(
          sqlite3_column_int64(statement, 1),
          static_cast<int64_t>(whole->value("events", nlohmann::ordered_json::array()).size()));
      sqlite3_finalize(statement);
      sqlite3_close(db);
    }
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file.string() + suffix);
}

// A start is cut between characters and a NUL counts as one; bytes that are not UTF-8 still make
// characters of at most four bytes, so that a start is at most four bytes a character.
TEST(UploadStoreTest, ATextStartIsCutBetweenCharacters) {
  using namespace std::string_literals;
  struct Case {
    const char* name;
    std::string stored;
    int bound;
    std::string text;
    int64_t characters;
  } cases[] = {
      {"empty", "", 3, "", 0},
      {"whole", "abc", 3, "abc", 3},
      {"letters cut", "abcd", 3, "abc", 4},
      {"NULs count", "a\0b\0c"s, 3, "a\0b"s, 5},
      {"a NUL first", "\0\0\0\0"s, 2, "\0\0"s, 4},
      {"two-byte characters", "\u00e9\u00e9\u00e9", 2, "\u00e9\u00e9", 3},
      {"four-byte characters", "\U0001F600\U0001F600", 1, "\U0001F600", 2},
      {"a lead byte and ten continuing", "\xC3" + std::string(10, '\x80'), 1,
       "\xC3" + std::string(3, '\x80'), 3},
      {"continuing bytes first",
       "\x80\x80"
       "a",
       1, "\x80\x80", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const measurement_service::UploadStore::TextStart start =
        measurement_service::UploadStore::textStart(c.stored, c.bound);
    EXPECT_EQ(start.text, c.text);
    EXPECT_EQ(start.characters, c.characters);
    EXPECT_EQ(start.cut, c.text.size() < c.stored.size());
  }
}

}  // namespace
