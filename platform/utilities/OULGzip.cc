#include "platform/utilities/OULGzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace {

// zlib counts in uInt: large inputs are fed and drained in slices of at most this size.
constexpr size_t kSlice = 1u << 20;
// Window bits for zlib with 16 added: write and read the gzip wrapper, not zlib's.
constexpr int kGzipWindowBits = 15 + 16;

void setError(OULError* error, int64_t code, std::string description) {
  if (error != nullptr) *error = OULError{kOULGzipErrorDomain, code, std::move(description)};
}

std::string zlibMessage(const z_stream& stream, int status) {
  std::string text = "zlib status " + std::to_string(status);
  if (stream.msg != nullptr) text += std::string(": ") + stream.msg;
  return text;
}

}  // namespace

std::optional<std::string> oul_dataByGzippingData(std::string_view data, OULError* error) {
  z_stream stream{};
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, 8,
                            Z_DEFAULT_STRATEGY);
  if (status != Z_OK) {
    setError(error, OULGzipErrorCodeCompression,
             "Failed to initialize gzip compression: " + zlibMessage(stream, status));
    return std::nullopt;
  }
  std::string out;
  out.reserve(std::min(data.size() / 2 + 64, kSlice));
  size_t consumed = 0;
  char buffer[16384];
  do {
    size_t sliceSize = std::min(data.size() - consumed, kSlice);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + consumed));
    stream.avail_in = static_cast<uInt>(sliceSize);
    consumed += sliceSize;
    int flush = consumed == data.size() ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(buffer);
      stream.avail_out = sizeof(buffer);
      status = deflate(&stream, flush);
      if (status == Z_STREAM_ERROR) {
        setError(error, OULGzipErrorCodeCompression,
                 "Failed to compress data: " + zlibMessage(stream, status));
        deflateEnd(&stream);
        return std::nullopt;
      }
      out.append(buffer, sizeof(buffer) - stream.avail_out);
    } while (stream.avail_out == 0);
  } while (consumed < data.size());
  deflateEnd(&stream);
  if (status != Z_STREAM_END) {
    setError(error, OULGzipErrorCodeCompression,
             "Failed to finish gzip compression: " + zlibMessage(stream, status));
    return std::nullopt;
  }
  return out;
}

std::optional<std::string> oul_dataByInflatingGzippedData(std::string_view data, OULError* error) {
  return oul_dataByInflatingGzippedDataWithLimit(data, kOULGzipMaximumInflatedBytes, error);
}

std::optional<std::string> oul_dataByInflatingGzippedDataWithLimit(std::string_view data,
                                                                   size_t maximumBytes,
                                                                   OULError* error) {
  if (data.empty()) {
    setError(error, OULGzipErrorCodeNotGzip, "Failed to inflate data: input is empty");
    return std::nullopt;
  }
  z_stream stream{};
  int status = inflateInit2(&stream, kGzipWindowBits);
  if (status != Z_OK) {
    setError(error, OULGzipErrorCodeNotGzip,
             "Failed to initialize gzip inflation: " + zlibMessage(stream, status));
    return std::nullopt;
  }
  std::string out;
  size_t consumed = 0;  // input bytes handed to zlib so far
  char buffer[16384];
  bool memberEnded = false;
  while (true) {
    if (memberEnded) {
      if (stream.avail_in == 0 && consumed == data.size()) break;
      // More input after a complete member: it must be another member.
      inflateReset(&stream);
      memberEnded = false;
    }
    if (stream.avail_in == 0 && consumed < data.size()) {
      size_t sliceSize = std::min(data.size() - consumed, kSlice);
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + consumed));
      stream.avail_in = static_cast<uInt>(sliceSize);
      consumed += sliceSize;
    }
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    status = inflate(&stream, Z_NO_FLUSH);
    size_t produced = sizeof(buffer) - stream.avail_out;
    if (produced > maximumBytes - out.size()) {
      setError(error, OULGzipErrorCodeTooLarge,
               "Failed to inflate gzip data: inflated size exceeds " +
                   std::to_string(maximumBytes) + " bytes");
      inflateEnd(&stream);
      return std::nullopt;
    }
    out.append(buffer, produced);
    if (status == Z_STREAM_END) {
      memberEnded = true;
    } else if (status == Z_BUF_ERROR && stream.avail_in == 0 && consumed == data.size()) {
      break;  // no progress possible and no input left: the stream is cut short
    } else if (status != Z_OK) {
      setError(error, OULGzipErrorCodeNotGzip,
               "Failed to inflate gzip data: " + zlibMessage(stream, status));
      inflateEnd(&stream);
      return std::nullopt;
    }
  }
  inflateEnd(&stream);
  if (!memberEnded) {
    setError(error, OULGzipErrorCodeNotGzip, "Failed to inflate gzip data: input is truncated");
    return std::nullopt;
  }
  return out;
}
