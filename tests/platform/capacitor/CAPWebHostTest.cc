#include "platform/capacitor/CAPWebHost.h"

#include <gtest/gtest.h>

#include <utility>  // before Asio

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "platform/capacitor/CAPBridgeMessage.h"
#include "platform/foundation/JSONSerialization.h"
#include "tests/platform/capacitor/RecordingPage.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RawHttp.h"
#include "tests/support/WebSocketWire.h"

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
    return {{"ping", "promise"}, {"blob", "promise"}};
  }
  bool performMethod(const std::string& name,
                     const std::shared_ptr<platform::CAPPluginCall>& call) override {
    if (name == "ping") {
      call->resolve({{"pong", platform::Value(true)}});
    } else if (name == "blob") {  // an answer of 1 MiB
      call->resolve({{"blob", platform::Value(std::string(size_t{1} << 20, 'b'))}});
    } else {
      return false;
    }
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
    cookie_ = login(&key_);
  }
  void TearDown() override {
    host_.reset();
    fs::remove_all(dir_);
  }
  static void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

  std::string hostHeader() const { return "127.0.0.1:" + std::to_string(host_->port()); }

  http::response<http::string_body> request(http::verb verb, const std::string& target,
                                            const std::string& cookie, std::string host = "",
                                            const std::string& token = "") {
    asio::io_context io;
    beast::tcp_stream stream(io);
    stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), host_->port()));
    http::request<http::string_body> request(verb, target, 11);
    request.set(http::field::host, host.empty() ? hostHeader() : host);
    if (!cookie.empty()) request.set(http::field::cookie, cookie);
    if (!token.empty()) request.set("X-App-Token", token);
    if (verb == http::verb::post) request.body() = R"({"action":"page-url"})";
    request.prepare_payload();
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    return response;
  }

  std::pair<int, std::string> get(const std::string& target, std::string host = "") {
    auto response = request(http::verb::get, target, cookie_, std::move(host));
    return {response.result_int(), response.body()};
  }

  // Opens the page's one-time address as a browser does (the fragment stays in the browser);
  // the cookie it is given, and the socket key of the fragment in `key`.
  std::string login(std::string* key) {
    std::string url = host_->newPageURL();
    const size_t fragment = url.find("#key=");
    EXPECT_NE(fragment, std::string::npos);
    *key = url.substr(fragment + 5);
    url.resize(fragment);
    auto response = request(http::verb::get, url.substr(host_->origin().size()), "");
    EXPECT_EQ(response.result_int(), 303);
    EXPECT_EQ(response[http::field::location], "/");
    std::string cookie(response[http::field::set_cookie]);
    return cookie.substr(0, cookie.find(';'));
  }

  // The status of a socket request written by hand, as any local program may send it.
  int upgradeStatus(const std::string& cookie, const std::string& key, const std::string& origin,
                    const std::string& host) {
    asio::io_context io;
    beast::tcp_stream stream(io);
    stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), host_->port()));
    http::request<http::empty_body> request(http::verb::get, "/_capacitor/bridge?key=" + key, 11);
    request.set(http::field::host, host.empty() ? hostHeader() : host);
    request.set(http::field::connection, "Upgrade");
    request.set(http::field::upgrade, "websocket");
    request.set(http::field::sec_websocket_version, "13");
    request.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
    request.set(http::field::origin, origin);
    if (!cookie.empty()) request.set(http::field::cookie, cookie);
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response_parser<http::empty_body> response;
    response.skip(true);  // a 101 has no body to wait for
    http::read_header(stream, buffer, response);
    return response.get().result_int();
  }

  // Opens the bridge socket with the socket key `*key` (the fixture's when null), as the shim
  // does: once accepted, the first frame is the next key, which replaces `*key` and is said to be
  // kept. The handshake's error (empty when accepted).
  std::string connect(websocket::stream<tcp::socket>& ws, const std::string& cookie,
                      const std::string& origin, const std::string& host = "",
                      std::string* key = nullptr) {
    if (!key) key = &key_;
    if (!ws.next_layer().is_open()) ws.next_layer().open(tcp::v4());
    ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), host_->port()));
    ws.set_option(websocket::stream_base::decorator([origin, cookie](websocket::request_type& r) {
      r.set(http::field::origin, origin);
      if (!cookie.empty()) r.set(http::field::cookie, cookie);
    }));
    beast::error_code ec;
    ws.handshake(host.empty() ? hostHeader() : host, "/_capacitor/bridge?key=" + *key, ec);
    if (ec) return ec.message();
    beast::flat_buffer buffer;
    ws.read(buffer, ec);
    if (ec) return "no first frame: " + ec.message();
    auto first =
        platform::JSONSerialization::JSONObjectWithData(beast::buffers_to_string(buffer.data()));
    const platform::Value* next = first.ok() ? first->find("bridgeKey") : nullptr;
    if (!next || !next->asString()) return "the first frame is no key";
    *key = *next->asString();
    ws.text(true);
    ws.write(asio::buffer(R"({"bridgeKeyKept":")" + *key + R"("})"), ec);
    return ec ? "the key not kept: " + ec.message() : "";
  }

  fs::path dir_;
  std::shared_ptr<platform::CAPBridge> bridge_;
  std::unique_ptr<platform::CAPWebHost> host_;
  std::string cookie_;  // "app-session-<port>=<value>"
  std::string key_;     // the socket key of the address that gave cookie_
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
  EXPECT_NE(body.find("\"ws://" + hostHeader() + "/_capacitor/bridge\""), std::string::npos);
  EXPECT_EQ(body.find(host_->token()), std::string::npos);
  EXPECT_EQ(get("/_capacitor/bridge-shim.js").second, platform::CAPWebHost::kBridgeShimScript);
}

