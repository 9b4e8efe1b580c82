// No-op plug-in calls through the app's bridge (WebSocket host, frame reading, the bridge queue,
// the answer written back) against the anchor a user would pick: a bare WebSocket echo server
// on the same host, driven by the same client with the same frames, 1 and 100 calls in flight.
// Prints the bridge/echo ratios of the median times last.
//
// The client reaches the bridge as the page does: GET of the printed address without its
// fragment trades the one-time secret for the session cookie; each socket presents the key
// (first the fragment's "#key=", then the one the previous socket handed over in its first
// frame, on a host whose keys open one socket each). Every side's first answer is checked
// before it is timed.
#include <utility>  // before Asio

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "bench/MedianRatios.h"
#include "bench/ScratchDirectory.h"
#include "platform/capacitor/CAPBridge.h"
#include "platform/capacitor/CAPWebHost.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PlatformLog.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

// The test-only plug-in: one method that resolves at once.
class NoOpPlugin : public platform::CAPPlugin, public platform::CAPBridgedPlugin {
 public:
  using CAPPlugin::CAPPlugin;
  std::string identifier() const override { return "Bench"; }
  std::string jsName() const override { return "Bench"; }
  std::vector<platform::CAPPluginMethod> pluginMethods() const override {
    return {{"noop", "promise"}};
  }
  bool performMethod(const std::string&,
                     const std::shared_ptr<platform::CAPPluginCall>& call) override {
    call->resolve();
    return true;
  }
};

// A WebSocket echo server on 127.0.0.1, one thread per connection.
class EchoServer {
 public:
  EchoServer() : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    thread_ = std::thread([this] {
      for (;;) {
        beast::error_code ec;
        tcp::socket socket(io_);
        acceptor_.accept(socket, ec);
        if (ec) return;
        std::thread([s = std::move(socket)]() mutable {
          s.set_option(tcp::no_delay(true));
          websocket::stream<tcp::socket> ws(std::move(s));
          beast::error_code e;
          ws.accept(e);
          beast::flat_buffer buffer;
          while (!e) {
            ws.read(buffer, e);
            if (e) break;
            ws.text(ws.got_text());
            ws.write(buffer.data(), e);
            buffer.consume(buffer.size());
          }
        }).detach();
      }
    });
  }
  ~EchoServer() {
    // Shut the listening socket down while its descriptor is still open: that wakes the
    // blocking accept on the server thread (closing alone does not), then close it.
    ::shutdown(acceptor_.native_handle(), SHUT_RDWR);
    thread_.join();
    beast::error_code ignored;
    acceptor_.close(ignored);
  }
  uint16_t port() const { return acceptor_.local_endpoint().port(); }

 private:
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

struct Client {
  asio::io_context io;
  websocket::stream<tcp::socket> ws{io};
  Client(uint16_t port, const std::string& target, const std::string& origin,
         const std::string& cookie = "") {
    ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    ws.next_layer().set_option(tcp::no_delay(true));
    ws.set_option(websocket::stream_base::decorator([origin, cookie](websocket::request_type& r) {
      r.set(beast::http::field::origin, origin);
      if (!cookie.empty()) r.set(beast::http::field::cookie, cookie);
    }));
    ws.handshake("127.0.0.1:" + std::to_string(port), target);
    ws.text(true);
  }
  static constexpr const char* frame =
      R"({"callbackId":"7","pluginId":"Bench","methodName":"noop","options":{}})";

  // Sends `inFlight` calls, then reads their answers.
  void round(int inFlight) {
    for (int i = 0; i < inFlight; ++i) ws.write(asio::buffer(std::string_view(frame)));
    beast::flat_buffer buffer;
    for (int i = 0; i < inFlight; ++i) {
      ws.read(buffer);
      buffer.consume(buffer.size());
    }
  }

  std::string readText() {
    beast::flat_buffer buffer;
    ws.read(buffer);
    return beast::buffers_to_string(buffer.data());
  }

  // One call, outside the timed loop: its answer must be what `expected` says (the echo
  // server's: the frame itself; the bridge's: a resolved answer to callback "7"). Exits with
  // a message otherwise, so that a side that answers wrongly is never timed. With `nextKey`,
  // a first frame {"bridgeKey":"..."} (a host whose socket keys are spent sends the key of the
  // next socket before any answer) is taken into it and acknowledged; a host that sends none
  // leaves it as it was.
  void check(const char* side, const std::function<bool(const std::string&)>& expected,
             std::string* nextKey = nullptr) {
    ws.write(asio::buffer(std::string_view(frame)));
    std::string answer = readText();
    if (nextKey != nullptr) {
      auto object = platform::JSONSerialization::JSONObjectWithData(answer);
      const platform::Value* key = object.ok() ? object->find("bridgeKey") : nullptr;
      if (key != nullptr && key->asString() != nullptr) {
        *nextKey = *key->asString();
        // As the page's shim does: say the key is kept, in the host's exact form, which kills
        // the key this socket opened with. A host that does not know the frame drops it
        // unanswered (it has no callbackId).
        const std::string kept = R"({"bridgeKeyKept":")" + *nextKey + R"("})";
        ws.write(asio::buffer(kept));
        answer = readText();
      }
    }
    if (!expected(answer)) {
      std::fprintf(stderr, "bridge_bench: unexpected answer from the %s: %s\n", side,
                   answer.c_str());
      std::exit(1);
    }
  }
};

