#include "tools/loopback-http/LoopbackHttpServer.h"

#include <malloc.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <utility>  // before Asio, whose awaitable.hpp uses std::exchange

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/net/BodyArrival.h"
#include "platform/net/HttpReadError.h"
#include "platform/net/IdleConnections.h"
#include "platform/net/LoopbackAcceptor.h"
#include "platform/net/NoFramingHeaders.h"
#include "platform/net/QueryItem.h"
#include "platform/net/RequestFraming.h"
#include "platform/net/RequestWait.h"
#include "platform/security/SecretToken.h"
#include "tools/loopback-http/BodyBudget.h"
#include "tools/loopback-http/SpillingBody.h"

namespace loopback {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

std::optional<uint64_t> queryItemNumber(std::string_view query, std::string_view name,
                                        uint64_t fallback) {
  std::optional<std::string_view> digits = platform::queryItem(query, name);
  if (!digits) return fallback;
  if (digits->empty() || digits->size() > 18) return std::nullopt;
  uint64_t value = 0;
  for (char c : *digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

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

std::optional<HttpResponse> refuseUnboundedJSON(std::string_view body,
                                                platform::JSONBounds bounds) {
  std::optional<std::string> why = platform::exceedsJSONBounds(body, bounds);
  if (!why) return std::nullopt;
  return HttpResponse::text(413, *why + "\n");
}

bool isLoopbackHost(std::string_view host, uint16_t port) {
  const std::string suffix = ":" + std::to_string(port);
  if (host.size() <= suffix.size() || host.substr(host.size() - suffix.size()) != suffix) {
    return false;
  }
  std::string_view name = host.substr(0, host.size() - suffix.size());
  for (std::string_view loopback : {"127.0.0.1", "localhost", "[::1]"}) {
    if (name.size() == loopback.size() &&
        strncasecmp(name.data(), loopback.data(), name.size()) == 0) {
      return true;
    }
  }
  return false;
}

bool isOwnOrigin(std::string_view origin, uint16_t port) {
  constexpr std::string_view kScheme = "http://";
  return origin.size() > kScheme.size() &&
         strncasecmp(origin.data(), kScheme.data(), kScheme.size()) == 0 &&
         isLoopbackHost(origin.substr(kScheme.size()), port);
}

namespace {

class Session;

// Whether a browser tells that a page of another origin sent the request. A page's requests
// other than GET and HEAD always carry its Origin; the fetch metadata of newer browsers also
// marks a page's images, scripts and frames. A GET or HEAD navigation from another page (a link
// followed) only shows the developer a page of ours, which the other page cannot read.
bool fromAnotherWebOrigin(const HttpRequest& request, uint16_t port) {
  if (std::optional<std::string> origin = request.header("Origin")) {
    if (!isOwnOrigin(*origin, port)) return true;
  }
  std::optional<std::string> site = request.header("Sec-Fetch-Site");
  if (!site || *site == "same-origin" || *site == "none") return false;
  bool navigation = (request.method == "GET" || request.method == "HEAD") &&
                    request.header("Sec-Fetch-Mode").value_or("") == "navigate";
  return !navigation;
}

bool isControlPath(const HttpRequest& request) {
  return request.path == "/_control" || request.path.rfind("/_control/", 0) == 0;
}

// A change to the service's state must come with a type a page of another origin cannot send
// without the browser asking the server first (which it never allows).
bool isControlChange(const HttpRequest& request) {
  return request.path.rfind("/_control/", 0) == 0 && request.method != "GET" &&
         request.method != "HEAD";
}

bool hasControlType(const HttpRequest& request) {
  std::string type = request.header("Content-Type").value_or("");
  type = type.substr(0, type.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  return strcasecmp(type.c_str(), "application/json") == 0 ||
         strcasecmp(type.c_str(), "application/x-protobuf") == 0;
}

}  // namespace

struct LoopbackHttpServer::Impl {
  Impl(const Options& o, Handler h)
      : options(o),
        handler(std::move(h)),
        budget(o.maxBodyBytes),
        acceptor(io, o.port, {o.maxConnections, std::chrono::milliseconds(100)}, "loopback-http"),
        pool(o.handlerThreads == 0 ? 1 : o.handlerThreads) {}

  Options options;
  Handler handler;
  std::string controlToken;  // set before serving; read-only afterwards
  // Before `io`, so that they outlive the sessions its destruction lets go. On the I/O thread
  // only:
  BodyBudget budget;                 // the bytes of request bodies held at once
  platform::IdleConnections idle;    // connections waiting for a request, closed first when full
  std::atomic<bool> stopped{false};  // set once the I/O thread has ended
  asio::io_context io;
  // The I/O thread runs until stop(), even while it has nothing to wait for: at the connection
  // cap, with no accept pending and every request on the handler threads, run() would return
  // and the answers posted back would never be written.
  asio::executor_work_guard<asio::io_context::executor_type> running{io.get_executor()};
  platform::LoopbackAcceptor acceptor;
  // Connections whose request is never answered: kept open here until the server stops. On the
  // I/O thread only.
  std::vector<std::shared_ptr<Session>> silent;
  // The bytes of the answer bodies being written, not yet taken by their peers. On the I/O
  // thread only.
  size_t unsentBytes = 0;
  // LoopbackHttpServer::handBacks(). Any thread.
  std::atomic<uint64_t> handBacks{0};
  asio::thread_pool pool;  // last: joined before the rest goes, since its jobs post to `io`
};

namespace {

// One connection: reads requests one after another and answers each through the handler.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, platform::LoopbackAcceptor::Slot slot,
          LoopbackHttpServer::Impl* server)
      : stream_(std::move(socket)),
        timer_(stream_.get_executor()),
        slot_(std::move(slot)),
        server_(server),
        requestWait_(server->idle, stream_) {}

  ~Session() {
    // A session the stopping server lets go gives nothing back: waiting bodies are not resumed.
    if (!server_->stopped) {
      requestWait_.leave();
      if (budgetTicket_) server_->budget.cancel(*budgetTicket_);
      releaseBody();
    }
  }

  void start() { readNext(); }

 private:
  // The header section first, within the short deadline (a keep-alive connection waiting for
  // its next request is held no longer, and gives way sooner when the server is full), then the
  // body as long as it keeps arriving (BodyArrival). Until the first byte of a request, the
  // connection only waits for it to be readable, so that closing it for room never loses one.
  void readNext() {
    parser_.emplace();
    parser_->body_limit(server_->options.bodyLimit);
    if (!server_->options.bodyFolder.empty()) {
      parser_->get().body().keepLargeIn(&server_->options.bodyFolder);
    }
    const auto due = std::chrono::steady_clock::now() + server_->options.headerDeadline;
    if (buffer_.size() > 0) return readHeader(due);  // the next request came with the last
    requestWait_.start(due, shared_from_this(), [this, due] { readHeader(due); });
  }

  void readHeader(std::chrono::steady_clock::time_point due) {
    stream_.expires_at(due);
    http::async_read_header(
        stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
          // Known even when the request is refused, its request line unparsed included.
          const auto unread = self->buffer_.data();
          self->head_ = platform::isHeadRequest(
              self->parser_->get(), {static_cast<const char*>(unread.data()), unread.size()});
          if (ec) return self->refuse(ec);
          self->takeBody();
        });
  }

  // A body is read only as far as the bytes it took from the server's budget, which it takes as
  // they come (BodyBudget::kGrant at a time), so that a peer holds what it sent, not what it
  // declared.
  void takeBody() {
    if (std::optional<std::string> why = platform::laxFraming(parser_->get())) {
      keepAlive_ = false;
      return write(build(HttpResponse::text(400, *why)));
    }
    const platform::BodyArrival::Limits limits{server_->options.bodyProgressDeadline,
                                               server_->options.minBodyBytesPerSecond,
                                               server_->options.readDeadline};
    arrival_.emplace(limits, platform::BodyArrival::Clock::now());
    waitedForRoom_ = {};
    // Reads take what the buffer has room for, and it grows only as a read needs: reserved,
    // a body is read 16 KiB at a time rather than 512 bytes.
    buffer_.reserve(platform::kConnectionBufferBytes);
    readSome();
  }

  // The bytes the body takes next: up to a grant, and what the last read brought beyond those
  // taken (a read takes what has come, up to the connection's buffer).
  size_t nextBytes(size_t received) const {
    size_t next = BodyBudget::kGrant;
    if (const auto length = parser_->content_length()) {
      next = std::min<uint64_t>(next, *length - received);
    } else if (takenBytes_ == 0) {
      next = BodyBudget::kAlwaysTaken;  // chunked: a small one never waits
    }
    return received - takenBytes_ + next;
  }

  BodyBudget::Standing standing() const {
    return {takenBytes_, parser_->content_length().value_or(UINT64_MAX)};
  }

  void readSome() {
    if (parser_->is_done()) return handle(parser_->release());
    const size_t received = parser_->get().body().size();
    if (received >= takenBytes_) {
      const size_t more = nextBytes(received);
      if (!server_->budget.take(standing(), more)) return waitForRoom(more);
      takenBytes_ += more;
    }
    const auto now = platform::BodyArrival::Clock::now();
    const auto due = arrival_->deadline(received, now);
    if (due <= now) return;  // fell behind: closed, as a peer that timed out
    stream_.expires_at(due);
    http::async_read_some(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                            if (ec) return self->refuse(ec);
                            self->readSome();
                          });
  }

  // Waits, unread, for room for the body's next bytes, no longer than a body may stall, in all
  // its waits: bodies that others stall hold the room only that long, so a wait that outlasts
  // it means the server is busy with real bodies. The time waited does not count against the
  // peer.
  void waitForRoom(size_t more) {
    const auto began = std::chrono::steady_clock::now();
    std::weak_ptr<Session> weak = weak_from_this();
    budgetTicket_ = server_->budget.wait(standing(), more, [weak, more, began] {
      std::shared_ptr<Session> self = weak.lock();
      if (!self) return;
      self->budgetTicket_.reset();
      self->takenBytes_ += more;
      self->timer_.cancel();
      const auto waited = std::chrono::steady_clock::now() - began;
      self->waitedForRoom_ += waited;
      self->arrival_->pause(waited);
      // Read from the I/O loop, not from within the budget's give().
      asio::post(self->stream_.get_executor(), [self] { self->readSome(); });
    });
    stream_.expires_never();
    awaitRoom(began, std::max(server_->options.bodyProgressDeadline - waitedForRoom_,
                              std::chrono::steady_clock::duration::zero()));
  }

  // Once its time is up, a body waits on only while it is the next to get room (one body at a
  // time, up to the whole body's limit): the room is held by bodies that are cut within their
  // own limits, so it comes, and bodies trickling within every rule never see it refused.
  void awaitRoom(std::chrono::steady_clock::time_point began,
                 std::chrono::steady_clock::duration after) {
    timer_.expires_after(after);
    timer_.async_wait([self = shared_from_this(), began](beast::error_code ec) {
      if (ec || !self->budgetTicket_) return;
      const auto waited = self->waitedForRoom_ + (std::chrono::steady_clock::now() - began);
      if (self->server_->budget.first(*self->budgetTicket_) &&
          waited < self->server_->options.readDeadline) {
        return self->awaitRoom(began, self->server_->options.bodyProgressDeadline);
      }
      self->server_->budget.cancel(*self->budgetTicket_);
      self->budgetTicket_.reset();
      self->busy(kNoRoom);
    });
  }

  static constexpr const char* kNoRoom = "the bodies of other requests are being read; try again\n";

  // 503 with "Retry-After: 1", the request unread, then the connection closes.
  void busy(const std::string& why) {
    keepAlive_ = false;
    HttpResponse response = HttpResponse::text(503, why);
    response.headers.emplace_back("Retry-After", "1");
    write(build(response));
  }

  void releaseBody() {
    if (takenBytes_ == 0) return;
    server_->budget.give(takenBytes_);
    takenBytes_ = 0;
  }

  void refuse(const beast::error_code& ec) {
    if (parser_ && parser_->get().body().writeError() != 0) {
      return busy("no room to keep the body on disk; try again\n");
    }
    // Closed by the client, timed out, or the server stopping: no answer.
    std::optional<http::status> status = platform::statusForReadError(ec);
    if (!status) return;
    keepAlive_ = false;
    write(build(
        HttpResponse::text(static_cast<int>(*status), "cannot read the request: " + ec.message())));
  }

  void handle(http::request<SpillingBody> request) {
    stream_.expires_never();
    HttpRequest recorded;
    recorded.method = std::string(request.method_string());
    recorded.target = std::string(request.target());
    size_t question = recorded.target.find('?');
    recorded.path = recorded.target.substr(0, question);
    if (question != std::string::npos) recorded.query = recorded.target.substr(question + 1);
    for (const auto& field : request) {
      recorded.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    // A body kept on disk is read back on the handler thread, its file gone then.
    SpillingBody::value_type body = std::move(request.body());
    keepAlive_ = request.keep_alive();

    const uint16_t port = server_->acceptor.port();
    if (!isLoopbackHost(recorded.header("Host").value_or(""), port)) {
      keepAlive_ = false;
      return write(build(HttpResponse::text(403, "this service answers only on 127.0.0.1\n")));
    }
    if (fromAnotherWebOrigin(recorded, port)) {
      keepAlive_ = false;
      return write(
          build(HttpResponse::text(403, "this service answers no page of another origin\n")));
    }
    if (isControlPath(recorded) &&
        !platform::equalSecrets(recorded.header(kControlTokenHeader).value_or(""),
                                server_->controlToken)) {
      return write(
          build(HttpResponse::text(403, std::string("control requests need this run's token in ") +
                                            kControlTokenHeader + "\n")));
    }
    if (isControlChange(recorded) && !hasControlType(recorded)) {
      return write(
          build(HttpResponse::text(415, "control requests need Content-Type: application/json\n")));
    }
    // The handler runs on the pool; its answer comes back to this connection's thread.
    asio::post(server_->pool, [self = shared_from_this(), recorded = std::move(recorded),
                               body = std::move(body)]() mutable {
      HttpResponse answer;
      try {
        recorded.body = body.take();
        answer = self->server_->handler(recorded);
      } catch (const std::exception& e) {
        answer = HttpResponse::text(500, std::string("internal error: ") + e.what());
      }
      if (std::max(recorded.body.size(), answer.heldBytes) >= kTrimAfterBodyBytes) {
        // The allocator keeps what a large body and its decoding took, in each handler
        // thread's arena, as if in use: handed back, four large uploads at once leave
        // the service about where it was rather than gigabytes larger. A small body can
        // take as much (gzip inflated): the handler says so in heldBytes.
        recorded = HttpRequest{};
        if (kTrimsHeap) ::malloc_trim(0);
        self->server_->handBacks.fetch_add(1, std::memory_order_relaxed);
      }
      // The session goes with the answer: its last reference is always let go on
      // the I/O thread, where what it gives back (budget, idle place) is kept.
      auto executor = self->stream_.get_executor();
      asio::post(executor,
                 [self = std::move(self), answer = std::move(answer)] { self->answer(answer); });
    });
  }

  void answer(const HttpResponse& answer) {
    releaseBody();  // the handler is done with the body
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
    auto response = build(withinUnsentBytes(answer));
    if (answer.delay.count() > 0) {
      timer_.expires_after(answer.delay);
      timer_.async_wait([self = shared_from_this(), response](beast::error_code ec) {
        if (!ec) self->write(response);
      });
    } else {
      write(response);
    }
  }

  // After a body this large, or a handler that held this much (HttpResponse::heldBytes), the
  // memory the handling took is handed back to the system.
  static constexpr size_t kTrimAfterBodyBytes = size_t{1} << 20;

  // Not under AddressSanitizer: there every allocation is the sanitizer's, so the C library's
  // allocator is first set up by a malloc_trim, and two handler threads making that first call
  // at once crash in it. It would hand nothing back there anyway.
#if defined(__SANITIZE_ADDRESS__)
  static constexpr bool kTrimsHeap = false;
#elif defined(__has_feature)
  static constexpr bool kTrimsHeap = !__has_feature(address_sanitizer);
#else
  static constexpr bool kTrimsHeap = true;
#endif

  // Answers up to this size are always sent: refusals and small answers cost little to hold.
  static constexpr size_t kAlwaysSentBytes = size_t{64} << 10;

  // A large answer that peers not reading theirs leave no room for is turned into a 503.
  const HttpResponse& withinUnsentBytes(const HttpResponse& answer) {
    static const HttpResponse busy = [] {
      HttpResponse response = HttpResponse::text(
          503, "answers to other peers are still waiting to be read; try again\n");
      response.headers.emplace_back("Retry-After", "1");
      return response;
    }();
    const size_t size = answer.body.size();
    const size_t unsent = server_->unsentBytes;
    if (size <= kAlwaysSentBytes || unsent == 0 ||
        unsent + size <= server_->options.maxUnsentBytes) {
      return answer;
    }
    return busy;
  }

  std::shared_ptr<http::response<http::string_body>> build(const HttpResponse& answer) {
    auto response = std::make_shared<http::response<http::string_body>>();
    response->version(11);
    response->result(static_cast<unsigned>(answer.status));
    for (const auto& [name, value] : answer.headers) response->insert(name, value);
    // No page of a service may be shown inside a page of another origin.
    for (const auto& [name, value] : platform::kNoFramingHeaders) response->set(name, value);
    response->body() = answer.body;
    response->keep_alive(keepAlive_);
    response->prepare_payload();
    // A HEAD gets the GET's status and headers, its Content-Length included, and no body: bytes
    // after the header section would be read as the start of the next answer.
    if (head_) response->body().clear();
    return response;
  }

  void write(std::shared_ptr<http::response<http::string_body>> response) {
    // A peer that never reads its answer holds the connection no longer than one that never
    // finishes its request.
    releaseBody();
    stream_.expires_after(server_->options.readDeadline);
    const size_t size = response->body().size();
    server_->unsentBytes += size;
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response, size](beast::error_code ec, size_t) {
                        self->server_->unsentBytes -= size;
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
  platform::LoopbackAcceptor::Slot slot_;  // this connection's place under the server's cap
  beast::flat_buffer buffer_{platform::kConnectionBufferBytes};
  std::optional<http::request_parser<SpillingBody>> parser_;
  LoopbackHttpServer::Impl* server_;
  bool keepAlive_ = true;
  bool head_ = false;                                    // the request being answered is a HEAD
  size_t takenBytes_ = 0;                                // of the server's body budget
  std::optional<BodyBudget::Ticket> budgetTicket_;       // while waiting for room for the body
  std::chrono::steady_clock::duration waitedForRoom_{};  // by this request's body, in all
  std::optional<platform::BodyArrival> arrival_;
  platform::RequestWait requestWait_;  // between requests
};

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(uint16_t port, Handler handler)
    : LoopbackHttpServer(Options{.port = port}, std::move(handler)) {}

LoopbackHttpServer::LoopbackHttpServer(Options options, Handler handler)
    : impl_(std::make_unique<Impl>(options, std::move(handler))) {
  port_ = impl_->acceptor.port();
  controlToken_ = options.controlToken;
  if (controlToken_.empty()) {
    const char* fromEnvironment = std::getenv("KVL_SERVICE_TOKEN");
    controlToken_ =
        fromEnvironment && *fromEnvironment ? fromEnvironment : platform::randomSecretToken();
  }
  impl_->controlToken = controlToken_;
  if (!options.bodyFolder.empty()) removeLeftoverBodies(options.bodyFolder);
  if (!options.controlFile.empty()) {
    // Whole or not at all, readable by the user only.
    absl::Status written = platform::FileManager::defaultManager().writeAtomically(
        options.controlFile,
        nlohmann::json{
            {"url", baseURL()}, {"token", controlToken_}, {"pid", static_cast<int64_t>(::getpid())}}
                .dump() +
            "\n");
    if (!written.ok()) throw std::runtime_error(std::string(written.message()));
    controlFile_ = options.controlFile;
  }
  Impl* impl = impl_.get();
  impl_->acceptor.start(
      [impl](tcp::socket socket, platform::LoopbackAcceptor::Slot slot) {
        std::make_shared<Session>(std::move(socket), std::move(slot), impl)->start();
      },
      [impl] { return impl->idle.closeOldest(); });
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
  impl_->stopped = true;
  impl_->pool.stop();
  impl_->pool.join();
  impl_->acceptor.close();
  impl_->silent.clear();
  if (!controlFile_.empty()) ::unlink(controlFile_.c_str());
}

const char* const kServerOptionsUsage =
    "  --port N               port on 127.0.0.1 (0 picks a free one)\n"
    "  --header-deadline-ms N a request's headers must arrive within this (default 5000)\n"
    "  --body-progress-ms N   a body may stall this long, then its connection closes\n"
    "                         (default 5000; it must also keep 64 KiB/s on average)\n"
    "  --read-deadline-ms N   and be whole within this after the headers (default 60000)\n"
    "  --max-connections N    connections held at once (default 256)\n";

const char* const kControlFileUsage =
    "  --control-file FILE    writes {\"url\", \"token\", \"pid\"} there (user-only) for control\n"
    "                         requests, which need \"X-Service-Token: <token>\"\n";

bool parseServerOption(const std::string& flag, const std::string& value,
                       LoopbackHttpServer::Options* options) {
  if (flag == "--control-file") {
    if (value.empty()) throw std::invalid_argument("--control-file needs a path");
    options->controlFile = value;
    return true;
  }
  if (flag != "--port" && flag != "--header-deadline-ms" && flag != "--read-deadline-ms" &&
      flag != "--body-progress-ms" && flag != "--max-connections") {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  unsigned long long number = std::strtoull(value.c_str(), &end, 10);
  if (value.empty() || value[0] == '-' || *end != '\0' || errno != 0) {
    throw std::invalid_argument("bad value for " + flag + ": " + value);
  }
  if (flag == "--port") {
    if (number > 65535) throw std::invalid_argument("bad port " + value);
    options->port = static_cast<uint16_t>(number);
  } else if (flag == "--header-deadline-ms" || flag == "--read-deadline-ms" ||
             flag == "--body-progress-ms") {
    if (number == 0 || number > 86400000) throw std::invalid_argument("bad deadline " + value);
    (flag == "--read-deadline-ms"   ? options->readDeadline
     : flag == "--body-progress-ms" ? options->bodyProgressDeadline
                                    : options->headerDeadline) = std::chrono::milliseconds(number);
  } else {
    if (number == 0 || number > 100000) throw std::invalid_argument("bad count " + value);
    options->maxConnections = static_cast<size_t>(number);
  }
  return true;
}

std::string LoopbackHttpServer::baseURL() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

uint64_t LoopbackHttpServer::handBacks() const {
  return impl_->handBacks.load(std::memory_order_relaxed);
}

}  // namespace loopback
