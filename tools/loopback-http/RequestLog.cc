#include "tools/loopback-http/RequestLog.h"

namespace loopback {

size_t RequestLog::sizeOf(const HttpRequest& request) {
  size_t size = request.method.size() + request.target.size() * 2 + request.query.size() +
                request.body.size() + sizeof(Entry);
  for (const auto& [name, value] : request.headers) size += name.size() + value.size() + 64;
  return size;
}

void RequestLog::add(const HttpRequest& request) {
  Entry entry;
  entry.request = request;
  entry.bodySize = request.body.size();
  if (entry.request.body.size() > limits_.maxBodyBytes) {
    entry.request.body.resize(limits_.maxBodyBytes);
    entry.request.body.shrink_to_fit();
  }
  const size_t size = sizeOf(entry.request);
  std::lock_guard<std::mutex> lock(mutex_);
  entry.sequence = ++last_;
  bytes_ += size;
  entries_.push_back(std::move(entry));
  while (entries_.size() > 1 &&
         (entries_.size() > limits_.maxRequests || bytes_ > limits_.maxTotalBytes)) {
    bytes_ -= sizeOf(entries_.front().request);
    entries_.pop_front();
  }
}

std::vector<RequestLog::Entry> RequestLog::page(uint64_t after, size_t limit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Entry> out;
  for (const Entry& entry : entries_) {
    if (out.size() >= limit) break;
    if (entry.sequence > after) out.push_back(entry);
  }
  return out;
}

std::vector<HttpRequest> RequestLog::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<HttpRequest> out;
  out.reserve(entries_.size());
  for (const Entry& entry : entries_) out.push_back(entry.request);
  return out;
}

void RequestLog::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
  bytes_ = 0;
}

}  // namespace loopback
