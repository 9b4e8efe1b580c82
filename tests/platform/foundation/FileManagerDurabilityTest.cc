// Durability of what FileManager creates, checked against the system calls the program
// really makes: strace records them, and the test reads the order of mkdir, rename and
// fsync. A folder entry (a new folder, a renamed file) survives a crash only once the folder
// that holds it has been flushed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "tests/platform/foundation/FoundationTestSupport.h"

namespace {

using platform::FileManager;

constexpr const char* kTargetVariable = "KVL_DURABILITY_TARGET";

// What the traced child does: a file written into folders that do not exist yet.
TEST(FileManagerDurabilityChild, DISABLED_WritesIntoNewFolders) {
  const char* target = std::getenv(kTargetVariable);
  ASSERT_NE(target, nullptr);
  std::filesystem::path folder = std::filesystem::path(target) / "Library" / "Preferences";
  FileManager& files = FileManager::defaultManager();
  ASSERT_TRUE(files.createDirectoryAtPath(folder, true).ok());
  ASSERT_TRUE(files.writeAtomically(folder / "suite.plist", "content").ok());
}

struct TracedCall {
  enum Kind { kCreate, kRename, kSync } kind;
  std::string path;  // the folder created, the file renamed to, or the item flushed
};

// Reads strace's log: folder creations, renames and fsyncs with the paths they concern.
std::vector<TracedCall> readTrace(const std::filesystem::path& log) {
  static const std::regex kMkdir(R"re(\bmkdir(?:at)?\((?:AT_FDCWD, )?"([^"]*)".*= 0)re");
  static const std::regex kOpen(R"re(\bopenat\(AT_FDCWD, "([^"]*)".*= (\d+))re");
  static const std::regex kRename(
      R"re(\brename(?:at2?)?\((?:AT_FDCWD, )?"[^"]*", (?:AT_FDCWD, )?"([^"]*)".*= 0)re");
  static const std::regex kFsync(R"re(\bfsync\((\d+)\) += 0)re");
  std::vector<TracedCall> calls;
  std::map<std::string, std::string> openFiles;  // descriptor -> path (latest open)
  std::ifstream in(log);
  std::string line;
  std::smatch match;
  while (std::getline(in, line)) {
    if (std::regex_search(line, match, kMkdir)) {
      calls.push_back({TracedCall::kCreate, match[1]});
    } else if (std::regex_search(line, match, kOpen)) {
      openFiles[match[2]] = match[1];
    } else if (std::regex_search(line, match, kRename)) {
      calls.push_back({TracedCall::kRename, match[1]});
    } else if (std::regex_search(line, match, kFsync)) {
      calls.push_back({TracedCall::kSync, openFiles[match[1]]});
    }
  }
  return calls;
}

// Whether `folder` is flushed after the call at `index`.
bool syncedAfter(const std::vector<TracedCall>& calls, size_t index,
                 const std::filesystem::path& folder) {
  for (size_t i = index + 1; i < calls.size(); ++i) {
    if (calls[i].kind == TracedCall::kSync && std::filesystem::path(calls[i].path) == folder) {
      return true;
    }
  }
  return false;
}

TEST(FileManagerDurabilityTest, NewFoldersAndRenamedFilesAreFlushedIntoTheirParents) {
  if (std::system("strace -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  foundationtest::TempDir dir;
  std::filesystem::path log = dir.path() / "trace.log";
  std::filesystem::path target = dir.path() / "container";
  ASSERT_TRUE(FileManager::defaultManager().createDirectoryAtPath(target, false).ok());
  // The leak checker cannot run under ptrace: the child leaves it off.
  std::string command = std::string(kTargetVariable) + "='" + target.string() +
                        "' ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o '" + log.string() +
                        "' -e trace=mkdir,mkdirat,openat,rename,renameat,renameat2,fsync "
                        "/proc/" +
                        std::to_string(::getpid()) +
                        "/exe --gtest_also_run_disabled_tests "
                        "--gtest_filter=FileManagerDurabilityChild.* > /dev/null 2>&1";
  int status = std::system(command.c_str());
  if (status != 0 && !std::filesystem::exists(target / "Library")) {
    GTEST_SKIP() << "strace cannot trace here (exit status " << status << ")";
  }
  ASSERT_EQ(status, 0);
  std::vector<TracedCall> calls = readTrace(log);

  const std::filesystem::path library = target / "Library";
  const std::filesystem::path preferences = library / "Preferences";
  size_t creates = 0;
  size_t renames = 0;
  for (size_t i = 0; i < calls.size(); ++i) {
    std::filesystem::path path(calls[i].path);
    if (calls[i].kind == TracedCall::kCreate && (path == library || path == preferences)) {
      ++creates;
      EXPECT_TRUE(syncedAfter(calls, i, path.parent_path()))
          << "the new folder " << path << " is not flushed into " << path.parent_path();
    }
    if (calls[i].kind == TracedCall::kRename && path == preferences / "suite.plist") {
      ++renames;
      EXPECT_TRUE(syncedAfter(calls, i, preferences)) << "the rename is not flushed";
    }
  }
  EXPECT_EQ(creates, 2u);
  EXPECT_EQ(renames, 1u);
}

}  // namespace