TEST_F(CAPWebHostTest, AOneTimeSecretOpensASessionAndNothingOpensWithoutIt) {
  const std::string name = "app-session-" + std::to_string(host_->port());
  const std::string url = host_->newPageURL();
  // The fragment stays in the browser.
  const std::string target =
      url.substr(host_->origin().size(), url.find('#') - host_->origin().size());
  ASSERT_EQ(target.rfind("/?secret=", 0), 0u);
  ASSERT_EQ(url.substr(url.find('#')).size(), 5u + 32u) << "\"#key=\" and 32 hex digits";
  auto first = request(http::verb::get, target, "");
  EXPECT_EQ(first.result_int(), 303);
  std::string setCookie(first[http::field::set_cookie]);
  EXPECT_EQ(setCookie.rfind(name + "=", 0), 0u);
  EXPECT_NE(setCookie.find("; HttpOnly"), std::string::npos);
  EXPECT_NE(setCookie.find("; SameSite=Strict"), std::string::npos);
  EXPECT_NE(setCookie.find("; Path=/"), std::string::npos);
  const std::string cookie = setCookie.substr(0, setCookie.find(';'));
  EXPECT_EQ(cookie, cookie_) << "one session cookie per run";

  struct Case {
    const char* name;
    std::string target;
    std::string cookie;
    int status;
  };
  const Case cases[] = {
      {"the page with the cookie", "/", cookie, 200},
      {"the secret a second time", target, "", 403},
      {"the page without the cookie", "/", "", 403},
      {"a script without the cookie", "/sub/app.js", "", 403},
      {"the shim without the cookie", "/_capacitor/bridge-shim.js", "", 403},
      {"a wrong cookie", "/", name + "=" + std::string(32, '0'), 403},
      {"another port's cookie", "/", "app-session-1=" + cookie.substr(name.size() + 1), 403},
      {"a made-up secret", "/?secret=" + std::string(32, '0'), "", 403},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(request(http::verb::get, c.target, c.cookie).result_int(), c.status);
  }
  // The control path keeps its own token: the cookie is not enough, the token alone is.
  EXPECT_EQ(request(http::verb::post, "/_app/control", cookie).result_int(), 403);
  auto fresh = request(http::verb::post, "/_app/control", "", "", host_->token());
  ASSERT_EQ(fresh.result_int(), 200);
  std::string freshURL =
      *platform::JSONSerialization::JSONObjectWithData(fresh.body())->find("url")->asString();
  freshURL.resize(freshURL.find('#'));
  EXPECT_EQ(request(http::verb::get, freshURL.substr(host_->origin().size()), "").result_int(),
            303);
}

