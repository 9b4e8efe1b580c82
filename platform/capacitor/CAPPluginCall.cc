#include "platform/capacitor/CAPPluginCall.h"

#include <cmath>

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PlatformLog.h"

namespace platform {

CAPPluginCall::CAPPluginCall(std::string callbackId, std::string pluginId, std::string methodName,
                             Value::Dictionary options, std::shared_ptr<CAPBridgePage> page)
    : callbackId_(std::move(callbackId)),
      pluginId_(std::move(pluginId)),
      methodName_(std::move(methodName)),
      options_(std::move(options)),
      page_(std::move(page)) {}

namespace {
const Value* lookup(const Value::Dictionary& options, std::string_view key) {
  auto it = options.find(key);
  return it == options.end() ? nullptr : &it->second;
}
}  // namespace

std::optional<std::string> CAPPluginCall::getString(std::string_view key) const {
  const Value* v = lookup(options_, key);
  if (v == nullptr || !v->isString()) return std::nullopt;
  return *v->asString();
}

std::optional<bool> CAPPluginCall::getBool(std::string_view key) const {
  const Value* v = lookup(options_, key);
  if (v == nullptr || !v->isBool()) return std::nullopt;
  return *v->asBool();
}

std::optional<int64_t> CAPPluginCall::getInt(std::string_view key) const {
  const Value* v = lookup(options_, key);
  if (v == nullptr) return std::nullopt;
  if (const int64_t* i = v->asInteger()) return *i;
  if (const double* d = v->asReal()) {
    // 2^63 is exactly representable; every double below it in magnitude with a whole value
    // converts without overflow.
    constexpr double kLimit = 9223372036854775808.0;
    if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -kLimit && *d < kLimit) {
      return static_cast<int64_t>(*d);
    }
  }
  return std::nullopt;
}

std::optional<Value::Array> CAPPluginCall::getArray(std::string_view key) const {
  const Value* v = lookup(options_, key);
  if (v == nullptr || !v->isArray()) return std::nullopt;
  return *v->asArray();
}

std::optional<Value::Dictionary> CAPPluginCall::getObject(std::string_view key) const {
  const Value* v = lookup(options_, key);
  if (v == nullptr || !v->isDictionary()) return std::nullopt;
  return *v->asDictionary();
}

Value CAPPluginCall::resultFrame(const std::string& callbackId, const std::string& pluginId,
                                 const std::string& methodName, bool save,
                                 std::optional<Value::Dictionary> data) {
  Value frame = Value::Dictionary{};
  frame["callbackId"] = callbackId;
  frame["pluginId"] = pluginId;
  frame["methodName"] = methodName;
  frame["save"] = save;
  frame["success"] = true;
  if (data) frame["data"] = std::move(*data);
  return frame;
}

Value CAPPluginCall::errorFrame(const std::string& callbackId, const std::string& pluginId,
                                const std::string& methodName, const std::string& message,
                                std::optional<std::string> code) {
  Value frame = Value::Dictionary{};
  frame["callbackId"] = callbackId;
  frame["pluginId"] = pluginId;
  frame["methodName"] = methodName;
  frame["save"] = false;
  frame["success"] = false;
  Value error = Value::Dictionary{};
  error["message"] = message;
  error["errorMessage"] = message;
  if (code) error["code"] = std::move(*code);
  frame["error"] = std::move(error);
  return frame;
}

std::string CAPPluginCall::serialize(const Value& frame) {
  auto text = JSONSerialization::dataWithJSONObject(frame);
  if (text.ok()) return *std::move(text);
  // Plug-ins answer plain values; a value JSON cannot carry (bytes, a date, NaN) must not take
  // the page's promise with it, so the call is rejected instead.
  const Value* id = frame.find("callbackId");
  const Value* plugin = frame.find("pluginId");
  const Value* method = frame.find("methodName");
  PlatformLog::write("Capacitor: an answer could not be written as JSON: " +
                     std::string(text.status().message()));
  return *JSONSerialization::dataWithJSONObject(
      errorFrame(id && id->isString() ? *id->asString() : "",
                 plugin && plugin->isString() ? *plugin->asString() : "",
                 method && method->isString() ? *method->asString() : "",
                 "The answer could not be sent to web code", std::nullopt));
}

bool CAPPluginCall::claimAnswer(const char* how) {
  if (answered_.exchange(true)) {
    PlatformLog::write("Capacitor: " + pluginId_ + "." + methodName_ + "() callback " +
                       callbackId_ + " answered twice; the second " + how + " is dropped");
    return false;
  }
  return true;
}

void CAPPluginCall::sendFrame(const Value& frame) {
  if (page_) page_->send(serialize(frame));
}

void CAPPluginCall::resolve() {
  if (!claimAnswer("resolve")) return;
  sendFrame(resultFrame(callbackId_, pluginId_, methodName_, false, std::nullopt));
}

void CAPPluginCall::resolve(Value::Dictionary data) {
  if (!claimAnswer("resolve")) return;
  sendFrame(resultFrame(callbackId_, pluginId_, methodName_, false, std::move(data)));
}

void CAPPluginCall::reject(std::string message) {
  if (!claimAnswer("reject")) return;
  sendFrame(errorFrame(callbackId_, pluginId_, methodName_, message, std::nullopt));
}

void CAPPluginCall::rejectWithCode(std::string message, std::string code) {
  if (!claimAnswer("reject")) return;
  sendFrame(errorFrame(callbackId_, pluginId_, methodName_, message, std::move(code)));
}

}  // namespace platform
