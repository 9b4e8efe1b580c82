#include "platform/capacitor/CAPPluginCall.h"

#include <cstdio>

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/foundation/Text.h"

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
  if (const double* d = v->asReal()) return wholeInteger(*d);
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

namespace {

// `text` (UTF-8) as a JSON string, escaped as the JSON writer escapes: the quotation mark, the
// backslash and control characters; everything else as it is.
void appendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[7];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

// The answer frame written straight from its parts: the text the JSON writer gives for
// resultFrame or errorFrame (keys in its sorted order), without building a tree and converting
// it. `dataArray` is [data], so that the data's nesting is counted as deep as inside the frame;
// `message` makes it an error answer. Nothing when a text is not UTF-8 or the data cannot be
// written: the general path then answers.
std::optional<std::string> answerText(const std::string& callbackId, const std::string& pluginId,
                                      const std::string& methodName, const Value* dataArray,
                                      const std::string* message, const std::string* code) {
  for (const std::string* text : {&callbackId, &pluginId, &methodName, message, code}) {
    if (text != nullptr && !Text::isValidUTF8(*text)) return std::nullopt;
  }
  std::string out = "{\"callbackId\":";
  appendQuoted(out, callbackId);
  if (dataArray != nullptr) {
    auto data = JSONSerialization::dataWithJSONObject(*dataArray);
    if (!data.ok()) return std::nullopt;
    out += ",\"data\":";
    out.append(*data, 1, data->size() - 2);  // the array's brackets left out
  }
  if (message != nullptr) {
    out += ",\"error\":{";
    if (code != nullptr) {
      out += "\"code\":";
      appendQuoted(out, *code);
      out += ',';
    }
    out += "\"errorMessage\":";
    appendQuoted(out, *message);
    out += ",\"message\":";
    appendQuoted(out, *message);
    out += '}';
  }
  out += ",\"methodName\":";
  appendQuoted(out, methodName);
  out += ",\"pluginId\":";
  appendQuoted(out, pluginId);
  out += message != nullptr ? ",\"save\":false,\"success\":false}"
                            : ",\"save\":false,\"success\":true}";
  return out;
}

}  // namespace

void CAPPluginCall::sendAnswer(std::optional<Value::Dictionary> data, const std::string* message,
                               const std::optional<std::string>& code) {
  if (!page_) return;
  std::optional<Value> dataArray;
  if (data) dataArray = Value(Value::Array{Value(std::move(*data))});
  if (auto text = answerText(callbackId_, pluginId_, methodName_, dataArray ? &*dataArray : nullptr,
                             message, code ? &*code : nullptr)) {
    page_->send(std::move(*text));
    return;
  }
  // A text or value JSON cannot carry: the general path writes the answer, or its replacement.
  if (message != nullptr) {
    page_->send(serialize(errorFrame(callbackId_, pluginId_, methodName_, *message, code)));
    return;
  }
  if (dataArray) data = std::move(*(*dataArray->asArray())[0].asDictionary());
  page_->send(serialize(resultFrame(callbackId_, pluginId_, methodName_, false, std::move(data))));
}

void CAPPluginCall::resolve() {
  if (!claimAnswer("resolve")) return;
  sendAnswer(std::nullopt, nullptr, std::nullopt);
}

void CAPPluginCall::resolve(Value::Dictionary data) {
  if (!claimAnswer("resolve")) return;
  sendAnswer(std::move(data), nullptr, std::nullopt);
}

void CAPPluginCall::reject(std::string message) {
  if (!claimAnswer("reject")) return;
  sendAnswer(std::nullopt, &message, std::nullopt);
}

void CAPPluginCall::rejectWithCode(std::string message, std::string code) {
  if (!claimAnswer("reject")) return;
  sendAnswer(std::nullopt, &message, std::move(code));
}

}  // namespace platform
