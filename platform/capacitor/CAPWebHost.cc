#include "platform/capacitor/CAPWebHost.h"

#include <utility>  // before Asio, whose awaitable.hpp uses std::exchange

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/capacitor/CAPBridgeMessage.h"
#include "platform/capacitor/CAPSocketKeys.h"
#include "platform/capacitor/WriteBatchingStream.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/JSONBounds.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/net/BodyArrival.h"
#include "platform/net/HttpReadError.h"
#include "platform/net/IdleConnections.h"
#include "platform/net/LoopbackAcceptor.h"
#include "platform/net/NoFramingHeaders.h"
#include "platform/net/PageSession.h"
#include "platform/net/QueryItem.h"
#include "platform/net/RequestFraming.h"
#include "platform/net/RequestWait.h"
#include "platform/security/SecretToken.h"

namespace platform {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr const char* kBridgePath = "/_capacitor/bridge";
constexpr const char* kShimPath = "/_capacitor/bridge-shim.js";

std::string contentType(const std::filesystem::path& path) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json"},
      {".map", "application/json"},
      {".png", "image/png"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"}};
  const std::string ext = path.extension().string();
  for (const auto& [e, type] : kTypes) {
    if (ext == e) return type;
  }
  return "application/octet-stream";
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// JSON text placed inside a <script> element: "<" only occurs inside strings there, and
// escaping it keeps "</script>" from ending the element.
// A value as a script literal: top-level strings too (the page's server URL is one).
std::string scriptSafeJSON(const Value& value) {
  JSONSerialization::WritingOptions options;
  options.fragmentsAllowed = true;
  std::string json = JSONSerialization::dataWithJSONObject(value, options).value_or("null");
  std::string out;
  for (char c : json) {
    if (c == '<') {
      out += "\\u003c";
    } else {
      out += c;
    }
  }
  return out;
}

std::string_view headerOf(const http::request<http::string_body>& request, http::field field) {
  auto value = request[field];
  return {value.data(), value.size()};
}

// No page of this host may be shown inside another page: a frame of it in a page of another
// port would share the tab's storage, and with it the socket key.
template <class Response>
void forbidFraming(Response& response) {
  for (const auto& [name, value] : kNoFramingHeaders) response.set(name, value);
}

// A HEAD gets the status and headers its GET would, Content-Length as prepare_payload() set it,
// and no body: bytes after the header section would be read as the start of the next answer.
void withoutBodyForHead(http::response<http::string_body>& response, http::verb method) {
  if (method == http::verb::head) response.body().clear();
}

// The frame by which a page says it kept the next socket key: {"bridgeKeyKept":"<key>"}.
constexpr std::string_view kKeptKeyPrefix = "{\"bridgeKeyKept\":\"";
constexpr std::string_view kKeptKeySuffix = "\"}";

// How a page usually goes: its tab closed or reloaded. The browser may drop the connection
// before, during or after the closing handshake, so each of these may end the read.
bool isNormalEnd(const beast::error_code& ec) {
  return ec == websocket::error::closed || ec == asio::error::eof ||
         ec == asio::error::connection_reset || ec == asio::error::not_connected ||
         ec == asio::error::broken_pipe || ec == asio::error::operation_aborted;
}

std::string queryParameter(std::string_view target, std::string_view name) {
  auto q = target.find('?');
  if (q == std::string_view::npos) return {};
  return std::string(queryItem(target.substr(q + 1), name).value_or(""));
}

}  // namespace

struct CAPWebHost::Impl {
  // Connections waiting for a request, closed first when the host is full. Before `io`, so that
  // it outlives the sessions the context's destruction lets go; on the I/O thread only.
  IdleConnections idle;
  asio::io_context io;
  // The WebSocket layer moves each socket's idle deadline (150 s ahead) at every message it
  // reads. The I/O context reprograms the kernel's timer whenever its earliest deadline
  // changes: a deadline always nearer than any idle one, kept by this timer, spares that
  // system call on every message. It fires once a minute and does nothing else.
  asio::steady_timer nearestDeadline{io};
  std::unique_ptr<LoopbackAcceptor> acceptor;
  std::shared_ptr<CAPBridge> bridge;
  std::filesystem::path root;  // canonical
  std::string token;           // the control path's
  uint16_t port = 0;
  // A page address's two secrets: the one-time secret of its query, traded for the session
  // cookie, and attached to it the socket key of its fragment, which the browser never sends
  // and the page presents. Set before serving.
  std::unique_ptr<PageSession> pageSession;
  CAPSocketKeys socketKeys;  // of the addresses whose secret was spent
  std::atomic<uint64_t> nextPageId{1};
  std::atomic<bool> stopped{false};
  std::mutex controlMutex;
  CAPWebHost::ControlHandler control;  // guarded by controlMutex

