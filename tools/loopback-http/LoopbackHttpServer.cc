#include "tools/loopback-http/LoopbackHttpServer.h"

#include <strings.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <stdexcept>
#include <vector>

namespace loopback {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

std::optional<std::string> HttpRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

HttpResponse HttpResponse::text(int status, std::string body, std::string contentType) {
  HttpResponse response;
  response.status = status;
  response.headers.emplace_back("Content-Type", std::move(contentType));
  response.body = std::move(body);
  return response;
}

namespace {

constexpr std::uint64_t kBodyLimit = std::uint64_t{64} * 1024 * 1024;

class Session;

}  // namespace

struct LoopbackHttpServer::Impl {
  asio::io_context io;
  tcp::acceptor acceptor{io};
  Handler handler;
  // Connections whose request is never answered: kept open here until the server stops.
  std::vector<std::shared_ptr<Session>> silent;
};

namespace {

// One connection: reads requests one after another and answers each through the handler.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, LoopbackHttpServer::Impl* server)
      : stream_(std::move(socket)), timer_(stream_.get_executor()), server_(server) {}

  void start() { readNext(); }

 private:
  void readNext() {
    parser_.emplace();
    parser_->body_limit(kBodyLimit);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (ec == http::error::body_limit) {
                         self->keepAlive_ = false;
                         self->write(self->build(HttpResponse::text(413, "body too large")));
                         return;
                       }
                       if (ec) return;  // closed by the client, or the server stopping
                       self->handle(self->parser_->release());
                     });
  }

  void handle(http::request<http::string_body> request) {
    HttpRequest recorded;
    recorded.method = std::string(request.method_string());
    recorded.target = std::string(request.target());
    size_t question = recorded.target.find('?');
    recorded.path = recorded.target.substr(0, question);
    if (question != std::string::npos) recorded.query = recorded.target.substr(question + 1);
    for (const auto& field : request) {
      recorded.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    recorded.body = std::move(request.body());
    keepAlive_ = request.keep_alive();

    HttpResponse answer;
    try {
      answer = server_->handler(recorded);
    } catch (const std::exception& e) {
      answer = HttpResponse::text(500, std::string("internal error: ") + e.what());
    }
    if (answer.reset) {
      beast::error_code ignored;
      stream_.socket().set_option(asio::socket_base::linger(true, 0), ignored);
      stream_.socket().close(ignored);
      return;
    }
    if (answer.silent) {
      server_->silent.push_back(shared_from_this());
      return;
    }
    auto response = build(answer);
    if (answer.delay.count() > 0) {
      timer_.expires_after(answer.delay);
      timer_.async_wait([self = shared_from_this(), response](beast::error_code ec) {
        if (!ec) self->write(response);
      });
    } else {
      write(response);
    }
  }

  std::shared_ptr<http::response<http::string_body>> build(const HttpResponse& answer) {
    auto response = std::make_shared<http::response<http::string_body>>();
    response->version(11);
    response->result(static_cast<unsigned>(answer.status));
    for (const auto& [name, value] : answer.headers) response->insert(name, value);
    response->body() = answer.body;
    response->keep_alive(keepAlive_);
    response->prepare_payload();
    return response;
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
  LoopbackHttpServer::Impl* server_;
  bool keepAlive_ = true;
};

void acceptNext(LoopbackHttpServer::Impl* server) {
  server->acceptor.async_accept([server](beast::error_code ec, tcp::socket socket) {
    if (ec) return;
    std::make_shared<Session>(std::move(socket), server)->start();
    acceptNext(server);
  });
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(uint16_t port, Handler handler)
    : impl_(std::make_unique<Impl>()) {
  impl_->handler = std::move(handler);
  tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  beast::error_code ec;
  impl_->acceptor.open(endpoint.protocol(), ec);
  if (!ec) impl_->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) impl_->acceptor.bind(endpoint, ec);
  if (!ec) impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                             ec.message());
  }
  port_ = impl_->acceptor.local_endpoint().port();
  acceptNext(impl_.get());
  thread_ = std::thread([this] { impl_->io.run(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  stop();
  impl_.reset();  // closes the sessions the stopped loop still holds
}

void LoopbackHttpServer::stop() {
  if (!thread_.joinable()) return;
  impl_->io.stop();
  thread_.join();
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
  impl_->silent.clear();
}

std::string LoopbackHttpServer::baseURL() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

}  // namespace loopback
