// FileManager under a failing disk: every fault is an error naming the path and the system's
// reason, and the file that was there before stays as it was.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/foundation/FileManager.h"
#include "tests/platform/foundation/FoundationTestSupport.h"
#include "tests/support/FaultInjectingFileSystem.h"

namespace {

using platform::FileManager;
using testsupport::FaultInjectingFileSystem;
using Call = FaultInjectingFileSystem::Call;

class FileManagerFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = dir_.path() / "state.plist";
    foundationtest::writeFile(file_, "old content");
  }

  // The names in the folder, so that a test can see no temporary file was left behind.
  std::vector<std::string> folderContents() const {
    return *FileManager::defaultManager().contentsOfDirectoryAtPath(dir_.path());
  }

  foundationtest::TempDir dir_;
  std::filesystem::path file_;
  std::shared_ptr<FaultInjectingFileSystem> faults_ = std::make_shared<FaultInjectingFileSystem>();
  FaultInjectingFileSystem::Installed installed_{faults_};
};

struct FaultCase {
  const char* name;
  Call call;
  int nth;
  int error;  // 0: the write is short instead (`shortBytes`)
  size_t shortBytes;
  std::string pathPart;  // "" any path; "tmp" the temporary file
  absl::StatusCode code;
  const char* reason;
  bool shortFirst = false;  // the first write is short (3 bytes) before the fault
};

TEST_F(FileManagerFaultTest, WriteAtomicallyFailsCleanlyAtEveryStep) {
  const FaultCase cases[] = {
      {"no space on write", Call::kWrite, 1, ENOSPC, 0, "", absl::StatusCode::kResourceExhausted,
       "No space left on device"},
      {"short write, then no space", Call::kWrite, 2, ENOSPC, 0, "",
       absl::StatusCode::kResourceExhausted, "No space left on device", true},
      {"write takes nothing", Call::kWrite, 1, 0, 0, "", absl::StatusCode::kInternal,
       "Input/output error"},
      {"I/O error on flushing the file", Call::kSync, 1, EIO, 0, "tmp", absl::StatusCode::kInternal,
       "Input/output error"},
      {"no space on open", Call::kOpen, 1, ENOSPC, 0, "tmp", absl::StatusCode::kResourceExhausted,
       "No space left on device"},
      {"I/O error on close", Call::kClose, 1, EIO, 0, "tmp", absl::StatusCode::kInternal,
       "Input/output error"},
      {"I/O error on rename", Call::kRename, 1, EIO, 0, "", absl::StatusCode::kInternal,
       "Input/output error"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.shortFirst) faults_->shortenWrite(1, 3);
    if (c.error == 0) {
      faults_->shortenWrite(c.nth, c.shortBytes, c.pathPart);
    } else {
      faults_->failCall(c.call, c.nth, c.error, c.pathPart);
    }
    absl::Status status =
        FileManager::defaultManager().writeAtomically(file_, std::string(100000, 'n'));
    EXPECT_EQ(status.code(), c.code) << status;
    EXPECT_NE(status.message().find(c.reason), std::string_view::npos) << status;
    EXPECT_NE(status.message().find(file_.string()), std::string_view::npos) << status;
    EXPECT_EQ(foundationtest::readFile(file_), "old content");
    EXPECT_EQ(folderContents(), std::vector<std::string>{"state.plist"});
  }
}

TEST_F(FileManagerFaultTest, ShortWritesAreResumedToTheEnd) {
  faults_->shortenWrite(1, 1);
  faults_->shortenWrite(1, 7);  // the second write
  const std::string content(70000, 'x');
  ASSERT_TRUE(FileManager::defaultManager().writeAtomically(file_, content).ok());
  EXPECT_EQ(foundationtest::readFile(file_), content);
  EXPECT_GE(faults_->count(Call::kWrite), 3u);
}

TEST_F(FileManagerFaultTest, AFailedFolderFlushIsAnErrorNotSuccess) {
  const std::string folder = "/" + dir_.path().filename().string();
  // The folder's own flush: its path ends in the folder's name, the file's does not.
  faults_->failCall(Call::kSync, 2, EIO);
  absl::Status status = FileManager::defaultManager().writeAtomically(file_, "new content");
  EXPECT_EQ(status.code(), absl::StatusCode::kInternal) << status;
  EXPECT_NE(status.message().find("Cannot flush folder " + dir_.path().string()),
            std::string_view::npos)
      << status;
  // It mattered: the rename never reached the disk, so a power cut brings the old file back.
  faults_->dropUnsyncedData();
  EXPECT_EQ(foundationtest::readFile(file_), "old content");

  faults_->failCall(Call::kOpen, 1, EACCES, folder);
  status = FileManager::defaultManager().createDirectoryAtPath(dir_.path() / "a" / "b", true);
  EXPECT_EQ(status.code(), absl::StatusCode::kPermissionDenied) << status;
}

TEST_F(FileManagerFaultTest, WhatWriteAtomicallyReturnedSurvivesAPowerCut) {
  ASSERT_TRUE(FileManager::defaultManager().writeAtomically(file_, "new content").ok());
  ASSERT_TRUE(FileManager::defaultManager().writeAtomically(dir_.path() / "fresh", "fresh").ok());
  faults_->dropUnsyncedData();
  EXPECT_EQ(foundationtest::readFile(file_), "new content");
  EXPECT_EQ(foundationtest::readFile(dir_.path() / "fresh"), "fresh");

  // The wrapper does drop what was never flushed: a plain write comes undone.
  auto files = platform::FileSystem::current();
  int fd = files->open(file_.c_str(), O_WRONLY | O_TRUNC, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(files->write(fd, "lost", 4), 4);
  files->close(fd);
  faults_->dropUnsyncedData();
  EXPECT_EQ(foundationtest::readFile(file_), "new content");
}

TEST_F(FileManagerFaultTest, ReadErrorsAreReported) {
  faults_->failCall(Call::kRead, 1, EIO);
  auto content = FileManager::defaultManager().contentsAtPath(file_);
  EXPECT_EQ(content.status().code(), absl::StatusCode::kInternal);
  EXPECT_NE(content.status().message().find("Cannot read " + file_.string()),
            std::string_view::npos);
  EXPECT_EQ(*FileManager::defaultManager().contentsAtPath(file_), "old content");
}

}  // namespace