TEST_F(CAPWebHostTest, TheSocketNeedsTheCookieTheKeyTheOriginAndTheHost) {
  testsupport::LogCapture log;
  // A second browser, from a second address: its key opens sockets too, the first still does.
  std::string secondKey;
  const std::string secondCookie = login(&secondKey);
  // An address given but never opened: its key opens nothing yet.
  std::string unopened = host_->newPageURL();
  unopened = unopened.substr(unopened.find("#key=") + 5);
  // A key opens one socket: each case refused for something else has a live key of its own.
  auto live = [this] {
    std::string key;
    login(&key);
    return key;
  };
  struct Case {
    const char* name;
    std::string cookie;
    std::string key;
    std::string origin;
    std::string host;
    bool accepted;
  };
  const Case cases[] = {
      {"all right", cookie_, key_, host_->origin(), "", true},
      {"the second address's key", secondCookie, secondKey, host_->origin(), "", true},
      // What another user's listener on another port of 127.0.0.1 receives from the browser is
      // the cookie: with Origin and Host forged as this server's, it still opens nothing.
      {"the cookie alone", cookie_, "", host_->origin(), "", false},
      {"a made-up key", cookie_, std::string(32, '0'), host_->origin(), "", false},
      {"the key of an address not opened", cookie_, unopened, host_->origin(), "", false},
      {"wrong cookie", "app-session-" + std::to_string(host_->port()) + "=" + std::string(32, '0'),
       live(), host_->origin(), "", false},
      {"no cookie", "", live(), host_->origin(), "", false},
      {"other origin", cookie_, live(), "http://evil.example", "", false},
      {"localhost origin", cookie_, live(), "http://localhost:" + std::to_string(host_->port()), "",
       false},
      {"other host", cookie_, live(), host_->origin(), "evil.example", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    std::string key = c.key;
    EXPECT_EQ(connect(ws, c.cookie, c.origin, c.host, &key).empty(), c.accepted);
    // Accepted, the socket gave the next key, which opens the next socket.
    EXPECT_EQ(upgradeStatus(c.cookie, key, c.origin, c.host), c.accepted ? 101 : 403);
  }
  // A request refused for anything else leaves its key unspent.
  for (const auto& c : cases) {
    if (c.accepted || c.key.size() != 32 || c.key == unopened || c.key == std::string(32, '0'))
      continue;
    SCOPED_TRACE(c.name);
    EXPECT_EQ(upgradeStatus(cookie_, c.key, host_->origin(), ""), 101);
  }
}

// What a command line held is worthless once used: the printed key's socket begins, before any
// answer, with the next key; once the page says it kept it, the printed key opens nothing.
TEST_F(CAPWebHostTest, APrintedKeyIsDeadOnceThePageKeptTheNext) {
  testsupport::LogCapture log;
  const std::string printed = key_;
  asio::io_context io;
  websocket::stream<tcp::socket> ws(io);
  ws.next_layer().open(tcp::v4());
  ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), host_->port()));
  ws.set_option(websocket::stream_base::decorator([this](websocket::request_type& r) {
    r.set(http::field::origin, host_->origin());
    r.set(http::field::cookie, cookie_);
  }));
  ws.handshake(hostHeader(), "/_capacitor/bridge?key=" + printed);
  ws.text(true);
  // A call sent at once: its answer comes after the key all the same.
  ws.write(
      asio::buffer(std::string(R"({"callbackId":"1","pluginId":"Ping","methodName":"ping"})")));
  auto readFrame = [&ws] {
    beast::flat_buffer buffer;
    ws.read(buffer);
    return *platform::JSONSerialization::JSONObjectWithData(
        beast::buffers_to_string(buffer.data()));
  };
  const platform::Value first = readFrame();
  ASSERT_TRUE(first.isDictionary());
  ASSERT_EQ(first.asDictionary()->size(), 1u) << "nothing but the key";
  const std::string next = *first.find("bridgeKey")->asString();
  EXPECT_EQ(next.size(), 32u);
  EXPECT_EQ(next.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(*readFrame().find("callbackId")->asString(), "1");

  ws.write(asio::buffer(R"({"bridgeKeyKept":")" + next + R"("})"));
  // The host's own frame: the bridge, which would drop it and say so, never sees it.
  ws.write(
      asio::buffer(std::string(R"({"callbackId":"2","pluginId":"Ping","methodName":"ping"})")));
  EXPECT_EQ(*readFrame().find("callbackId")->asString(), "2");
  EXPECT_FALSE(log.contains("frame dropped"));
  EXPECT_EQ(upgradeStatus(cookie_, printed, host_->origin(), ""), 403);
  ws.close(websocket::close_code::going_away);
  EXPECT_EQ(upgradeStatus(cookie_, printed, host_->origin(), ""), 403);
  std::string key = next;
  websocket::stream<tcp::socket> reloaded(io);
  ASSERT_EQ(connect(reloaded, cookie_, host_->origin(), "", &key), "");
  EXPECT_EQ(upgradeStatus(cookie_, next, host_->origin(), ""), 403);
}

