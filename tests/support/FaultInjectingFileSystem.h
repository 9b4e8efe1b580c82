#pragma once

#include <fcntl.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/foundation/FileSystem.h"

namespace testsupport {

// A file system over the real one that fails chosen calls and can forget what was never
// flushed, as a full disk, a failing device or a power cut would.
//
// - failCall: the nth call (1 = the next) of a kind, among those on a path containing
//   `pathPart`, fails with the errno given and does nothing.
// - shortenWrite: the nth write writes at most `bytes` bytes and says so (a short write).
// - dropUnsyncedData: every file goes back to what it held at its last fsync; files and
//   renames whose folder was not flushed since are undone. Removals count as durable.
//
// Install it with Installed (below) for the scope of a test. Thread-safe.
class FaultInjectingFileSystem : public platform::FileSystem {
 public:
  enum class Call { kOpen, kRead, kWrite, kSync, kClose, kRename, kUnlink };

  explicit FaultInjectingFileSystem(
      std::shared_ptr<platform::FileSystem> base = platform::FileSystem::posix())
      : base_(std::move(base)) {}

  void failCall(Call call, int nth, int error, std::string pathPart = "") {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back({call, nth, error, 0, std::move(pathPart)});
  }
  void shortenWrite(int nth, size_t bytes, std::string pathPart = "") {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back({Call::kWrite, nth, 0, bytes, std::move(pathPart)});
  }
  // Calls of the kind made so far (failed ones included).
  size_t count(Call call) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counts_.find(call);
    return it == counts_.end() ? 0 : it->second;
  }

  void dropUnsyncedData() {
    std::lock_guard<std::mutex> lock(mutex_);
    // Renames first, newest first: each puts back what its target held before.
    for (auto it = pendingRenames_.rbegin(); it != pendingRenames_.rend(); ++it) {
      restore(it->to, it->targetBefore);
    }
    pendingRenames_.clear();
    for (auto& [path, durable] : unsynced_) restore(path, durable);
    unsynced_.clear();
    for (const auto& path : newEntries_) {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
    newEntries_.clear();
  }

  int open(const char* path, int flags, mode_t mode) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int error = takeFault(Call::kOpen, path)) return failWith(error);
    const bool writing = (flags & (O_WRONLY | O_RDWR)) != 0;
    std::optional<std::string> before;
    if (writing) before = contentOf(path);
    int fd = base_->open(path, flags, mode);
    if (fd < 0) return fd;
    paths_[fd] = {path, (flags & O_DIRECTORY) != 0};
    if (writing) {
      if (!before) newEntries_.push_back(path);
      if (!unsynced_.count(path)) unsynced_[path] = before;
    }
    return fd;
  }

  ssize_t read(int fd, void* buffer, size_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int error = takeFault(Call::kRead, pathOf(fd))) return failWith(error);
    return base_->read(fd, buffer, size);
  }

  ssize_t write(int fd, const void* data, size_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t limit = size;
    if (int error = takeFault(Call::kWrite, pathOf(fd), &limit)) return failWith(error);
    return base_->write(fd, data, std::min(size, limit));
  }

  int fsync(int fd) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path = pathOf(fd);
    if (int error = takeFault(Call::kSync, path)) return failWith(error);
    int result = base_->fsync(fd);
    if (result != 0) return result;
    auto it = paths_.find(fd);
    if (it != paths_.end() && it->second.folder) {
      // The folder's entries are on disk now: new files and renames into it stay.
      std::filesystem::path folder(path);
      auto inFolder = [&](const std::string& entry) {
        return std::filesystem::path(entry).parent_path() == folder;
      };
      std::erase_if(newEntries_, inFolder);
      std::erase_if(pendingRenames_, [&](const Rename& r) { return inFolder(r.to); });
    } else {
      unsynced_.erase(path);
    }
    return 0;
  }

  int close(int fd) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path = pathOf(fd);
    paths_.erase(fd);
    int error = takeFault(Call::kClose, path);
    int result = base_->close(fd);  // the descriptor is gone either way, as with close(2)
    if (error) return failWith(error);
    return result;
  }

  int rename(const char* from, const char* to) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int error = takeFault(Call::kRename, std::string(from) + "\n" + to)) {
      return failWith(error);
    }
    std::optional<std::string> targetBefore = contentOf(to);
    if (auto it = unsynced_.find(to); it != unsynced_.end()) targetBefore = it->second;
    int result = base_->rename(from, to);
    if (result != 0) return result;
    // What the source held unflushed now sits under the target's name.
    if (auto it = unsynced_.find(from); it != unsynced_.end()) {
      unsynced_[to] = targetBefore;
      unsynced_.erase(it);
    }
    std::erase(newEntries_, std::string(from));
    pendingRenames_.push_back({to, targetBefore});
    return 0;
  }

  int unlink(const char* path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (int error = takeFault(Call::kUnlink, path)) return failWith(error);
    int result = base_->unlink(path);
    if (result == 0) {
      unsynced_.erase(path);
      std::erase(newEntries_, std::string(path));
    }
    return result;
  }

  // Installs a file system for the scope; the real one comes back afterwards.
  class Installed {
   public:
    explicit Installed(std::shared_ptr<platform::FileSystem> fileSystem) {
      platform::FileSystem::install(std::move(fileSystem));
    }
    ~Installed() { platform::FileSystem::install(nullptr); }
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;
  };

 private:
  struct Fault {
    Call call;
    int remaining;
    int error;  // 0: a short write of `bytes`
    size_t bytes;
    std::string pathPart;
  };
  struct OpenFile {
    std::string path;
    bool folder;
  };
  struct Rename {
    std::string to;
    std::optional<std::string> targetBefore;
  };

  static int failWith(int error) {
    errno = error;
    return -1;
  }

  std::string pathOf(int fd) const {
    auto it = paths_.find(fd);
    return it == paths_.end() ? std::string() : it->second.path;
  }

  // Counts the call; answers the errno of a fault that falls due now (0: none), or narrows
  // `limit` for a short write.
  int takeFault(Call call, const std::string& path, size_t* limit = nullptr) {
    ++counts_[call];
    auto due = faults_.end();
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
      if (it->call != call || path.find(it->pathPart) == std::string::npos) continue;
      // Every matching fault counts the call; one due at the same call waits for the next.
      if (--it->remaining <= 0 && due == faults_.end()) due = it;
    }
    if (due == faults_.end()) return 0;
    Fault fault = *due;
    faults_.erase(due);
    if (fault.error == 0) {
      if (limit != nullptr) *limit = fault.bytes;
      return 0;
    }
    return fault.error;
  }

  static std::optional<std::string> contentOf(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }

  static void restore(const std::string& path, const std::optional<std::string>& content) {
    std::error_code ignored;
    if (!content) {
      std::filesystem::remove(path, ignored);
      return;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << *content;
  }

  std::shared_ptr<platform::FileSystem> base_;
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
  std::map<Call, size_t> counts_;
  std::map<int, OpenFile> paths_;
  // Files written since their last fsync, with what they held at it (nothing: absent).
  std::map<std::string, std::optional<std::string>> unsynced_;
  // Files created, and renames made, since their folder was last flushed.
  std::vector<std::string> newEntries_;
  std::vector<Rename> pendingRenames_;
};

}  // namespace testsupport
