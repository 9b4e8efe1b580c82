#include "platform/foundation/FileSystem.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <mutex>

namespace platform {
namespace {

std::mutex& installMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

std::shared_ptr<FileSystem>& installed() {
  // Never destroyed: files may still be written while the process exits.
  static auto* fileSystem = new std::shared_ptr<FileSystem>(FileSystem::posix());
  return *fileSystem;
}

}  // namespace

std::shared_ptr<FileSystem> FileSystem::current() {
  std::lock_guard<std::mutex> lock(installMutex());
  return installed();
}

void FileSystem::install(std::shared_ptr<FileSystem> fileSystem) {
  if (!fileSystem) fileSystem = posix();
  std::shared_ptr<FileSystem> previous;  // released outside the lock
  std::lock_guard<std::mutex> lock(installMutex());
  previous = std::move(installed());
  installed() = std::move(fileSystem);
}

std::shared_ptr<FileSystem> FileSystem::posix() {
  static auto* real = new std::shared_ptr<FileSystem>(std::make_shared<PosixFileSystem>());
  return *real;
}

int PosixFileSystem::open(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}

ssize_t PosixFileSystem::read(int fd, void* buffer, size_t size) {
  return ::read(fd, buffer, size);
}

ssize_t PosixFileSystem::write(int fd, const void* data, size_t size) {
  return ::write(fd, data, size);
}

int PosixFileSystem::fsync(int fd) { return ::fsync(fd); }

int PosixFileSystem::close(int fd) { return ::close(fd); }

int PosixFileSystem::rename(const char* from, const char* to) { return ::rename(from, to); }

int PosixFileSystem::unlink(const char* path) { return ::unlink(path); }

}  // namespace platform
