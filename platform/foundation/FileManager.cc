#include "platform/foundation/FileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "platform/foundation/FileSystem.h"

namespace platform {

namespace {

absl::Status errnoStatus(int error, std::string_view operation, const std::filesystem::path& path) {
  std::string message = std::string(operation) + " " + path.string() + ": " + std::strerror(error);
  switch (error) {
    case ENOENT:
      return absl::NotFoundError(message);
    case EACCES:
    case EPERM:
    case EROFS:
      return absl::PermissionDeniedError(message);
    case EEXIST:
      return absl::AlreadyExistsError(message);
    case EISDIR:
    case ENOTDIR:
    case ENOTEMPTY:
      return absl::FailedPreconditionError(message);
    case ENOTSUP:
      return absl::UnimplementedError(message);
    case ENOSPC:
    case EDQUOT:
      return absl::ResourceExhaustedError(message);
    default:
      return absl::InternalError(message);
  }
}

absl::Status errorCodeStatus(const std::error_code& error, std::string_view operation,
                             const std::filesystem::path& path) {
  return errnoStatus(error.value(), operation, path);
}

// Writes all of `data`, retrying short writes and interruptions. A write that takes nothing
// without saying why would loop for ever: it counts as an I/O error.
bool writeAll(FileSystem& files, int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = files.write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Flushes a folder's entries (new items, renames) to disk. Every failure is an error, since
// what was written may then be lost, except a filesystem that cannot flush folders at all
// (EINVAL): there nothing more can be done.
absl::Status syncFolder(FileSystem& files, const std::filesystem::path& folder) {
  int fd = files.open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return errnoStatus(errno, "Cannot flush folder", folder);
  int result = files.fsync(fd);
  int error = errno;
  files.close(fd);
  if (result != 0 && error != EINVAL) return errnoStatus(error, "Cannot flush folder", folder);
  return absl::OkStatus();
}

}  // namespace

FileManager& FileManager::defaultManager() {
  // Never destroyed: queue threads and exit handlers may use it until the process ends.
  static auto* manager = new FileManager();
  return *manager;
}

bool FileManager::fileExistsAtPath(const std::filesystem::path& path) const {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

bool FileManager::directoryExistsAtPath(const std::filesystem::path& path) const {
  std::error_code ignored;
  return std::filesystem::is_directory(path, ignored);
}

absl::Status FileManager::createDirectoryAtPath(const std::filesystem::path& path,
                                                bool withIntermediateDirectories) const {
  std::error_code error;
  if (withIntermediateDirectories) {
    // The deepest folder that exists already: every folder below it on the way to `path`
    // is new, and each new entry must be flushed into the folder that holds it.
    std::filesystem::path existing = path.parent_path();
    while (!existing.empty() && existing != existing.root_path() &&
           !directoryExistsAtPath(existing)) {
      existing = existing.parent_path();
    }
    bool created = std::filesystem::create_directories(path, error);
    if (error) return errorCodeStatus(error, "Cannot create folder", path);
    if (!directoryExistsAtPath(path)) return errnoStatus(ENOTDIR, "Cannot create folder", path);
    if (!created) return absl::OkStatus();
    std::vector<std::filesystem::path> holders;
    for (std::filesystem::path folder = path.parent_path(); folder != existing && !folder.empty();
         folder = folder.parent_path()) {
      holders.push_back(folder);
    }
    holders.push_back(existing.empty() ? std::filesystem::path(".") : existing);
    std::shared_ptr<FileSystem> files = FileSystem::current();
    for (const auto& holder : holders) {
      if (auto status = syncFolder(*files, holder); !status.ok()) return status;
    }
    return absl::OkStatus();
  }
  if (!std::filesystem::create_directory(path, error)) {
    return errorCodeStatus(error ? error : std::make_error_code(std::errc::file_exists),
                           "Cannot create folder", path);
  }
  std::filesystem::path holder = path.parent_path();
  return syncFolder(*FileSystem::current(), holder.empty() ? std::filesystem::path(".") : holder);
}

absl::Status FileManager::removeItemAtPath(const std::filesystem::path& path) const {
  std::error_code error;
  auto status = std::filesystem::symlink_status(path, error);
  if (error && error != std::errc::no_such_file_or_directory) {
    return errorCodeStatus(error, "Cannot remove", path);
  }
  if (!std::filesystem::exists(status)) return errnoStatus(ENOENT, "Cannot remove", path);
  std::filesystem::remove_all(path, error);
  if (error) return errorCodeStatus(error, "Cannot remove", path);
  return absl::OkStatus();
}

absl::Status FileManager::moveItemAtPath(const std::filesystem::path& from,
                                         const std::filesystem::path& to) const {
  if (FileSystem::current()->rename(from.c_str(), to.c_str()) != 0) {
    return errnoStatus(errno, "Cannot move", from);
  }
  return absl::OkStatus();
}

absl::StatusOr<std::vector<std::string>> FileManager::contentsOfDirectoryAtPath(
    const std::filesystem::path& path) const {
  std::error_code error;
  std::filesystem::directory_iterator it(path, error);
  if (error) return errorCodeStatus(error, "Cannot list folder", path);
  std::vector<std::string> names;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) return errorCodeStatus(error, "Cannot list folder", path);
    names.push_back(it->path().filename().string());
  }
  if (error) return errorCodeStatus(error, "Cannot list folder", path);
  std::sort(names.begin(), names.end());
  return names;
}

absl::StatusOr<std::string> FileManager::contentsAtPath(const std::filesystem::path& path) const {
  std::shared_ptr<FileSystem> files = FileSystem::current();
  int fd = files->open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return errnoStatus(errno, "Cannot read", path);
  auto fail = [&](int error) {
    files->close(fd);
    return errnoStatus(error, "Cannot read", path);
  };
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(errno);
  if (S_ISDIR(info.st_mode)) return fail(EISDIR);
  std::string content;
  char buffer[65536];
  while (true) {
    ssize_t n = files->read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  files->close(fd);
  return content;
}

absl::Status FileManager::writeAtomically(const std::filesystem::path& path,
                                          std::string_view data) const {
  static std::atomic<unsigned> counter{0};
  std::shared_ptr<FileSystem> files = FileSystem::current();
  std::filesystem::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  std::filesystem::path temporary =
      folder / ("." + path.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                std::to_string(counter.fetch_add(1)));
  int fd = files->open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errnoStatus(errno, "Cannot write", path);
  // Every failure before the rename leaves the old file as it was and no temporary behind.
  auto fail = [&](int error, bool open) {
    if (open) files->close(fd);
    files->unlink(temporary.c_str());
    return errnoStatus(error, "Cannot write", path);
  };
  if (!writeAll(*files, fd, data)) return fail(errno, true);
  // A file excluded from backup stays excluded when its content is replaced.
  char flag[8];
  ssize_t flagLength = ::getxattr(path.c_str(), kExcludedFromBackupAttribute, flag, sizeof flag);
  if (flagLength > 0 && ::fsetxattr(fd, kExcludedFromBackupAttribute, flag,
                                    static_cast<size_t>(flagLength), 0) != 0) {
    return fail(errno, true);
  }
  if (files->fsync(fd) != 0) return fail(errno, true);
  if (files->close(fd) != 0) return fail(errno, false);
  if (files->rename(temporary.c_str(), path.c_str()) != 0) return fail(errno, false);
  // The rename is durable only once the folder itself is on disk. When that flush fails the
  // new content is in place but may not survive a crash: the caller hears of it.
  return syncFolder(*files, folder);
}

absl::Status FileManager::setExcludedFromBackup(const std::filesystem::path& path,
                                                bool excluded) const {
  if (excluded) {
    if (::setxattr(path.c_str(), kExcludedFromBackupAttribute, "1", 1, 0) != 0) {
      return errnoStatus(errno, "Cannot exclude from backup", path);
    }
    return absl::OkStatus();
  }
  if (::removexattr(path.c_str(), kExcludedFromBackupAttribute) != 0 && errno != ENODATA) {
    return errnoStatus(errno, "Cannot include in backup", path);
  }
  return absl::OkStatus();
}

absl::StatusOr<bool> FileManager::isExcludedFromBackup(const std::filesystem::path& path) const {
  char value[8];
  ssize_t n = ::getxattr(path.c_str(), kExcludedFromBackupAttribute, value, sizeof value);
  if (n >= 0) return n == 1 && value[0] == '1';
  if (errno == ENODATA) return false;
  return errnoStatus(errno, "Cannot read backup exclusion of", path);
}

}  // namespace platform