  std::mutex sessionsMutex;
  // By page id; guarded by sessionsMutex; kept alive while open.
  std::map<uint64_t, std::shared_ptr<void>> sessions;

  // Closes the sockets a line of keys left behind once another socket kept its key (on the I/O
  // thread).
  void closeStale(const std::vector<uint64_t>& ids);

  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port); }
  std::string host() const { return "127.0.0.1:" + std::to_string(port); }

  bool hasSession(const http::request<http::string_body>& request) const {
    return pageSession->admits(headerOf(request, http::field::cookie));
  }

  // Spends `secret` when it is one of the unspent ones: its socket key opens sockets from then
  // on.
  bool spend(std::string_view secret) {
    std::optional<std::string> key = pageSession->spend(secret);
    if (!key) return false;
    socketKeys.add(std::move(*key));
    return true;
  }

  std::string indexHead() const {
    Value config = Value::Dictionary{};
    config["url"] = "ws://" + host() + kBridgePath;
    return "<script>window.Capacitor = {DEBUG: false, isLoggingEnabled: false, Plugins: {}};"
           "window.WEBVIEW_SERVER_URL = " +
           scriptSafeJSON(Value(origin())) +
           ";window.__capacitorBridge = " + scriptSafeJSON(config) + ";</script>\n<script src=\"" +
           kShimPath +
           "\"></script>\n<script src=\"/native-bridge.js\"></script>\n"
           "<script>window.Capacitor.PluginHeaders = " +
           scriptSafeJSON(bridge->pluginHeaders()) + ";</script>\n";
  }

  http::response<http::string_body> respond(const http::request<http::string_body>& request);
  std::string newPageURL();

  void keepNearestDeadline() {
    nearestDeadline.expires_after(std::chrono::seconds(60));
    nearestDeadline.async_wait([this](beast::error_code ec) {
      if (!ec) keepNearestDeadline();
    });
  }
};

namespace {

class BridgeSession : public CAPBridgePage, public std::enable_shared_from_this<BridgeSession> {
 public:
  BridgeSession(CAPWebHost::Impl& host, beast::tcp_stream stream, LoopbackAcceptor::Slot slot,
                uint64_t id)
      : host_(host), ws_(std::move(stream)), slot_(std::move(slot)), id_(id) {}

  uint64_t pageId() const override { return id_; }
  bool isClosed() const override { return closed_; }

  void send(std::string frame) override {
    if (closed_ || overflowed_) return;
    // Counted here, before the frame is queued anywhere, so that a page that never reads holds
    // no more than the bound however fast answers come.
    if (queuedBytes_.fetch_add(frame.size()) + frame.size() > CAPWebHost::kMaxQueuedBytes) {
      if (!overflowed_.exchange(true)) {
        asio::post(ws_.get_executor(), [self = shared_from_this()] { self->closeOverflowing(); });
      }
      return;
    }
    // Frames wait in the inbox in call order; the I/O thread is woken once for all the frames
    // that arrive before it takes them.
    bool wake = false;
    {
      std::lock_guard lock(inboxMutex_);
      wake = inbox_.empty();
      inbox_.push_back(std::move(frame));
    }
    if (wake) asio::post(ws_.get_executor(), [self = shared_from_this()] { self->takeInbox(); });
  }

