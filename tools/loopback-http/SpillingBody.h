#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <string>

namespace loopback {

// A request body (a Beast body type) that stays in memory up to kInMemoryBytes and, when given a
// folder, is kept past that in a file of its own there: so what a peer that sends a large body
// and then holds it makes the server keep is on disk, and the memory of the bodies in progress
// is at most kInMemoryBytes a connection. On disk, bytes gather in memory up to that much and
// are written together, so that a body trickled in small reads costs few writes.
//
// The file has no name (O_TMPFILE; where the file system has no such files, one made 0600 and
// unlinked at once): it goes with its descriptor, when the body is read back for its handler
// (take()), when its connection is cut, and when the process ends, however it ends. Without a
// folder the body stays in memory whatever its size, as Beast's string_body.
//
// A write that fails (a full disk) fails the read of the body: writeError() tells it from a
// malformed request. Not thread-safe: read on the server's I/O thread, taken on one handler
// thread.
struct SpillingBody {
  static constexpr size_t kInMemoryBytes = size_t{256} << 10;

  class reader;
  class value_type {
   public:
    value_type() = default;
    ~value_type();
    value_type(value_type&& other) noexcept;
    value_type& operator=(value_type&& other) noexcept;
    value_type(const value_type&) = delete;
    value_type& operator=(const value_type&) = delete;

    // Where the body goes past kInMemoryBytes (the folder must outlive the body); null, the
    // default: it stays in memory. Set before the body is read.
    void keepLargeIn(const std::string* folder) { folder_ = folder; }

    // The bytes received so far.
    uint64_t size() const { return size_; }
    bool onDisk() const { return fd_ >= 0; }
    // The errno of the write that failed the body; 0 when none did.
    int writeError() const { return writeError_; }

    // The whole body, read back from its file when it is on disk (the file is then closed, and
    // so gone). Throws std::runtime_error when the file cannot be read.
    std::string take();

    // Adds received bytes; false (writeError() set) when they could not be kept.
    bool append(const char* data, size_t size);

   private:
    friend class reader;
    void close();

    const std::string* folder_ = nullptr;
    std::string memory_;  // the body, or once on disk its bytes not yet written there
    int fd_ = -1;         // its file, once on disk
    uint64_t size_ = 0;
    uint64_t onDisk_ = 0;  // the bytes written to the file
    int writeError_ = 0;
  };

  class reader {
   public:
    template <bool isRequest, class Fields>
    reader(boost::beast::http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

    void init(const boost::optional<std::uint64_t>& length, boost::system::error_code& ec) {
      // A body that will stay in memory is given its room at once, as Beast's string_body does.
      if (length && (body_.folder_ == nullptr || *length <= kInMemoryBytes)) {
        body_.memory_.reserve(static_cast<size_t>(*length));
      }
      ec = {};
    }

    template <class ConstBufferSequence>
    size_t put(const ConstBufferSequence& buffers, boost::system::error_code& ec) {
      size_t taken = 0;
      for (const auto buffer : boost::beast::buffers_range_ref(buffers)) {
        if (!body_.append(static_cast<const char*>(buffer.data()), buffer.size())) {
          ec = boost::system::error_code(body_.writeError(), boost::system::system_category());
          return taken;
        }
        taken += buffer.size();
      }
      ec = {};
      return taken;
    }

    void finish(boost::system::error_code& ec) { ec = {}; }

   private:
    value_type& body_;
  };

  static uint64_t size(const value_type& body) { return body.size(); }
};

// Removes what a process killed between making a body's named file and unlinking it left in
// `folder` (only where the file system has no unnamed files). Called before serving.
void removeLeftoverBodies(const std::string& folder);

}  // namespace loopback
