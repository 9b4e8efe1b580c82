#include "platform/foundation/FileManager.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/foundation/AppContainer.h"
#include "tests/platform/foundation/FoundationTestSupport.h"

namespace {

using platform::AppContainer;
using platform::FileManager;

TEST(AppContainer, SetRootCreatesTheFolders) {
  foundationtest::TempDir dir;
  auto root = dir.path() / "container";
  ASSERT_TRUE(AppContainer::setRoot(root).ok());
  EXPECT_EQ(AppContainer::root(), root);
  EXPECT_EQ(AppContainer::preferencesDirectory(), root / "Library/Preferences");
  EXPECT_EQ(AppContainer::applicationSupportDirectory(), root / "Library/Application Support");
  EXPECT_EQ(AppContainer::temporaryDirectory(), root / "tmp");
  EXPECT_EQ(AppContainer::libraryDirectory(), root / "Library");
  FileManager& files = FileManager::defaultManager();
  EXPECT_TRUE(files.directoryExistsAtPath(AppContainer::preferencesDirectory()));
  EXPECT_TRUE(files.directoryExistsAtPath(AppContainer::applicationSupportDirectory()));
  EXPECT_TRUE(files.directoryExistsAtPath(AppContainer::temporaryDirectory()));
}

TEST(AppContainer, AFolderThatCannotBeCreatedKeepsThePreviousRoot) {
  foundationtest::TempDir dir;
  ASSERT_TRUE(AppContainer::setRoot(dir.path() / "good").ok());
  foundationtest::writeFile(dir.path() / "file", "x");
  EXPECT_FALSE(AppContainer::setRoot(dir.path() / "file" / "inside").ok());
  EXPECT_FALSE(AppContainer::setRoot("").ok());
  EXPECT_EQ(AppContainer::root(), dir.path() / "good");
}

TEST(FileManager, WritesReadsAndRemoves) {
  foundationtest::TempDir dir;
  FileManager& files = FileManager::defaultManager();
  auto path = dir.path() / "a.bin";
  std::string data("x\0y\xff", 4);
  ASSERT_TRUE(files.writeAtomically(path, data).ok());
  EXPECT_TRUE(files.fileExistsAtPath(path));
  EXPECT_EQ(*files.contentsAtPath(path), data);
  // Replacing leaves no temporary file behind.
  ASSERT_TRUE(files.writeAtomically(path, "second").ok());
  EXPECT_EQ(*files.contentsAtPath(path), "second");
  EXPECT_EQ(*files.contentsOfDirectoryAtPath(dir.path()), std::vector<std::string>{"a.bin"});
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  ASSERT_TRUE(files.removeItemAtPath(path).ok());
  EXPECT_FALSE(files.fileExistsAtPath(path));
  EXPECT_EQ(files.removeItemAtPath(path).code(), absl::StatusCode::kNotFound);
}

TEST(FileManager, CreatesAndRemovesFolders) {
  foundationtest::TempDir dir;
  FileManager& files = FileManager::defaultManager();
  auto deep = dir.path() / "a" / "b" / "c";
  EXPECT_FALSE(files.createDirectoryAtPath(deep, false).ok());
  ASSERT_TRUE(files.createDirectoryAtPath(deep, true).ok());
  EXPECT_TRUE(files.createDirectoryAtPath(deep, true).ok());
  EXPECT_EQ(files.createDirectoryAtPath(deep, false).code(), absl::StatusCode::kAlreadyExists);
  foundationtest::writeFile(deep / "f", "1");
  ASSERT_TRUE(files.removeItemAtPath(dir.path() / "a").ok());
  EXPECT_FALSE(files.fileExistsAtPath(dir.path() / "a"));
}

TEST(FileManager, MovesItems) {
  foundationtest::TempDir dir;
  FileManager& files = FileManager::defaultManager();
  foundationtest::writeFile(dir.path() / "from", "1");
  foundationtest::writeFile(dir.path() / "to", "2");
  ASSERT_TRUE(files.moveItemAtPath(dir.path() / "from", dir.path() / "to").ok());
  EXPECT_EQ(*files.contentsAtPath(dir.path() / "to"), "1");
  EXPECT_EQ(files.moveItemAtPath(dir.path() / "from", dir.path() / "x").code(),
            absl::StatusCode::kNotFound);
}

TEST(FileManager, UnreadableItemsGiveErrors) {
  foundationtest::TempDir dir;
  FileManager& files = FileManager::defaultManager();
  EXPECT_EQ(files.contentsAtPath(dir.path() / "missing").status().code(),
            absl::StatusCode::kNotFound);
  auto folderRead = files.contentsAtPath(dir.path());
  EXPECT_EQ(folderRead.status().code(), absl::StatusCode::kFailedPrecondition);
  EXPECT_NE(folderRead.status().message().find(dir.path().string()), std::string::npos);
  EXPECT_FALSE(files.contentsOfDirectoryAtPath(dir.path() / "missing").ok());
  // Writing into a missing folder fails and leaves nothing behind.
  EXPECT_EQ(files.writeAtomically(dir.path() / "missing" / "f", "x").code(),
            absl::StatusCode::kNotFound);
  // A folder in the way of the file.
  ASSERT_TRUE(files.createDirectoryAtPath(dir.path() / "d", false).ok());
  EXPECT_FALSE(files.writeAtomically(dir.path() / "d", "x").ok());
  EXPECT_TRUE(files.directoryExistsAtPath(dir.path() / "d"));
  EXPECT_EQ(*files.contentsOfDirectoryAtPath(dir.path()), std::vector<std::string>{"d"});
}

TEST(FileManager, BackupExclusionIsAnAttributeThatSurvivesRewrites) {
  foundationtest::TempDir dir;
  FileManager& files = FileManager::defaultManager();
  auto path = dir.path() / "prefs.plist";
  ASSERT_TRUE(files.writeAtomically(path, "1").ok());
  EXPECT_FALSE(*files.isExcludedFromBackup(path));
  ASSERT_TRUE(files.setExcludedFromBackup(path, true).ok());
  EXPECT_TRUE(*files.isExcludedFromBackup(path));
  ASSERT_TRUE(files.writeAtomically(path, "2").ok());
  EXPECT_TRUE(*files.isExcludedFromBackup(path));
  ASSERT_TRUE(files.setExcludedFromBackup(path, false).ok());
  EXPECT_FALSE(*files.isExcludedFromBackup(path));
  EXPECT_TRUE(files.setExcludedFromBackup(path, false).ok());

  EXPECT_EQ(files.setExcludedFromBackup(dir.path() / "missing", true).code(),
            absl::StatusCode::kNotFound);
  EXPECT_FALSE(files.isExcludedFromBackup(dir.path() / "missing").ok());
  // procfs refuses extended attributes.
  auto refused = files.setExcludedFromBackup("/proc/self/status", true);
  EXPECT_FALSE(refused.ok());
  EXPECT_FALSE(refused.message().empty());
}

}  // namespace
