#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "absl/status/status.h"
#include "absl/status/statusor.h"

namespace platform {

// The few file operations the program needs (the phone's file manager), with errors as
// values: NotFound for a missing item, PermissionDenied, FailedPrecondition for a wrong
// kind of item, Unimplemented where the filesystem does not support an operation,
// Internal for other system errors (ResourceExhausted for a full disk). Messages name the
// operation, the path and the system's error text. Reads, writes, flushes and renames go
// through the installed FileSystem (platform/foundation/FileSystem.h), which tests replace to
// inject faults. Thread-safe: the object holds no state.
class FileManager {
 public:
  static FileManager& defaultManager();

  bool fileExistsAtPath(const std::filesystem::path& path) const;
  bool directoryExistsAtPath(const std::filesystem::path& path) const;

  // Creates a folder; with `withIntermediateDirectories` its missing parents too, and an
  // existing folder is then no error. Every new folder is flushed into the folder that holds
  // it, so that it survives a crash; a failed flush is an error.
  absl::Status createDirectoryAtPath(const std::filesystem::path& path,
                                     bool withIntermediateDirectories) const;

  // Removes a file, or a folder with everything in it. A missing item is NotFound.
  absl::Status removeItemAtPath(const std::filesystem::path& path) const;

  // Renames an item; an existing file at the destination is replaced.
  absl::Status moveItemAtPath(const std::filesystem::path& from,
                              const std::filesystem::path& to) const;

  // The names of the items in a folder, sorted.
  absl::StatusOr<std::vector<std::string>> contentsOfDirectoryAtPath(
      const std::filesystem::path& path) const;

  // The whole content of a file.
  absl::StatusOr<std::string> contentsAtPath(const std::filesystem::path& path) const;

  // Replaces the file's content so that a crash leaves either the old or the new content:
  // writes a temporary file beside it, flushes it to disk, renames it over the file and
  // flushes the folder. The folder must exist. New files are readable by the owner only.
  // A file excluded from backup stays excluded. A failure up to the rename leaves the old
  // file untouched and no temporary file behind; a failed flush of the folder after the
  // rename is an error too (the new content is in place but may not survive a crash).
  absl::Status writeAtomically(const std::filesystem::path& path, std::string_view data) const;

  // Marks a file as excluded from (or included in) device backups, kept as an extended
  // attribute on the file. Unimplemented where the filesystem refuses extended attributes.
  absl::Status setExcludedFromBackup(const std::filesystem::path& path, bool excluded) const;
  absl::StatusOr<bool> isExcludedFromBackup(const std::filesystem::path& path) const;

  // The extended attribute that carries the backup exclusion.
  static constexpr const char* kExcludedFromBackupAttribute = "user.kavrelin.excluded-from-backup";
};

}  // namespace platform