  // Accepts the socket; its first frame is {"bridgeKey": nextKey}, the key the page opens its
  // next socket with, before any answer.
  void start(http::request<http::string_body> request, std::string nextKey) {
    keptKeyFrame_ = std::string(kKeptKeyPrefix) + nextKey + std::string(kKeptKeySuffix);
    ws_.read_message_max(CAPBridgeMessage::kMaxFrameBytes);
    // An answer goes out as one frame, whatever its size: fewer pieces to send.
    ws_.auto_fragment(false);
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.async_accept(
        request, [self = shared_from_this(), nextKey = std::move(nextKey)](beast::error_code ec) {
          if (ec) return self->finish("handshake: " + ec.message());
          self->accepted_ = true;
          // Closed while the handshake was being answered: the close goes now, and nothing else.
          if (self->closeOnAccept_) return self->startClose(*self->closeOnAccept_);
          Value frame = Value::Dictionary{};
          frame["bridgeKey"] = nextKey;
          self->send(JSONSerialization::dataWithJSONObject(frame).value_or("{}"));
          self->read();
        });
  }

  // Closes the socket with `reason` (by default: the host goes). Before the handshake is
  // answered the WebSocket layer would write the close as a client does (masked), and the
  // handshake's end would open the stream again: the close waits for the handshake then.
  void close(websocket::close_reason reason = websocket::close_code::going_away) {
    asio::post(ws_.get_executor(), [self = shared_from_this(), reason] {
      if (self->closed_ || std::exchange(self->closing_, true)) return;
      if (!self->accepted_) {
        self->closeOnAccept_ = reason;
        return;
      }
      self->startClose(reason);
    });
  }

 private:
  void startClose(const websocket::close_reason& reason) {
    ws_.async_close(reason, [self = shared_from_this()](beast::error_code) { self->finish(""); });
  }

