#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>

namespace platform {

// The operating-system calls under persisted state: what FileManager opens, reads, writes,
// flushes, renames and unlinks goes through the installed FileSystem, so that a test can
// fail any one of those calls on purpose (a full disk, an I/O error, a short write) or drop
// what was never flushed, and then check what the program made of it.
//
// Each call behaves as its POSIX namesake: a result of -1 (or a count shorter than asked)
// with errno set. Folder creation, listing and removal and extended attributes are not
// behind this interface: nothing durable depends on faulting them.
//
// Thread-safe: every method may be called from any thread. install() and current() too;
// a call already running finishes on the file system it started on.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual int open(const char* path, int flags, mode_t mode) = 0;
  virtual ssize_t read(int fd, void* buffer, size_t size) = 0;
  virtual ssize_t write(int fd, const void* data, size_t size) = 0;
  virtual int fsync(int fd) = 0;
  virtual int close(int fd) = 0;
  virtual int rename(const char* from, const char* to) = 0;
  virtual int unlink(const char* path) = 0;

  // The installed file system (the real one unless a test installed another).
  static std::shared_ptr<FileSystem> current();
  // Installs `fileSystem` for the whole process; nullptr restores the real one.
  static void install(std::shared_ptr<FileSystem> fileSystem);
  // The real one: the system calls themselves.
  static std::shared_ptr<FileSystem> posix();
};

// The system calls themselves.
class PosixFileSystem : public FileSystem {
 public:
  int open(const char* path, int flags, mode_t mode) override;
  ssize_t read(int fd, void* buffer, size_t size) override;
  ssize_t write(int fd, const void* data, size_t size) override;
  int fsync(int fd) override;
  int close(int fd) override;
  int rename(const char* from, const char* to) override;
  int unlink(const char* path) override;
};

}  // namespace platform
