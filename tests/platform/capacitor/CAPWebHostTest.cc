#include "platform/capacitor/CAPWebHost.h"

#include <gtest/gtest.h>

#include <utility>  // before Asio

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <filesystem>
#include <fstream>

#include "platform/capacitor/CAPBridgeMessage.h"
#include "tests/platform/capacitor/RecordingPage.h"
#include "tests/support/LogCapture.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
namespace fs = std::filesystem;

class PingPlugin : public platform::CAPPlugin, public platform::CAPBridgedPlugin {
 public:
  using CAPPlugin::CAPPlugin;
  std::string identifier() const override { return "PingPlugin"; }
  std::string jsName() const override { return "Ping"; }
  std::vector<platform::CAPPluginMethod> pluginMethods() const override {
    return {{"ping", "promise"}};
  }
  bool performMethod(const std::string& name,
                     const std::shared_ptr<platform::CAPPluginCall>& call) override {
    if (name != "ping") return false;
    call->resolve({{"pong", platform::Value(true)}});
    return true;
  }
};

class CAPWebHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("cap-web-host-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "www/sub");
    write(dir_ / "www/index.html", "<html><head><title>t</title></head><body></body></html>");
    write(dir_ / "www/sub/app.js", "console.log(1)");
    write(dir_ / "secret.txt", "secret");
    fs::create_symlink(dir_ / "secret.txt", dir_ / "www/link.txt");
    bridge_ = platform::CAPBridge::create();
    bridge_->registerPlugin(std::make_shared<PingPlugin>(bridge_, "PingPlugin", "Ping"));
    host_ = std::make_unique<platform::CAPWebHost>(bridge_, dir_ / "www", 0);
  }
  void TearDown() override {
    host_.reset();
    fs::remove_all(dir_);
  }
  static void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

  std::string hostHeader() const { return "127.0.0.1:" + std::to_string(host_->port()); }

  std::pair<int, std::string> get(const std::string& target, std::string host = "") {
    asio::io_context io;
    beast::tcp_stream stream(io);
    stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), host_->port()));
    http::request<http::empty_body> request(http::verb::get, target, 11);
    request.set(http::field::host, host.empty() ? hostHeader() : host);
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    return {response.result_int(), response.body()};
  }

  // Opens the bridge socket; the handshake's error (empty when accepted).
  std::string connect(websocket::stream<tcp::socket>& ws, const std::string& token,
                      const std::string& origin, const std::string& host = "") {
    ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), host_->port()));
    ws.set_option(websocket::stream_base::decorator(
        [origin](websocket::request_type& r) { r.set(http::field::origin, origin); }));
    beast::error_code ec;
    ws.handshake(host.empty() ? hostHeader() : host, "/_capacitor/bridge?token=" + token, ec);
    return ec ? ec.message() : "";
  }

  fs::path dir_;
  std::shared_ptr<platform::CAPBridge> bridge_;
  std::unique_ptr<platform::CAPWebHost> host_;
};

TEST_F(CAPWebHostTest, ServesOnlyFilesInsideTheBundle) {
  struct Case {
    const char* target;
    int status;
  };
  const Case cases[] = {
      {"/sub/app.js", 200},           {"/sub/app.js?v=1", 200},
      {"/missing.js", 404},           {"/../secret.txt", 404},
      {"/sub/../../secret.txt", 404}, {"/link.txt", 404},
      {"/%2e%2e/secret.txt", 404},    {"/sub", 404},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(get(c.target).first, c.status);
  }
  EXPECT_EQ(get("/index.html", "evil.example:80").first, 403);
}

TEST_F(CAPWebHostTest, IndexStartsTheRuntimeRightAfterHead) {
  auto [status, body] = get("/");
  ASSERT_EQ(status, 200);
  auto capacitor = body.find("window.Capacitor = {");
  auto shim = body.find("/_capacitor/bridge-shim.js");
  auto nativeBridge = body.find("/native-bridge.js");
  auto headers = body.find("window.Capacitor.PluginHeaders = [{\"methods\"");
  auto title = body.find("<title>");
  EXPECT_EQ(body.find("<head>\n<script>"), 6u);
  EXPECT_LT(capacitor, shim);
  EXPECT_LT(shim, nativeBridge);
  EXPECT_LT(nativeBridge, headers);
  EXPECT_LT(headers, title);
  EXPECT_NE(body.find("?token=" + host_->token()), std::string::npos);
  EXPECT_EQ(get("/_capacitor/bridge-shim.js").second, platform::CAPWebHost::kBridgeShimScript);
}

TEST_F(CAPWebHostTest, TheSocketNeedsTheTokenTheOriginAndTheHost) {
  testsupport::LogCapture log;
  struct Case {
    const char* name;
    std::string token;
    std::string origin;
    std::string host;
    bool accepted;
  };
  const Case cases[] = {
      {"all right", host_->token(), host_->origin(), "", true},
      {"wrong token", std::string(32, '0'), host_->origin(), "", false},
      {"no token", "", host_->origin(), "", false},
      {"other origin", host_->token(), "http://evil.example", "", false},
      {"localhost origin", host_->token(), "http://localhost:" + std::to_string(host_->port()), "",
       false},
      {"other host", host_->token(), host_->origin(), "evil.example", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    EXPECT_EQ(connect(ws, c.token, c.origin, c.host).empty(), c.accepted);
  }
}

TEST_F(CAPWebHostTest, AnswersComeBackOnTheSocketAndProtocolFaultsClose) {
  asio::io_context io;
  websocket::stream<tcp::socket> ws(io);
  ASSERT_EQ(connect(ws, host_->token(), host_->origin()), "");
  ws.text(true);
  ws.write(asio::buffer(std::string("not json")));
  ws.write(
      asio::buffer(std::string(R"({"callbackId":"7","pluginId":"Ping","methodName":"ping"})")));
  beast::flat_buffer buffer;
  ws.read(buffer);
  EXPECT_EQ(
      beast::buffers_to_string(buffer.data()),
      R"({"callbackId":"7","data":{"pong":true},"methodName":"ping","pluginId":"Ping","save":false,"success":true})");

  struct Case {
    const char* name;
    bool binary;
    size_t size;
    websocket::close_code code;
  };
  const Case cases[] = {
      {"binary frame", true, 10, websocket::close_code::protocol_error},
      {"over 4 MiB", false, platform::CAPBridgeMessage::kMaxFrameBytes + 1,
       websocket::close_code::too_big},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    websocket::stream<tcp::socket> faulty(io);
    ASSERT_EQ(connect(faulty, host_->token(), host_->origin()), "");
    faulty.binary(c.binary);
    beast::error_code ec;
    faulty.write(asio::buffer(std::string(c.size, 'x')), ec);
    beast::flat_buffer b;
    faulty.read(b, ec);
    EXPECT_EQ(ec, websocket::error::closed);
    EXPECT_EQ(faulty.reason().code, c.code);
  }
}

}  // namespace
