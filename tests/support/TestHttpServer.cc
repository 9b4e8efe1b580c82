#include "tests/support/TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <stdexcept>

namespace testsupport {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

struct TestHttpServer::Impl {
  asio::io_context io;
  tcp::acceptor acceptor{io};
};

namespace {

// One connection: reads requests one after another and answers each from the script.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::function<ScriptedResponse(const RecordedRequest&)> answer)
      : stream_(std::move(socket)), timer_(stream_.get_executor()), answer_(std::move(answer)) {}

  void start() { readNext(); }

 private:
  void readNext() {
    parser_.emplace();
    parser_->body_limit(std::uint64_t{64} * 1024 * 1024);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) return;  // closed by the client, or the server stopping
                       self->handle(self->parser_->release());
                     });
  }

  void handle(http::request<http::string_body> request) {
    RecordedRequest recorded;
    recorded.method = std::string(request.method_string());
    recorded.target = std::string(request.target());
    size_t question = recorded.target.find('?');
    recorded.path = recorded.target.substr(0, question);
    if (question != std::string::npos) recorded.query = recorded.target.substr(question + 1);
    for (const auto& field : request) {
      recorded.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    recorded.body = request.body();
    keepAlive_ = request.keep_alive();
    ScriptedResponse scripted = answer_(recorded);  // also records the request

    auto response = std::make_shared<http::response<http::string_body>>();
    response->version(11);
    response->result(static_cast<unsigned>(scripted.status));
    for (const auto& [name, value] : scripted.headers) response->insert(name, value);
    response->body() = scripted.body;
    response->keep_alive(keepAlive_);
    response->prepare_payload();

    if (scripted.delay.count() > 0) {
      timer_.expires_after(scripted.delay);
      timer_.async_wait([self = shared_from_this(), response](beast::error_code ec) {
        if (ec) return;
        self->write(response);
      });
    } else {
      write(response);
    }
  }

  void write(std::shared_ptr<http::response<http::string_body>> response) {
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, size_t) {
                        if (ec) return;
                        if (!self->keepAlive_) {
                          beast::error_code ignored;
                          self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                          return;
                        }
                        self->readNext();
                      });
  }

  beast::tcp_stream stream_;
  asio::steady_timer timer_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::function<ScriptedResponse(const RecordedRequest&)> answer_;
  bool keepAlive_ = true;
};

}  // namespace

TestHttpServer::TestHttpServer(uint16_t port) : impl_(std::make_unique<Impl>()) {
  tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  beast::error_code ec;
  impl_->acceptor.open(endpoint.protocol(), ec);
  if (!ec) impl_->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) impl_->acceptor.bind(endpoint, ec);
  if (!ec) impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec)
    throw std::runtime_error("TestHttpServer: cannot listen on 127.0.0.1:" + std::to_string(port) +
                             ": " + ec.message());
  port_ = impl_->acceptor.local_endpoint().port();

  // Accept loop: each connection gets a session; the recursion lives in the handler.
  auto accept = std::make_shared<std::function<void()>>();
  *accept = [this, weakAccept = std::weak_ptr<std::function<void()>>(accept)] {
    impl_->acceptor.async_accept([this, weakAccept](beast::error_code ec, tcp::socket socket) {
      if (ec) return;
      std::make_shared<Session>(std::move(socket), [this](const RecordedRequest& request) {
        ScriptedResponse response = responseFor(request);
        record(request);
        return response;
      })->start();
      if (auto next = weakAccept.lock()) (*next)();
    });
  };
  (*accept)();
  thread_ = std::thread([this, accept] { impl_->io.run(); });
}

TestHttpServer::~TestHttpServer() {
  stop();
  impl_.reset();  // drops the sessions' pending handlers while the script is still alive
}

void TestHttpServer::stop() {
  if (!thread_.joinable()) return;
  impl_->io.stop();
  thread_.join();
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
}

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