// A second opener with the printed key (another local user who read it), on either side of the
// page's socket and of its acknowledgement: the first acknowledgement spends the key, the socket
// that gave it keeps working, every other socket opened with the key is closed (4000), and
// neither the printed key nor the loser's next key opens anything more.
TEST_F(CAPWebHostTest, TheFirstAcknowledgementClosesEveryOtherSocketOfTheKey) {
  struct Case {
    const char* name;
    bool openerFirst;      // the opener's socket opens before the page's
    bool openerKeptFirst;  // the opener acknowledges before the page does
  };
  const Case cases[] = {
      {"an opener before the page's socket", true, false},
      {"an opener between the page's socket and its acknowledgement", false, false},
      {"an opener that acknowledges first", false, true},
  };
  const std::string ping = R"({"callbackId":"p","pluginId":"Ping","methodName":"ping"})";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string printed;
    const std::string cookie = login(&printed);
    asio::io_context io;
    struct Opener {
      websocket::stream<tcp::socket> ws;
      std::string next;  // the key its socket handed it
    };
    Opener page{websocket::stream<tcp::socket>(io), {}};
    Opener opener{websocket::stream<tcp::socket>(io), {}};
    auto open = [&](Opener& o) {
      o.ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), host_->port()));
      o.ws.set_option(websocket::stream_base::decorator([&](websocket::request_type& r) {
        r.set(http::field::origin, host_->origin());
        r.set(http::field::cookie, cookie);
      }));
      o.ws.handshake(hostHeader(), "/_capacitor/bridge?key=" + printed);
      beast::flat_buffer buffer;
      o.ws.read(buffer);
      o.next =
          *platform::JSONSerialization::JSONObjectWithData(beast::buffers_to_string(buffer.data()))
               ->find("bridgeKey")
               ->asString();
      o.ws.text(true);
    };
    auto keep = [](Opener& o) {
      beast::error_code ec;  // the host may have closed it already
      o.ws.write(asio::buffer(R"({"bridgeKeyKept":")" + o.next + "\"}"), ec);
    };
    // "answered" while the socket works, else how it was closed. The host has read every
    // earlier frame of the winner (its answer came) before this asks.
    auto fate = [&](Opener& o) -> std::string {
      beast::error_code ec;
      o.ws.write(asio::buffer(ping), ec);
      beast::flat_buffer buffer;
      o.ws.read(buffer, ec);
      if (!ec) return "answered";
      if (ec == websocket::error::closed) return "closed " + std::to_string(o.ws.reason().code);
      return ec.message();
    };
    if (c.openerFirst) open(opener);
    open(page);
    if (!c.openerFirst) open(opener);
    Opener& winner = c.openerKeptFirst ? opener : page;
    Opener& loser = c.openerKeptFirst ? page : opener;
    keep(winner);
    EXPECT_EQ(fate(winner), "answered");
    keep(loser);  // too late: it goes all the same
    EXPECT_EQ(fate(loser), "closed 4000");
    EXPECT_EQ(fate(winner), "answered");
    EXPECT_EQ(upgradeStatus(cookie, printed, host_->origin(), ""), 403);
    EXPECT_EQ(upgradeStatus(cookie, loser.next, host_->origin(), ""), 403);
    EXPECT_EQ(upgradeStatus(cookie, winner.next, host_->origin(), ""), 101);
  }
}

