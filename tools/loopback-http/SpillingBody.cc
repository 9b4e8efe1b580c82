#include "tools/loopback-http/SpillingBody.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "platform/security/SecretToken.h"

namespace loopback {

namespace {

// The names of bodies' files where the file system has no unnamed ones: each lives only between
// its open and its unlink.
constexpr const char* kNamedPrefix = ".body-";

// A file of the user's alone in `folder` that goes with its descriptor; -1 (errno set) when
// none could be made.
int unnamedFile(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string path = folder + "/" + kNamedPrefix + platform::randomSecretToken();
    fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::unlink(path.c_str());
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

bool writeAll(int fd, const iovec (&given)[2]) {
  iovec pieces[2] = {given[0], given[1]};
  iovec* next = pieces;
  int left = 2;
  while (left > 0) {
    if (next->iov_len == 0) {
      ++next;
      --left;
      continue;
    }
    const ssize_t written = ::writev(fd, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (size_t done = static_cast<size_t>(written); done > 0;) {
      const size_t step = std::min(done, next->iov_len);
      next->iov_base = static_cast<char*>(next->iov_base) + step;
      next->iov_len -= step;
      done -= step;
      if (next->iov_len == 0 && left > 0) {
        ++next;
        --left;
      }
    }
  }
  return true;
}

}  // namespace

SpillingBody::value_type::~value_type() { close(); }

SpillingBody::value_type::value_type(value_type&& other) noexcept
    : folder_(other.folder_),
      memory_(std::move(other.memory_)),
      fd_(std::exchange(other.fd_, -1)),
      size_(std::exchange(other.size_, 0)),
      onDisk_(std::exchange(other.onDisk_, 0)),
      writeError_(other.writeError_) {}

SpillingBody::value_type& SpillingBody::value_type::operator=(value_type&& other) noexcept {
  if (this != &other) {
    close();
    folder_ = other.folder_;
    memory_ = std::move(other.memory_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = std::exchange(other.size_, 0);
    onDisk_ = std::exchange(other.onDisk_, 0);
    writeError_ = other.writeError_;
  }
  return *this;
}

void SpillingBody::value_type::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SpillingBody::value_type::append(const char* data, size_t size) {
  if (folder_ == nullptr || memory_.size() + size <= kInMemoryBytes) {
    memory_.append(data, size);
    size_ += size;
    return true;
  }
  // Past what a body keeps in memory: what it holds there goes to its file with these bytes,
  // in one write, so that a body trickled in small reads costs a write every 256 KiB, not one
  // a read.
  if (fd_ < 0) fd_ = unnamedFile(*folder_);
  const iovec pieces[] = {{memory_.data(), memory_.size()}, {const_cast<char*>(data), size}};
  if (fd_ < 0 || !writeAll(fd_, pieces)) {
    writeError_ = errno != 0 ? errno : EIO;
    return false;
  }
  onDisk_ += memory_.size() + size;
  memory_.clear();
  size_ += size;
  return true;
}

std::string SpillingBody::value_type::take() {
  if (fd_ < 0) {
    size_ = 0;
    return std::move(memory_);
  }
  std::string body(static_cast<size_t>(size_), '\0');
  size_t read = 0;
  while (read < onDisk_) {
    const ssize_t got = ::pread(fd_, body.data() + read, static_cast<size_t>(onDisk_) - read,
                                static_cast<off_t>(read));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int error = got < 0 ? errno : EIO;
      close();
      throw std::runtime_error(std::string("cannot read back a body kept on disk: ") +
                               std::strerror(error));
    }
    read += static_cast<size_t>(got);
  }
  memory_.copy(body.data() + read, memory_.size());
  close();
  std::string().swap(memory_);
  size_ = 0;
  onDisk_ = 0;
  return body;
}

void removeLeftoverBodies(const std::string& folder) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.path().filename().string().rfind(kNamedPrefix, 0) == 0) {
      std::filesystem::remove(entry.path(), ec);
    }
  }
}

}  // namespace loopback
