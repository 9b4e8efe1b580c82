#include "tests/support/TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

TestHttpServer::TestHttpServer(uint16_t port) {
  loopback::LoopbackHttpServer::Options options;
  options.port = port;
  options.handlerThreads = 1;  // requests are recorded in the order they arrive
  try {
    server_ = std::make_unique<loopback::LoopbackHttpServer>(
        options, [this](const RecordedRequest& request) {
          ScriptedResponse scripted = responseFor(request);
          record(request);
          loopback::HttpResponse response;
          response.status = scripted.status;
          response.headers = std::move(scripted.headers);
          response.body = std::move(scripted.body);
          response.delay = scripted.delay;
          return response;
        });
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(std::string("TestHttpServer: ") + e.what());
  }
  port_ = server_->port();
}

TestHttpServer::~TestHttpServer() { stop(); }

void TestHttpServer::stop() { server_->stop(); }

std::string TestHttpServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

void TestHttpServer::respondTo(const std::string& path, ScriptedResponse response) {
  std::lock_guard<std::mutex> lock(mutex_);
  byPath_[path] = std::move(response);
}

void TestHttpServer::enqueue(ScriptedResponse response) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.push_back(std::move(response));
}

ScriptedResponse TestHttpServer::responseFor(const RecordedRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queued_.empty()) {
    ScriptedResponse next = std::move(queued_.front());
    queued_.pop_front();
    return next;
  }
  auto it = byPath_.find(request.path);
  if (it != byPath_.end()) return it->second;
  ScriptedResponse missing;
  missing.status = 404;
  missing.body = "not scripted";
  return missing;
}

void TestHttpServer::record(RecordedRequest request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
  }
  arrived_.notify_all();
}

std::vector<RecordedRequest> TestHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t TestHttpServer::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool TestHttpServer::waitForRequests(size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, limit, [&] { return requests_.size() >= count; });
}

uint16_t TestHttpServer::closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("TestHttpServer: no socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("TestHttpServer: cannot bind a probe socket");
  }
  ::close(fd);  // never listened: connections to it are refused
  return ntohs(address.sin_port);
}

}  // namespace testsupport
