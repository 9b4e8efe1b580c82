#include "tools/psm-server/PSMServer.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>

#include "AppMeasurement/PrivateSetMembership/Sources/NANOBytes.h"
#include "AppMeasurement/messages/NANO.h"
#include "absl/status/status.h"
#include "absl/strings/escaping.h"
#include "platform/foundation/JSONSerialization.h"
#include "proto/psm.nano.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr uint64_t kBodyLimit = 64ull * 1024 * 1024;

// One connection: requests answered in order, keep-alive honoured.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, PSMServer* server) : stream_(std::move(socket)), server_(server) {}
  void start() { readNext(); }

 private:
  void readNext() {
    parser_.emplace();
    parser_->body_limit(kBodyLimit);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (!ec) self->respond(self->parser_->release());
                     });
  }

  void respond(http::request<http::string_body> request) {
    PSMServer::Answer answer = server_->handle(std::string(request.method_string()),
                                               std::string(request.target()), request.body());
    auto response = std::make_shared<http::response<http::string_body>>();
    response->version(11);
    response->result(static_cast<unsigned>(answer.status));
    if (!answer.body.empty()) response->set(http::field::content_type, "application/json");
    response->body() = std::move(answer.body);
    response->keep_alive(request.keep_alive());
    response->prepare_payload();
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, size_t) {
                        if (ec) return;
                        if (!response->keep_alive()) {
                          beast::error_code ignored;
                          self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                          return;
                        }
                        self->readNext();
                      });
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  PSMServer* server_;
};

std::string jsonObject(platform::Value::Dictionary members) {
  return platform::JSONSerialization::dataWithJSONObject(platform::Value(std::move(members)))
      .value_or("{}");
}

// The string member of a JSON object body, or nothing.
std::optional<std::string> stringMember(const std::string& body, const char* key) {
  auto json = platform::JSONSerialization::JSONObjectWithData(body);
  if (!json.ok()) return std::nullopt;
  const platform::Value* value = json->find(key);
  if (value == nullptr || !value->isString()) return std::nullopt;
  return *value->asString();
}

}  // namespace

struct PSMServer::Impl {
  asio::io_context io;
  tcp::acceptor acceptor{io};
  std::function<void()> accept;
};

PSMServer::PSMServer(PSMServerConfig config) : config_(std::move(config)) {}

absl::StatusOr<std::unique_ptr<PSMServer>> PSMServer::start(PSMServerConfig config, uint16_t port) {
  std::unique_ptr<PSMServer> server(new PSMServer(std::move(config)));
  const PSMServerConfig* view = &server->config_;
  auto olderFlow = PSMServerDatabase::Create(
      view->scheme, view->binCount,
      [view](const std::string& tag) { return view->olderFlowMembers(tag); });
  if (!olderFlow.ok()) return olderFlow.status();
  auto odm = PSMServerDatabase::Create(view->scheme, view->binCount,
                                       [view](const std::string&) { return view->odmMembers(); });
  if (!odm.ok()) return odm.status();
  server->olderFlow_ = *std::move(olderFlow);
  server->odm_ = *std::move(odm);

  server->impl_ = std::make_unique<Impl>();
  Impl& impl = *server->impl_;
  beast::error_code ec;
  tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  impl.acceptor.open(endpoint.protocol(), ec);
  if (!ec) impl.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) impl.acceptor.bind(endpoint, ec);
  if (!ec) impl.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    return absl::UnavailableError("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                                  ec.message());
  }
  PSMServer* self = server.get();
  impl.accept = [self] {
    self->impl_->acceptor.async_accept([self](beast::error_code error, tcp::socket socket) {
      if (error) return;
      std::make_shared<Session>(std::move(socket), self)->start();
      self->impl_->accept();
    });
  };
  impl.accept();
  server->thread_ = std::thread([self] { self->impl_->io.run(); });
  return server;
}

PSMServer::~PSMServer() {
  stop();
  impl_.reset();
}

void PSMServer::stop() {
  if (!impl_) return;
  impl_->io.stop();
  if (thread_.joinable()) thread_.join();
  beast::error_code ignored;
  impl_->acceptor.close(ignored);
}

void PSMServer::wait() {
  if (thread_.joinable()) thread_.join();
}

uint16_t PSMServer::port() const { return impl_->acceptor.local_endpoint().port(); }

std::string PSMServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port()); }

std::vector<std::string> PSMServer::targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

void PSMServer::failNext(const std::string& path, int status, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[path] = {status, count};
}

PSMServer::Answer PSMServer::handle(const std::string& method, const std::string& target,
                                    const std::string& body) {
  const std::string path = target.substr(0, target.find('?'));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    targets_.push_back(target);
    auto failure = failures_.find(path);
    if (failure != failures_.end() && failure->second.second > 0) {
      --failure->second.second;
      return {failure->second.first, ""};
    }
  }
  const Answer bad{400, ""};
  if (path == "/odm/config" && method == "GET") {
    if (!config_.odm) return {204, ""};
    std::string json = "{\"matching_id\":" +
                       platform::JSONSerialization::dataWithJSONObject(
                           platform::Value(config_.odm->matchingID), {false, true})
                           .value_or("\"\"") +
                       ",\"bucketed_date\":" +
                       platform::JSONSerialization::dataWithJSONObject(
                           platform::Value(config_.odm->bucketedDate), {false, true})
                           .value_or("\"\"") +
                       ",\"prefix_length\":" + config_.odm->prefixLengthJSON;
    if (config_.odm->extensionData) {
      json +=
          ",\"extension_data\":" + platform::JSONSerialization::dataWithJSONObject(
                                       platform::Value(*config_.odm->extensionData), {false, true})
                                       .value_or("\"\"");
    }
    return {200, json + "}"};
  }
  if (method != "POST") return {405, ""};
  if (path == "/pagead/conversion/app/psm" || path == "/odm/psm") {
    auto encoded = stringMember(body, "psm_request");
    std::string request;
    if (!encoded || !absl::WebSafeBase64Unescape(*encoded, &request)) return bad;
    auto response = (path == "/odm/psm" ? odm_ : olderFlow_)->AnswerSerialized(request);
    if (!response.ok()) return bad;
    return {200, jsonObject({{"psm_response", absl::WebSafeBase64Escape(*response)}})};
  }
  if (path == "/odm/validate") {
    auto encoded = stringMember(body, "mvs");
    std::string bytes;
    if (!encoded || !config_.odm || !absl::WebSafeBase64Unescape(*encoded, &bytes)) return bad;
    auto mvs = PSMMVs::initWithBuffer(bytes);
    if (!mvs) return bad;
    auto values = NANOGetArray(*mvs, PSMMVs::kOdm2Values);
    for (const NANOObject& item : values.value_or(std::vector<NANOObject>{})) {
      const auto* data = std::get_if<NANOData>(&item);
      for (const auto& install : config_.odm->installs) {
        for (const auto& stored : install.values) {
          if (data != nullptr && data->bytes == stored.value) {
            return {200, jsonObject({{"mv_oa4k", config_.odm->measurementInfo},
                                     {"mv_aaps", config_.odm->aggregateConversionInfo}})};
          }
        }
      }
    }
    return bad;
  }
  return {404, ""};
}