  void read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) {
        if (ec == websocket::error::message_too_big) {
          PlatformLog::write(
              "Capacitor: frame larger than 4 MiB; the page's socket is closed (1009)");
        }
        return self->finish(isNormalEnd(ec) ? "" : ec.message());
      }
      if (!self->ws_.got_text()) {
        self->buffer_.consume(self->buffer_.size());
        PlatformLog::write("Capacitor: binary frame from a page; its socket is closed (1002)");
        if (std::exchange(self->closing_, true)) return;
        self->ws_.async_close(websocket::close_code::protocol_error,
                              [self](beast::error_code) { self->finish(""); });
        return;
      }
      const auto data = self->buffer_.data();
      const std::string_view frame(static_cast<const char*>(data.data()), data.size());
      if (!self->keptKeyFrame_.empty() && frame == self->keptKeyFrame_) {
        // The page kept the next key: the line of keys is spent to it, and every other socket
        // opened from the line goes (this one, when another socket kept its key first).
        self->host_.closeStale(self->host_.socketKeys.kept(
            self->id_, frame.substr(kKeptKeyPrefix.size(),
                                    frame.size() - kKeptKeyPrefix.size() - kKeptKeySuffix.size())));
        self->keptKeyFrame_.clear();
      } else {
        self->host_.bridge->handleFrame(self, frame);
      }
      self->buffer_.consume(self->buffer_.size());
      self->read();
    });
  }

  // On the I/O thread: moves the frames given to send() to the outbox.
  void takeInbox() {
    {
      std::lock_guard lock(inboxMutex_);
      taken_.swap(inbox_);
    }
    // Nothing goes after a close: the WebSocket layer would write it.
    if (closed_ || overflowed_ || closing_) {
      taken_.clear();
      return;
    }
    for (std::string& frame : taken_) outbox_.push_back(std::move(frame));
    taken_.clear();
    if (!sending_) sendOutbox();
  }

  // A batch ends here even while more frames wait, so that answers coming faster than they
  // are gathered still leave, and a page that reads is never taken for one that does not.
  static constexpr size_t kMaxBatchBytes = size_t{256} << 10;

  // Writes the frames of the outbox into one batch (up to kMaxBatchBytes) and sends the batch
  // in one system call; frames that come meanwhile go in the next batch, once this one is out.
  void sendOutbox() {
    sending_ = true;
    writeNext();
  }

  void writeNext() {
    // The batch refers to the payload until it is written: it is kept in batch_ until then.
    batch_.push_back(std::move(outbox_.front()));
    outbox_.pop_front();
    batchBytes_ += batch_.back().size();
    ws_.text(true);
    // Gathered when the WebSocket layer writes the frame at once; when it has to wait for a
    // control frame of its own first, the frame goes out as soon as it is written.
    ws_.next_layer().gather([this] {
      ws_.async_write(asio::buffer(batch_.back()),
                      [self = shared_from_this()](beast::error_code ec, size_t) {
                        if (ec) {
                          self->endBatch();
                          return self->finish(isNormalEnd(ec) ? "" : "write: " + ec.message());
                        }
                        if (!self->outbox_.empty() && !self->overflowed_ && !self->closing_ &&
                            self->batchBytes_ < kMaxBatchBytes) {
                          return self->writeNext();
                        }
                        self->endBatch();
                      });
    });
  }

  void endBatch() {
    ws_.next_layer().release([self = shared_from_this()](beast::error_code ec) {
      self->queuedBytes_ -= std::exchange(self->batchBytes_, 0);
      self->batch_.clear();
      self->sending_ = false;
      if (ec) return self->finish(isNormalEnd(ec) ? "" : "write: " + ec.message());
      if (!self->outbox_.empty() && !self->overflowed_ && !self->closing_) self->sendOutbox();
    });
  }

  // The page let more than the bound of answers pile up: what waits is dropped and the socket
  // closed with 1008. A peer that does not read the close either is cut off a little later.
  void closeOverflowing() {
    if (closed_ || std::exchange(closing_, true)) return;
    PlatformLog::write("Capacitor: page " + std::to_string(id_) + " reads too slowly (over " +
                       std::to_string(CAPWebHost::kMaxQueuedBytes) +
                       " bytes of answers waiting); its socket is closed (1008)");
    outbox_.clear();
    cutoff_.expires_after(std::chrono::seconds(5));
    cutoff_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (!ec) beast::get_lowest_layer(self->ws_).close();
    });
    ws_.async_close(
        websocket::close_reason(websocket::close_code::policy_error, "answers not read"),
        [self = shared_from_this()](beast::error_code) { self->finish(""); });
  }

  void finish(const std::string& why) {
    if (closed_.exchange(true)) return;
    if (!why.empty())
      PlatformLog::write("Capacitor: page " + std::to_string(id_) + " closed: " + why);
    outbox_.clear();
    host_.socketKeys.closed(id_);
    host_.bridge->pageClosed(shared_from_this());
    std::lock_guard lock(host_.sessionsMutex);
    host_.sessions.erase(id_);
  }

  CAPWebHost::Impl& host_;
  websocket::stream<WriteBatchingStream> ws_;
  LoopbackAcceptor::Slot slot_;                    // this connection's place under the cap
  asio::steady_timer cutoff_{ws_.get_executor()};  // ends a close the page does not read
  const uint64_t id_;
  beast::flat_buffer buffer_;
  // The frame by which the page says it kept the next key, until it comes; on the I/O thread.
  std::string keptKeyFrame_;
  std::mutex inboxMutex_;
  std::vector<std::string> inbox_;  // frames given to send(), not yet taken; guarded by inboxMutex_
  std::vector<std::string> taken_;  // the inbox as taken; on the I/O thread only
  std::deque<std::string> outbox_;  // not yet written into a batch; on the I/O thread only
  std::deque<std::string> batch_;   // in the batch under way (a deque: they never move)
  size_t batchBytes_ = 0;           // their size; on the I/O thread only
  bool sending_ = false;            // a batch is being filled or written; on the I/O thread only
  std::atomic<size_t> queuedBytes_{0};  // frames given to send() and not yet written
  std::atomic<bool> overflowed_{false};
  bool closing_ = false;   // a close is under way; on the I/O thread only
  bool accepted_ = false;  // the handshake is answered; on the I/O thread only
  // A close asked for before that, written once it is; on the I/O thread only.
  std::optional<websocket::close_reason> closeOnAccept_;
  std::atomic<bool> closed_{false};
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(CAPWebHost::Impl& host, tcp::socket socket, LoopbackAcceptor::Slot slot)
      : host_(host),
        stream_(std::move(socket)),
        slot_(std::move(slot)),
        requestWait_(host.idle, stream_) {
    // Answers are small and latency-bound: Nagle's delay would hold each one back.
    beast::error_code ignored;
    stream_.socket().set_option(tcp::no_delay(true), ignored);
  }

  ~HttpSession() { requestWait_.leave(); }

  // The header section within CAPWebHost::kHeaderDeadline (so that peers sending half a request
  // free their places under the cap within seconds), the body as long as it keeps arriving
  // (BodyArrival). Until the first byte of a request the connection only waits for it to be
  // readable, and gives way to a new peer when the host is full (closing it then loses nothing:
  // bytes that came are still in the kernel's buffer).
  void read() {
    parser_.emplace();
    parser_->body_limit(64 * 1024);
    const auto due = std::chrono::steady_clock::now() + CAPWebHost::kHeaderDeadline;
    if (buffer_.size() > 0) return readHeader(due);  // the next request came with the last
    requestWait_.start(due, shared_from_this(), [this, due] { readHeader(due); });
  }

  void readHeader(std::chrono::steady_clock::time_point due) {
    stream_.expires_at(due);
    http::async_read_header(
        stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
          if (ec) return self->readFailed(ec);
          if (platform::laxFraming(self->parser_->get())) {
            return self->refuse(http::status::bad_request);
          }
          self->arrival_.emplace(CAPWebHost::kBodyArrival, BodyArrival::Clock::now());
          self->readBody();
        });
  }

  void readBody() {
    if (parser_->is_done()) return handle(parser_->release());
    const auto now = BodyArrival::Clock::now();
    const auto due = arrival_->deadline(parser_->get().body().size(), now);
    if (due <= now) return;  // fell behind: closed, as a peer that timed out
    stream_.expires_at(due);
    http::async_read_some(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                            if (ec) return self->readFailed(ec);
                            self->readBody();
                          });
  }

  void readFailed(const beast::error_code& ec) {
    if (auto status = statusForReadError(ec)) refuse(*status);
  }

  // Answers a request that could not be read, then closes.
  void refuse(http::status status) {
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::content_type, "text/plain");
    forbidFraming(*response);
    response->body() = std::string(http::obsolete_reason(status)) + "\n";
    response->keep_alive(false);
    response->prepare_payload();
    // A HEAD gets the refusal's header section alone, its request line unparsed included.
    const auto unread = buffer_.data();
    if (isHeadRequest(parser_->get(), {static_cast<const char*>(unread.data()), unread.size()})) {
      response->body().clear();
    }
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code, size_t) {
                        beast::error_code ignored;
                        self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                      });
  }

 private:
  void handle(http::request<http::string_body> request) {
    if (websocket::is_upgrade(request)) return upgrade(std::move(request));
    auto response = std::make_shared<http::response<http::string_body>>(host_.respond(request));
    response->keep_alive(request.keep_alive());
    response->prepare_payload();
    withoutBodyForHead(*response, request.method());
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, size_t) {
                        if (ec || !response->keep_alive()) {
                          beast::error_code ignored;
                          self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                          return;
                        }
                        self->read();
                      });
  }

  void upgrade(http::request<http::string_body> request) {
    std::string_view target(request.target().data(), request.target().size());
    std::string_view path = target.substr(0, target.find('?'));
    std::string_view origin = headerOf(request, http::field::origin);
    std::string_view hostHeader = headerOf(request, http::field::host);
    std::string refusal;
    const uint64_t id = host_.nextPageId++;
    CAPSocketKeys::Opened opened;
    // The key is checked last: a request refused for anything else leaves it unspent.
    if (path != kBridgePath) {
      refusal = "unknown socket path";
    } else if (!host_.hasSession(request)) {
      refusal = "no session cookie";
    } else if (origin != host_.origin()) {
      refusal = "origin \"" + std::string(origin) + "\" is not this app's";
    } else if (hostHeader != host_.host()) {
      refusal = "host \"" + std::string(hostHeader) + "\" is not this app's";
    } else if (opened = host_.socketKeys.open(queryParameter(target, "key"), id);
               opened.next.empty()) {
      refusal = "no live socket key (a key is dead once a page kept the next one)";
    }
    if (!refusal.empty()) {
      PlatformLog::write("Capacitor: socket refused: " + refusal);
      auto response = std::make_shared<http::response<http::string_body>>(http::status::forbidden,
                                                                          request.version());
      response->set(http::field::content_type, "text/plain");
      forbidFraming(*response);
      response->body() = "Forbidden\n";
      response->keep_alive(false);
      response->prepare_payload();
      http::async_write(stream_, *response,
                        [self = shared_from_this(), response](beast::error_code, size_t) {
                          beast::error_code ignored;
                          self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
                        });
      return;
    }
    stream_.expires_never();
    auto session = std::make_shared<BridgeSession>(host_, std::move(stream_), std::move(slot_), id);
    {
      std::lock_guard lock(host_.sessionsMutex);
      host_.sessions.emplace(id, session);
    }
    host_.closeStale(opened.stale);
    session->start(std::move(request), std::move(opened.next));
  }

  CAPWebHost::Impl& host_;
  beast::tcp_stream stream_;
  LoopbackAcceptor::Slot slot_;  // this connection's place under the cap; the socket's after
  beast::flat_buffer buffer_{platform::kConnectionBufferBytes};
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<BodyArrival> arrival_;
  RequestWait requestWait_;  // between requests
};

}  // namespace

