// Any frame from web code: the bridge never crashes; a frame whose callbackId is readable gets
// exactly one answer, for that callbackId, written as valid JSON; any other frame gets none;
// and the next call is still answered.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/capacitor/CAPBridge.h"
#include "platform/capacitor/CAPBridgeMessage.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PlatformLog.h"

namespace {

class CollectingPage : public platform::CAPBridgePage {
 public:
  uint64_t pageId() const override { return 1; }
  void send(std::string frame) override {
    std::lock_guard lock(mutex_);
    frames.push_back(std::move(frame));
  }
  bool isClosed() const override { return false; }
  std::mutex mutex_;
  std::vector<std::string> frames;
};

class AnsweringPlugin : public platform::CAPPlugin, public platform::CAPBridgedPlugin {
 public:
  using CAPPlugin::CAPPlugin;
  std::string identifier() const override { return "Fuzz"; }
  std::string jsName() const override { return "Fuzz"; }
  std::vector<platform::CAPPluginMethod> pluginMethods() const override {
    return {{"echo", "promise"}};
  }
  bool performMethod(const std::string& name,
                     const std::shared_ptr<platform::CAPPluginCall>& call) override {
    if (name != "echo") return false;
    call->resolve(call->options());
    return true;
  }
};

std::shared_ptr<platform::CAPBridge> bridge() {
  static auto b = [] {
    platform::PlatformLog::setSink([](const std::string&) {});
    auto bridge = platform::CAPBridge::create();
    bridge->registerPlugin(std::make_shared<AnsweringPlugin>(bridge, "Fuzz", "Fuzz"));
    return bridge;
  }();
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view frame(reinterpret_cast<const char*>(data), size);
  auto page = std::make_shared<CollectingPage>();
  bridge()->handleFrame(page, frame);
  bridge()->handleFrame(page, R"({"callbackId":"next","pluginId":"Fuzz","methodName":"echo"})");
  platform::DispatchQueue::waitUntilIdle();

  auto message = platform::CAPBridgeMessage::read(frame);
  // addListener and removeListener calls stay unanswered by design.
  const bool listenerCall =
      message.kind == platform::CAPBridgeMessage::Kind::kCall &&
      (message.methodName == "addListener" || message.methodName == "removeListener") &&
      message.pluginId == "Fuzz";
  const bool answered =
      !listenerCall && (message.kind == platform::CAPBridgeMessage::Kind::kCall ||
                        message.kind == platform::CAPBridgeMessage::Kind::kRefused);
  const size_t expected = answered ? 2 : 1;
  std::lock_guard lock(page->mutex_);
  if (page->frames.size() != expected) std::abort();
  for (const auto& text : page->frames) {
    auto parsed = platform::JSONSerialization::JSONObjectWithData(text);
    if (!parsed.ok() || !parsed->find("callbackId")) std::abort();
  }
  if (answered && *platform::JSONSerialization::JSONObjectWithData(page->frames[0])
                          ->find("callbackId")
                          ->asString() != message.callbackId) {
    std::abort();
  }
  return 0;
}