struct BridgeFixture {
  // A folder of this run's own: two runs at once never share (or remove) each other's pages.
  std::filesystem::path www = bench::scratchDirectory("kvl-bridge-bench") / "www";
  std::shared_ptr<platform::CAPBridge> bridge = platform::CAPBridge::create();
  std::unique_ptr<platform::CAPWebHost> host;
  std::string cookie;  // the session, as a browser gets it from the page's one-time address
  // The socket key, as the page's shim keeps it: first the one in the address's fragment, then
  // (where the host hands one over on each socket) the next socket's.
  std::string key;
  BridgeFixture() {
    std::filesystem::create_directories(www);
    bridge->registerPlugin(std::make_shared<NoOpPlugin>(bridge, "Bench", "Bench"));
    host = std::make_unique<platform::CAPWebHost>(bridge, www, 0);
    login();
  }

  // Opens the page as a browser does: the request carries the address without its fragment
  // (browsers never send "#key=..."), its secret is traded for the session cookie, and the key
  // stays with the page for the socket.
  void login() {
    std::string address = host->newPageURL().substr(host->origin().size());
    std::string target = address;
    if (size_t hash = address.find('#'); hash != std::string::npos) {
      target = address.substr(0, hash);
      std::string fragment = address.substr(hash + 1);
      if (fragment.rfind("key=", 0) == 0) key = fragment.substr(4);
    }
    asio::io_context io;
    beast::tcp_stream stream(io);
    stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), host->port()));
    beast::http::request<beast::http::empty_body> request(beast::http::verb::get, target, 11);
    request.set(beast::http::field::host, "127.0.0.1:" + std::to_string(host->port()));
    beast::http::write(stream, request);
    beast::flat_buffer buffer;
    beast::http::response<beast::http::string_body> response;
    beast::http::read(stream, buffer, response);
    std::string setCookie(response[beast::http::field::set_cookie]);
    cookie = setCookie.substr(0, setCookie.find(';'));
    if (cookie.empty()) {
      std::fprintf(stderr, "bridge_bench: the page address %s gave no session cookie (HTTP %u)\n",
                   target.c_str(), response.result_int());
      std::exit(1);
    }
  }

  std::string socketTarget() const {
    return key.empty() ? "/_capacitor/bridge" : "/_capacitor/bridge?key=" + key;
  }
};

void BM_Bridge(benchmark::State& state) {
  static BridgeFixture fixture;
  Client client(fixture.host->port(), fixture.socketTarget(), fixture.host->origin(),
                fixture.cookie);
  client.check(
      "bridge",
      [](const std::string& answer) {
        return answer.find(R"("callbackId":"7")") != std::string::npos &&
               answer.find(R"("success":true)") != std::string::npos;
      },
      &fixture.key);
  const int inFlight = static_cast<int>(state.range(0));
  for (auto _ : state) client.round(inFlight);
  state.SetItemsProcessed(state.iterations() * inFlight);
}

void BM_Echo(benchmark::State& state) {
  static EchoServer server;
  Client client(server.port(), "/", "http://127.0.0.1");
  client.check("echo server", [](const std::string& answer) { return answer == Client::frame; });
  const int inFlight = static_cast<int>(state.range(0));
  for (auto _ : state) client.round(inFlight);
  state.SetItemsProcessed(state.iterations() * inFlight);
}

BENCHMARK(BM_Echo)->Arg(1)->Arg(100)->UseRealTime();
BENCHMARK(BM_Bridge)->Arg(1)->Arg(100)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  platform::PlatformLog::setSink([](const std::string&) {});
  kvlbench::MedianReporter reporter;
  reporter.ratio("bridge/echo, 1 in flight", "BM_Bridge/1", "BM_Echo/1");
  reporter.ratio("bridge/echo, 100 in flight", "BM_Bridge/100", "BM_Echo/100");
  reporter.run();
  reporter.printRatios();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(bench::scratchDirectory("kvl-bridge-bench"), ignored);
  return reporter.complete() ? 0 : 1;
}