void CAPWebHost::Impl::closeStale(const std::vector<uint64_t>& ids) {
  for (uint64_t id : ids) {
    std::shared_ptr<void> session;
    {
      std::lock_guard lock(sessionsMutex);
      auto it = sessions.find(id);
      if (it == sessions.end()) continue;
      session = it->second;
    }
    std::static_pointer_cast<BridgeSession>(session)->close(
        websocket::close_reason(static_cast<websocket::close_code>(CAPWebHost::kKeyTakenCloseCode),
                                "another socket kept the key"));
  }
}

http::response<http::string_body> CAPWebHost::Impl::respond(
    const http::request<http::string_body>& request) {
  auto answer = [&](http::status status, std::string body, std::string type) {
    http::response<http::string_body> response(status, request.version());
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    forbidFraming(response);
    response.body() = std::move(body);
    return response;
  };
  // A page reached under another host name (DNS rebinding) gets nothing.
  if (headerOf(request, http::field::host) != host()) {
    return answer(http::status::forbidden, "Forbidden\n", "text/plain");
  }
  std::string_view target(request.target().data(), request.target().size());
  if (target == "/_app/control") {
    if (request.method() != http::verb::post) {
      return answer(http::status::method_not_allowed, "Method not allowed\n", "text/plain");
    }
    std::string_view given(request["X-App-Token"].data(), request["X-App-Token"].size());
    if (!equalSecrets(given, token)) {
      return answer(http::status::forbidden, "Forbidden\n", "text/plain");
    }
    if (auto why = exceedsJSONBounds(request.body())) {
      return answer(http::status::payload_too_large, *why + "\n", "text/plain");
    }
    auto body = JSONSerialization::JSONObjectWithData(request.body());
    if (body.ok() && body->find("action") && body->find("action")->asString() &&
        *body->find("action")->asString() == "page-url") {
      Value url = Value::Dictionary{};
      url["url"] = newPageURL();
      return answer(http::status::ok, JSONSerialization::dataWithJSONObject(url).value_or("{}"),
                    "application/json");
    }
    ControlHandler handler;
    {
      std::lock_guard lock(controlMutex);
      handler = control;
    }
    bool taken = body.ok() && body->isDictionary() && handler && handler(*body);
    return answer(taken ? http::status::no_content : http::status::bad_request, "", "text/plain");
  }
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    return answer(http::status::method_not_allowed, "Method not allowed\n", "text/plain");
  }
  std::string path(target.substr(0, target.find_first_of("?#")));
  // Only a GET spends the address: a HEAD (a link preview's) is answered as without the secret,
  // and the developer's GET still finds it unspent.
  if (std::string secret = queryParameter(target, "secret");
      !secret.empty() && request.method() == http::verb::get) {
    if (!spend(secret)) {
      return answer(http::status::forbidden,
                    "Forbidden: this link was used already; ask the app for a new one\n",
                    "text/plain");
    }
    auto response = answer(http::status::see_other, "", "text/plain");
    response.set(http::field::location, "/");  // the bare address, whatever was asked
    response.set(http::field::set_cookie, pageSession->setCookie());
    return response;
  }
  if (!hasSession(request)) {
    return answer(http::status::forbidden,
                  "Forbidden: open the address the app printed (it holds a one-time secret)\n",
                  "text/plain");
  }
  if (path == kShimPath)
    return answer(http::status::ok, kBridgeShimScript, "text/javascript; charset=utf-8");
  if (path == "/") path = "/index.html";
  if (path.find('%') != std::string::npos || path.find('\0') != std::string::npos) {
    return answer(http::status::not_found, "Not found\n", "text/plain");
  }
  std::error_code ec;
  std::filesystem::path file = std::filesystem::canonical(root / path.substr(1), ec);
  auto [rootEnd, fileIt] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
  if (ec || rootEnd != root.end() || !std::filesystem::is_regular_file(file, ec)) {
    return answer(http::status::not_found, "Not found\n", "text/plain");
  }
  auto body = readFile(file);
  if (!body) return answer(http::status::not_found, "Not found\n", "text/plain");
  if (path == "/index.html") {
    auto head = body->find("<head>");
    std::string start = indexHead();
    if (head == std::string::npos) {
      body->insert(0, start);
    } else {
      body->insert(head + 6, "\n" + start);
    }
  }
  return answer(http::status::ok, std::move(*body), contentType(file));
}

