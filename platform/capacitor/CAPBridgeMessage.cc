#include "platform/capacitor/CAPBridgeMessage.h"

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Text.h"

namespace platform {

namespace {

// Deepest nesting of arrays and objects outside strings, counted before parsing so that a
// hostile frame never reaches the parser's recursion.
int nestingDepth(std::string_view text) {
  int depth = 0;
  int deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

CAPBridgeMessage unreadable(std::string reason) {
  CAPBridgeMessage m;
  m.kind = CAPBridgeMessage::Kind::kUnreadable;
  m.reason = std::move(reason);
  return m;
}

const std::string* stringMember(const Value& v, std::string_view key) {
  const Value* m = v.find(key);
  return m ? m->asString() : nullptr;
}

}  // namespace

CAPBridgeMessage CAPBridgeMessage::read(std::string_view frame) {
  if (frame.size() > kMaxFrameBytes) return unreadable("frame larger than 4 MiB");
  if (!Text::isValidUTF8(frame)) return unreadable("frame is not valid UTF-8");
  // The message itself is one level; options may nest up to kMaxDepth below it.
  // Past the parser's own bound nothing is read; between the two the callbackId is still
  // read, so that the page's promise is rejected rather than left pending.
  const int depth = nestingDepth(frame);
  if (depth > JSONSerialization::kMaxDepth - 1) {
    return unreadable("frame nested deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  const bool tooDeep = depth > kMaxDepth + 1;
  auto parsed = JSONSerialization::JSONObjectWithData(frame);
  if (!parsed.ok())
    return unreadable("frame is not JSON: " + std::string(parsed.status().message()));
  const Value& message = *parsed;
  if (!message.isDictionary()) return unreadable("frame is not a JSON object");

  if (const std::string* type = stringMember(message, "type"); type && *type == "js.error") {
    CAPBridgeMessage m;
    m.kind = Kind::kJsError;
    const Value* error = message.find("error");
    m.reason = error ? error->description() : "(no details)";
    return m;
  }

  const std::string* callbackId = stringMember(message, "callbackId");
  if (callbackId == nullptr) return unreadable("message without a string callbackId");

  CAPBridgeMessage m;
  m.callbackId = *callbackId;
  const std::string* pluginId = stringMember(message, "pluginId");
  const std::string* methodName = stringMember(message, "methodName");
  if (pluginId) m.pluginId = *pluginId;
  if (methodName) m.methodName = *methodName;

  if (m.callbackId == "-1") {
    m.kind = Kind::kConsoleMirror;
    const Value* options = message.find("options");
    m.reason = options ? options->description() : "";
    return m;
  }
  m.kind = Kind::kRefused;
  if (tooDeep) {
    m.reason =
        "The message's options are nested deeper than " + std::to_string(kMaxDepth) + " levels";
    return m;
  }
  if (pluginId == nullptr) {
    m.reason = "The message has no string pluginId";
    return m;
  }
  if (methodName == nullptr) {
    m.reason = "The message has no string methodName";
    return m;
  }
  const Value* options = message.find("options");
  if (options != nullptr && !options->isNull()) {
    if (!options->isDictionary()) {
      m.reason = "\"" + m.pluginId + "." + m.methodName + "()\" options must be an object";
      return m;
    }
    m.options = *options->asDictionary();
  }
  m.kind = Kind::kCall;
  return m;
}

}  // namespace platform