// A socket that another socket of its key closes while its handshake is still being answered
// gets its close after the handshake, written as a server writes it, and nothing after it: a
// browser fails the connection on a masked server frame or on a frame after the close, and the
// page never learns that it must be opened from a new address.
TEST_F(CAPWebHostTest, ASocketClosedDuringItsHandshakeIsClosedAfterIt) {
  using testsupport::WebSocketWire;
  std::string printed;
  const std::string cookie = login(&printed);
  asio::io_context io;
  WebSocketWire page(io, host_->port());
  page.write(WebSocketWire::upgradeRequest(hostHeader(), printed, cookie));
  ASSERT_EQ(page.readStatus(), 101);
  auto first = page.readFrame();
  ASSERT_TRUE(first);
  const std::string next = *platform::JSONSerialization::JSONObjectWithData(first->payload)
                                ->find("bridgeKey")
                                ->asString();
  // The opener's request but for its last line end: the host waits for the rest.
  WebSocketWire opener(io, host_->port());
  const std::string upgrade = WebSocketWire::upgradeRequest(hostHeader(), printed, cookie);
  opener.write(upgrade.substr(0, upgrade.size() - 2));
  // The host's I/O thread is held (in a control request) while the rest of the opener's request
  // and then the page's acknowledgement arrive: it reads both at once, the acknowledgement
  // while the opener's handshake is being answered.
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  host_->setControlHandler([&entered, released](const platform::Value&) {
    entered.set_value();
    released.wait();
    return true;
  });
  std::thread control([&] {
    testsupport::exchangeRaw(host_->port(), "POST /_app/control HTTP/1.1\r\nHost: " + hostHeader() +
                                                "\r\nX-App-Token: " + host_->token() +
                                                "\r\nContent-Length: 17\r\nConnection: "
                                                "close\r\n\r\n{\"action\":\"hold\"}");
  });
  entered.get_future().wait();
  opener.write("\r\n");
  page.write(WebSocketWire::clientText(R"({"bridgeKeyKept":")" + next + "\"}"));
  release.set_value();
  control.join();
  ASSERT_EQ(opener.readStatus(), 101);
  const std::vector<WebSocketWire::Frame> frames = opener.readToEnd();
  EXPECT_EQ(WebSocketWire::faults(frames), "");
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().closeCode(), platform::CAPWebHost::kKeyTakenCloseCode);
  // The page's socket works on.
  page.write(
      WebSocketWire::clientText(R"({"callbackId":"p","pluginId":"Ping","methodName":"ping"})"));
  auto answer = page.readFrame();
  ASSERT_TRUE(answer);
  EXPECT_FALSE(answer->masked);
  EXPECT_NE(answer->payload.find("pong"), std::string::npos) << answer->payload;
}

