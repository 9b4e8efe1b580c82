#include "tools/loopback-http/SpillingBody.h"

#include <fcntl.h>
#include <unistd.h>

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

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
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
      writeError_(other.writeError_) {}

SpillingBody::value_type& SpillingBody::value_type::operator=(value_type&& other) noexcept {
  if (this != &other) {
    close();
    folder_ = other.folder_;
    memory_ = std::move(other.memory_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = std::exchange(other.size_, 0);
    writeError_ = other.writeError_;
  }
  return *this;
}

void SpillingBody::value_type::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SpillingBody::value_type::append(const char* data, size_t size) {
  if (fd_ < 0 && (folder_ == nullptr || memory_.size() + size <= kInMemoryBytes)) {
    memory_.append(data, size);
    size_ += size;
    return true;
  }
  if (fd_ < 0) {
    // Past what a body keeps in memory: what came so far goes to the file too, and its memory
    // back to the allocator.
    fd_ = unnamedFile(*folder_);
    if (fd_ < 0 || !writeAll(fd_, memory_.data(), memory_.size())) {
      writeError_ = errno != 0 ? errno : EIO;
      return false;
    }
    std::string().swap(memory_);
  }
  if (!writeAll(fd_, data, size)) {
    writeError_ = errno != 0 ? errno : EIO;
    return false;
  }
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
  while (read < body.size()) {
    const ssize_t got =
        ::pread(fd_, body.data() + read, body.size() - read, static_cast<off_t>(read));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      const int error = got < 0 ? errno : EIO;
      close();
      throw std::runtime_error(std::string("cannot read back a body kept on disk: ") +
                               std::strerror(error));
    }
    read += static_cast<size_t>(got);
  }
  close();
  size_ = 0;
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