std::string CAPWebHost::Impl::newPageURL() {
  std::string key = randomSecretToken();
  std::string secret = pageSession->newSecret(key);
  return origin() + "/?secret=" + secret + "#key=" + key;
}

CAPWebHost::CAPWebHost(std::shared_ptr<CAPBridge> bridge, std::filesystem::path bundle,
                       uint16_t port)
    : impl_(std::make_unique<Impl>()), token_(randomSecretToken()) {
  std::error_code ec;
  impl_->root = std::filesystem::canonical(bundle, ec);
  if (ec || !std::filesystem::is_directory(impl_->root)) {
    throw std::runtime_error("web bundle folder not found: " + bundle.string());
  }
  impl_->bridge = std::move(bridge);
  impl_->token = token_;
  impl_->acceptor = std::make_unique<LoopbackAcceptor>(
      impl_->io, port, LoopbackAcceptor::Limits{kMaxConnections, std::chrono::milliseconds(100)},
      "Capacitor");
  port_ = impl_->acceptor->port();
  impl_->port = port_;
  // Cookies are shared by every port of a host: the name tells this server's from another's.
  impl_->pageSession = std::make_unique<PageSession>("app-session-" + std::to_string(port_));
  Impl* impl = impl_.get();
  impl_->acceptor->start(
      [impl](tcp::socket socket, LoopbackAcceptor::Slot slot) {
        std::make_shared<HttpSession>(*impl, std::move(socket), std::move(slot))->read();
      },
      [impl] { return impl->idle.closeOldest(); });
  impl_->keepNearestDeadline();
  thread_ = std::thread([this] { impl_->io.run(); });
}

