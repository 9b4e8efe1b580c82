// A request body stays in memory up to 256 KiB and past that, given a folder, is kept in a file
// there that has no name: read back whole, and gone once taken or dropped.
#include "tools/loopback-http/SpillingBody.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

namespace {

using loopback::SpillingBody;

// The descriptors of this process open on files of `folder` that have no name.
size_t unnamedFilesIn(const std::filesystem::path& folder) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec && target.rfind(folder.string() + "/", 0) == 0 &&
        target.find(" (deleted)") != std::string::npos) {
      ++count;
    }
  }
  return count;
}

class SpillingBodyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() / ("kvl-spilling-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    folderText_ = folder_.string();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::filesystem::path folder_;
  std::string folderText_;
};

TEST_F(SpillingBodyTest, KeepsALargeBodyInAnUnnamedFileAndReadsItBackWhole) {
  constexpr size_t kMemory = SpillingBody::kInMemoryBytes;
  struct Case {
    const char* name;
    size_t bytes;
    bool folder;
    bool onDisk;
  };
  const Case cases[] = {
      {"empty", 0, true, false},
      {"exactly what stays in memory", kMemory, true, false},
      {"one byte past it", kMemory + 1, true, true},
      {"3 MiB", size_t{3} << 20, true, true},
      {"3 MiB without a folder", size_t{3} << 20, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string sent(c.bytes, '\0');
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 4096);
    SpillingBody::value_type body;
    if (c.folder) body.keepLargeIn(&folderText_);
    for (size_t at = 0; at < sent.size(); at += 10000) {
      ASSERT_TRUE(body.append(sent.data() + at, std::min<size_t>(10000, sent.size() - at)));
    }
    EXPECT_EQ(body.size(), c.bytes);
    EXPECT_EQ(body.onDisk(), c.onDisk);
    EXPECT_EQ(unnamedFilesIn(folder_), c.onDisk ? 1u : 0u);
    EXPECT_TRUE(std::filesystem::is_empty(folder_)) << "no name in the folder";
    SpillingBody::value_type moved = std::move(body);
    EXPECT_EQ(moved.take(), sent);
    EXPECT_EQ(unnamedFilesIn(folder_), 0u) << "the file went once the body was taken";
  }
  // Dropped untaken (its connection cut): the file goes with it.
  {
    SpillingBody::value_type body;
    body.keepLargeIn(&folderText_);
    const std::string piece(kMemory + 1, 'x');
    ASSERT_TRUE(body.append(piece.data(), piece.size()));
    EXPECT_EQ(unnamedFilesIn(folder_), 1u);
  }
  EXPECT_EQ(unnamedFilesIn(folder_), 0u);
}

// A body the disk does not take fails, with the reason, rather than being cut short silently.
TEST_F(SpillingBodyTest, ABodyThatCannotBeKeptFailsWithItsReason) {
  const std::string missing = (folder_ / "gone").string();
  SpillingBody::value_type body;
  body.keepLargeIn(&missing);
  const std::string piece(SpillingBody::kInMemoryBytes, 'x');
  EXPECT_TRUE(body.append(piece.data(), piece.size()));
  EXPECT_FALSE(body.append("y", 1));
  EXPECT_EQ(body.writeError(), ENOENT);
}

}  // namespace
