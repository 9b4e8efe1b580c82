#pragma once

#include <stdlib.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/AppContainer.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace storagetest {

// Runs a shell command and answers what it printed on standard output (standard error goes
// to the test's log); `status` receives the exit status.
inline std::string run(const std::string& command, int* status = nullptr) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  std::array<char, 4096> buffer;
  size_t read;
  while ((read = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    output.append(buffer.data(), read);
  int result = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return output;
}

inline std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The sqlite3 tool's answer to one statement on the file.
inline std::string sqliteTool(const std::filesystem::path& file, const std::string& sql) {
  return run("sqlite3 " + quoted(file.string()) + " " + quoted(sql) + " 2>&1");
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& data) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// A fresh app container under the temporary directory and virtual time; the database file
// of a test is "<Application Support>/Orvane/Measurement/test.sql".
class StorageTest : public ::testing::Test {
 protected:
  static constexpr const char* kName = "test.sql";

  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-storage-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    ASSERT_TRUE(platform::AppContainer::setRoot(base_ / "container").ok());
    path_ = APMApplicationSupportPath(kName);
  }

  void TearDown() override {
    database_.reset();
    platform::DispatchQueue::waitUntilIdle();
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }

  APMDatabase& open(std::shared_ptr<APMDatabaseSettings> settings = nullptr) {
    APMErrorSlot error;
    database_ = APMDatabase::create(kName, std::move(settings), &error);
    EXPECT_NE(database_, nullptr) << (error ? error->description() : "");
    return *database_;
  }

  // "ok" when SQLite's own tool finds the file sound.
  std::string integrityCheck() const { return sqliteTool(path_, "PRAGMA integrity_check"); }

  testsupport::DispatchTestEnvironment environment_;
  std::filesystem::path base_;
  std::filesystem::path path_;
  std::unique_ptr<APMDatabase> database_;
};

}  // namespace storagetest