CAPWebHost::~CAPWebHost() { stop(); }

void CAPWebHost::setControlHandler(ControlHandler handler) {
  std::lock_guard lock(impl_->controlMutex);
  impl_->control = std::move(handler);
}

std::string CAPWebHost::origin() const { return impl_->origin(); }

std::string CAPWebHost::newPageURL() { return impl_->newPageURL(); }

void CAPWebHost::stop() {
  if (impl_->stopped.exchange(true)) return;
  asio::post(impl_->io, [this] { impl_->acceptor->close(); });
  std::map<uint64_t, std::shared_ptr<void>> sessions;
  {
    std::lock_guard lock(impl_->sessionsMutex);
    sessions = impl_->sessions;
  }
  for (const auto& [id, s] : sessions) std::static_pointer_cast<BridgeSession>(s)->close();
  // Gives the closes a moment on the I/O thread, then ends it whatever remains.
  asio::post(impl_->io, [this] { impl_->io.stop(); });
  if (thread_.joinable()) thread_.join();
  // Calls still queued for the bridge hold their pages, whose sockets belong to the I/O context:
  // they run (their answers go nowhere) and let go of the pages while the context still exists.
  if (impl_->bridge) impl_->bridge->queue()->sync([] {});
  std::lock_guard lock(impl_->sessionsMutex);
  impl_->sessions.clear();
}

}  // namespace platform
