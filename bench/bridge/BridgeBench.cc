// No-op plug-in calls through the app's bridge (WebSocket host, frame reading, the bridge queue,
// the answer written back) against the anchor a user would pick: a bare WebSocket echo server
// on the same host, driven by the same client with the same frames, 1 and 100 calls in flight.
// Prints the bridge/echo ratios of the median times last.
#include <utility>  // before Asio

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "bench/MedianRatios.h"
#include "platform/capacitor/CAPBridge.h"
#include "platform/capacitor/CAPWebHost.h"
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
  // Sends `inFlight` calls, then reads their answers.
  void round(int inFlight) {
    static const std::string frame =
        R"({"callbackId":"7","pluginId":"Bench","methodName":"noop","options":{}})";
    for (int i = 0; i < inFlight; ++i) ws.write(asio::buffer(frame));
    beast::flat_buffer buffer;
    for (int i = 0; i < inFlight; ++i) {
      ws.read(buffer);
      buffer.consume(buffer.size());
    }
  }
};

struct BridgeFixture {
  std::filesystem::path www = std::filesystem::temp_directory_path() / "kvl-bridge-bench-www";
  std::shared_ptr<platform::CAPBridge> bridge = platform::CAPBridge::create();
  std::unique_ptr<platform::CAPWebHost> host;
  BridgeFixture() {
    std::filesystem::create_directories(www);
    bridge->registerPlugin(std::make_shared<NoOpPlugin>(bridge, "Bench", "Bench"));
    host = std::make_unique<platform::CAPWebHost>(bridge, www, 0);
    cookie = login();
  }
  std::string cookie;  // the session, as a browser gets it from the page's one-time address

  std::string login() {
    asio::io_context io;
    beast::tcp_stream stream(io);
    stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), host->port()));
    beast::http::request<beast::http::empty_body> request(
        beast::http::verb::get, host->newPageURL().substr(host->origin().size()), 11);
    request.set(beast::http::field::host, "127.0.0.1:" + std::to_string(host->port()));
    beast::http::write(stream, request);
    beast::flat_buffer buffer;
    beast::http::response<beast::http::empty_body> response;
    beast::http::read(stream, buffer, response);
    std::string setCookie(response[beast::http::field::set_cookie]);
    return setCookie.substr(0, setCookie.find(';'));
  }
};

void BM_Bridge(benchmark::State& state) {
  static BridgeFixture fixture;
  Client client(fixture.host->port(), "/_capacitor/bridge", fixture.host->origin(), fixture.cookie);
  const int inFlight = static_cast<int>(state.range(0));
  for (auto _ : state) client.round(inFlight);
  state.SetItemsProcessed(state.iterations() * inFlight);
}

void BM_Echo(benchmark::State& state) {
  static EchoServer server;
  Client client(server.port(), "/", "http://127.0.0.1");
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
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.ratio("bridge/echo, 1 in flight", "BM_Bridge/1", "BM_Echo/1");
  reporter.ratio("bridge/echo, 100 in flight", "BM_Bridge/100", "BM_Echo/100");
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