// Every answer the host gives, pages, refusals and errors alike, forbids framing it.
TEST_F(CAPWebHostTest, NoAnswerMayBeFramed) {
  std::string url = host_->newPageURL();
  url.resize(url.find('#'));
  struct Case {
    const char* name;
    std::string request;
    const char* statusLine;
  };
  auto get = [this](const std::string& target, const std::string& cookie) {
    return "GET " + target + " HTTP/1.1\r\nHost: " + hostHeader() + "\r\nCookie: " + cookie +
           "\r\nConnection: close\r\n\r\n";
  };
  const Case cases[] = {
      {"the page", get("/", cookie_), "HTTP/1.1 200 "},
      {"a missing file", get("/missing.html", cookie_), "HTTP/1.1 404 "},
      {"the one-time address", get(url.substr(host_->origin().size()), ""), "HTTP/1.1 303 "},
      {"no cookie", get("/", ""), "HTTP/1.1 403 "},
      {"a malformed request", "HELLO\r\n\r\n", "HTTP/1.1 400 "},
      {"a refused socket",
       "GET /_capacitor/bridge HTTP/1.1\r\nHost: " + hostHeader() +
           "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: "
           "13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
       "HTTP/1.1 403 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string answer = testsupport::exchangeRaw(host_->port(), c.request);
    EXPECT_EQ(answer.rfind(c.statusLine, 0), 0u) << answer.substr(0, 40);
    const std::string head = answer.substr(0, answer.find("\r\n\r\n"));
    EXPECT_NE(head.find("\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"),
              std::string::npos);
    EXPECT_NE(head.find("\r\nX-Frame-Options: DENY\r\n"), std::string::npos);
  }
}

// A tab closed or reloaded ends its socket however the browser drops the connection: before,
// during or after the closing handshake. None of it is an error line.
TEST_F(CAPWebHostTest, APageThatGoesIsANormalEnd) {
  testsupport::LogCapture log;
  auto ping = bridge_->plugin("Ping");
  struct Case {
    const char* name;
    bool closeFrame;  // the page says it goes before its connection does
    bool reset;       // the connection is reset (RST) rather than closed (FIN)
  };
  const Case cases[] = {
      {"close frame, then FIN", true, false},
      {"close frame, then RST", true, true},
      {"FIN only", false, false},
      {"RST only", false, true},
  };
  // Each a few times: where the connection ends against the host's close reply varies.
  for (int round = 0; round < 8; ++round) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      asio::io_context io;
      websocket::stream<tcp::socket> ws(io);
      ASSERT_EQ(connect(ws, cookie_, host_->origin()), "");
      ws.text(true);
      // A listener is this page's until the host has closed it: its end is visible here.
      ws.write(asio::buffer(std::string(
          R"({"callbackId":"l","pluginId":"Ping","methodName":"addListener","options":{"eventName":"e"}})")));
      auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!ping->hasListeners("e") && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::yield();
      }
      ASSERT_TRUE(ping->hasListeners("e"));
      if (c.closeFrame) {
        // The frame alone, written by hand, so that nothing waits for the host's reply.
        const unsigned char frame[] = {0x88, 0x82, 0, 0, 0, 0, 0x03, 0xe9};  // 1001, mask 0
        asio::write(ws.next_layer(), asio::buffer(frame));
      }
      if (c.reset) ws.next_layer().set_option(asio::socket_base::linger(true, 0));
      ws.next_layer().close();
      while (ping->hasListeners("e") && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::yield();
      }
      ASSERT_FALSE(ping->hasListeners("e"));
    }
  }
  for (const auto& line : log.lines()) EXPECT_EQ(line.find("closed:"), std::string::npos) << line;
}

// Sixteen addresses opened after the fixture's: its key no longer opens a socket, theirs do.
TEST_F(CAPWebHostTest, TheNewestSixteenKeysOpenSockets) {
  std::vector<std::string> keys;
  for (int i = 0; i < 16; ++i) login(&keys.emplace_back());
  asio::io_context io;
  for (size_t i = 0; i <= keys.size(); ++i) {
    std::string key = i == 0 ? key_ : keys[i - 1];
    websocket::stream<tcp::socket> ws(io);
    EXPECT_EQ(connect(ws, cookie_, host_->origin(), "", &key).empty(), i > 0) << i;
  }
}

TEST_F(CAPWebHostTest, MalformedRequestsAreAnsweredAsTheParserReportsThem) {
  for (const auto& c : testsupport::malformedRequests(hostHeader())) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(testsupport::exchangeRaw(host_->port(), c.bytes).rfind(c.statusLine, 0), 0u);
  }
}

TEST_F(CAPWebHostTest, APageThatDoesNotReadIsClosedWhenItsAnswersPileUp) {
  testsupport::LogCapture log;
  asio::io_context io;
  websocket::stream<tcp::socket> ws(io);
  // A small receive buffer, so that the kernel does not take the answers in the server's stead.
  ws.next_layer().open(tcp::v4());
  ws.next_layer().set_option(asio::socket_base::receive_buffer_size(64 * 1024));
  ASSERT_EQ(connect(ws, cookie_, host_->origin()), "");
  ws.text(true);
  // 64 answers of 1 MiB asked for without reading: far more than the bound and what the
  // socket buffers take.
  const int asked = 64;
  for (int i = 0; i < asked; ++i) {
    ws.write(asio::buffer(R"({"callbackId":")" + std::to_string(i) +
                          R"(","pluginId":"Ping","methodName":"blob"})"));
  }
  // Only once the host has given up on the page, read: some answers, then the close.
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!log.contains("reads too slowly") && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::yield();
  }
  ASSERT_TRUE(log.contains("reads too slowly"));
  int answers = 0;
  beast::error_code ec;
  while (!ec) {
    beast::flat_buffer buffer;
    ws.read(buffer, ec);
    if (!ec) ++answers;
  }
  EXPECT_EQ(ec, websocket::error::closed);
  EXPECT_EQ(ws.reason().code, websocket::close_code::policy_error);
  EXPECT_LT(answers, asked);
}

// Many calls in flight: the host gathers their answers into shared writes, and each still
// comes back once, in the order of the calls, resolutions and rejections alike.
TEST_F(CAPWebHostTest, ABurstOfCallsIsAnsweredOnceEachInCallOrder) {
  asio::io_context io;
  websocket::stream<tcp::socket> ws(io);
  ASSERT_EQ(connect(ws, cookie_, host_->origin()), "");
  ws.text(true);
  const int calls = 300;
  for (int i = 0; i < calls; ++i) {
    const char* method = i % 7 == 3 ? "missing" : "ping";
    ws.write(asio::buffer(R"({"callbackId":")" + std::to_string(i) +
                          R"(","pluginId":"Ping","methodName":")" + method + R"("})"));
  }
  for (int i = 0; i < calls; ++i) {
    beast::flat_buffer buffer;
    ws.read(buffer);
    auto answer =
        platform::JSONSerialization::JSONObjectWithData(beast::buffers_to_string(buffer.data()));
    ASSERT_TRUE(answer.ok());
    ASSERT_EQ(*answer->find("callbackId")->asString(), std::to_string(i));
    EXPECT_EQ(*answer->find("success")->asBool(), i % 7 != 3) << i;
  }
}

// A protocol fault while answers are still being written: the answers that go out come in
// call order, then the close (1002); nothing waits for the page to read first.
TEST_F(CAPWebHostTest, AFaultAmidABurstClosesAfterTheAnswersWrittenSoFar) {
  asio::io_context io;
  websocket::stream<tcp::socket> ws(io);
  ASSERT_EQ(connect(ws, cookie_, host_->origin()), "");
  // A page that never gets its close fails instead of hanging.
  timeval limit{30, 0};
  ::setsockopt(ws.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ws.text(true);
  const int calls = 200;
  for (int i = 0; i < calls; ++i) {
    ws.write(asio::buffer(R"({"callbackId":")" + std::to_string(i) +
                          R"(","pluginId":"Ping","methodName":"ping"})"));
  }
  ws.binary(true);
  ws.write(asio::buffer(std::string("binary")));
  int answers = 0;
  beast::error_code ec;
  for (;;) {
    beast::flat_buffer buffer;
    ws.read(buffer, ec);
    if (ec) break;
    auto answer =
        platform::JSONSerialization::JSONObjectWithData(beast::buffers_to_string(buffer.data()));
    ASSERT_TRUE(answer.ok());
    EXPECT_EQ(*answer->find("callbackId")->asString(), std::to_string(answers));
    ++answers;
  }
  EXPECT_EQ(ec, websocket::error::closed) << ec.message();
  EXPECT_EQ(ws.reason().code, websocket::close_code::protocol_error);
  EXPECT_LE(answers, calls);
}

TEST_F(CAPWebHostTest, AnswersComeBackOnTheSocketAndProtocolFaultsClose) {
  asio::io_context io;
  websocket::stream<tcp::socket> ws(io);
  ASSERT_EQ(connect(ws, cookie_, host_->origin()), "");
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
    ASSERT_EQ(connect(faulty, cookie_, host_->origin()), "");
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
