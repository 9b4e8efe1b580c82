#include "platform/capacitor/CAPBridgeMessage.h"

#include <cctype>

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

// The frame with each member value of its top-level object that is itself an object or an
// array replaced by null, or nothing when the frame is not an object whose brackets close.
// Iterative and linear, whatever the nesting: it lets a frame too deep for the JSON reader still
// give its callbackId and names, so that the call is refused rather than left unanswered.
std::optional<std::string> topLevelMembersOnly(std::string_view text) {
  std::string out;
  int depth = 0;
  bool inString = false;
  bool skipping = false;  // inside a value that is replaced by null
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        if (i + 1 >= text.size()) return std::nullopt;
        if (!skipping) out.append(text.substr(i, 2));
        ++i;
        continue;
      }
      if (c == '"') inString = false;
      if (!skipping) out += c;
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (depth == 0 && c != '{') return std::nullopt;
      if (++depth == 2) {
        skipping = true;
        out += "null";
      }
    } else if (c == ']' || c == '}') {
      if (--depth < 0) return std::nullopt;
      if (depth == 1) {
        skipping = false;
        continue;
      }
    }
    if (!skipping) out += c;
  }
  if (depth != 0 || inString) return std::nullopt;
  return out;
}

CAPBridgeMessage unreadable(std::string reason) {
  CAPBridgeMessage m;
  m.kind = CAPBridgeMessage::Kind::kUnreadable;
  m.reason = std::move(reason);
  return m;
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

unsigned hexValue(std::string_view four) {
  return static_cast<unsigned>(std::stoul(std::string(four), nullptr, 16));
}

// The frame with every "\uXXXX" escape of a lone UTF-16 surrogate replaced by U+FFFD, or
// nothing when it holds none. JSON.stringify writes a lone surrogate that way, and the JSON
// reader refuses it; the copy lets the callbackId be read so that the call can be refused.
std::optional<std::string> withoutLoneSurrogates(std::string_view frame) {
  std::string out;
  bool replaced = false;
  bool inString = false;
  for (size_t i = 0; i < frame.size(); ++i) {
    char c = frame[i];
    if (!inString) {
      inString = c == '"';
      out += c;
      continue;
    }
    if (c == '"') {
      inString = false;
    } else if (c == '\\' && i + 1 < frame.size() && frame[i + 1] != 'u') {
      out.append(frame.substr(i, 2));
      ++i;
      continue;
    } else if (c == '\\' && i + 5 < frame.size() && isHex(frame[i + 2]) && isHex(frame[i + 3]) &&
               isHex(frame[i + 4]) && isHex(frame[i + 5])) {
      unsigned unit = hexValue(frame.substr(i + 2, 4));
      bool high = unit >= 0xD800 && unit <= 0xDBFF;
      bool low = unit >= 0xDC00 && unit <= 0xDFFF;
      bool pairedHigh = high && i + 11 < frame.size() && frame[i + 6] == '\\' &&
                        frame[i + 7] == 'u' && isHex(frame[i + 8]) && isHex(frame[i + 9]) &&
                        isHex(frame[i + 10]) && isHex(frame[i + 11]) &&
                        hexValue(frame.substr(i + 8, 4)) >= 0xDC00 &&
                        hexValue(frame.substr(i + 8, 4)) <= 0xDFFF;
      if (pairedHigh) {
        out.append(frame.substr(i, 12));
        i += 11;
      } else if (high || low) {
        out += "\\ufffd";
        replaced = true;
        i += 5;
      } else {
        out.append(frame.substr(i, 6));
        i += 5;
      }
      continue;
    }
    out += c;
  }
  if (!replaced) return std::nullopt;
  return out;
}

const std::string* stringMember(const Value& v, std::string_view key) {
  const Value* m = v.find(key);
  return m ? m->asString() : nullptr;
}

}  // namespace

CAPBridgeMessage CAPBridgeMessage::read(std::string_view frame) {
  if (frame.size() > kMaxFrameBytes) return unreadable("frame larger than 4 MiB");
  if (!Text::isValidUTF8(frame)) return unreadable("frame is not valid UTF-8");
  // The message itself is one level; options may nest up to kMaxDepth below it. Deeper than
  // that the call is refused; past the parser's own bound only the top-level members are read
  // (deeper values as null), so that the page's promise is still rejected, never left pending.
  const int depth = nestingDepth(frame);
  const bool tooDeep = depth > kMaxDepth + 1;
  std::string_view readable = frame;
  std::optional<std::string> shallow;
  if (depth > JSONSerialization::kMaxDepth - 1) {
    shallow = topLevelMembersOnly(frame);
    if (!shallow) {
      return unreadable("frame nested deeper than " + std::to_string(kMaxDepth) + " levels");
    }
    readable = *shallow;
  }
  auto parsed = JSONSerialization::JSONObjectWithData(readable);
  bool loneSurrogate = false;
  if (!parsed.ok()) {
    std::optional<std::string> repaired = withoutLoneSurrogates(readable);
    if (repaired) parsed = JSONSerialization::JSONObjectWithData(*repaired);
    if (!repaired || !parsed.ok())
      return unreadable("frame is not JSON: " + std::string(parsed.status().message()));
    loneSurrogate = true;
  }
  Value& message = *parsed;
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
  // A name is echoed in the answer: one longer than any plug-in's is refused, never repeated.
  const bool namesTooLong = (pluginId && pluginId->size() > kMaxNameBytes) ||
                            (methodName && methodName->size() > kMaxNameBytes);
  if (pluginId && !namesTooLong) m.pluginId = *pluginId;
  if (methodName && !namesTooLong) m.methodName = *methodName;

  if (m.callbackId == "-1") {
    m.kind = Kind::kConsoleMirror;
    const Value* options = message.find("options");
    m.reason = options ? options->description() : "";
    return m;
  }
  m.kind = Kind::kRefused;
  if (namesTooLong) {
    m.reason = "The message's pluginId or methodName is longer than " +
               std::to_string(kMaxNameBytes) + " bytes";
    return m;
  }
  if (loneSurrogate) {
    m.reason =
        "The message holds text that is not valid Unicode (a lone UTF-16 surrogate) and cannot be "
        "read";
    return m;
  }
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
  Value::Dictionary& members = *message.asDictionary();
  if (auto options = members.find("options");
      options != members.end() && !options->second.isNull()) {
    if (!options->second.isDictionary()) {
      m.reason = "\"" + m.pluginId + "." + m.methodName + "()\" options must be an object";
      return m;
    }
    // The parsed frame is dropped after this: the options, the call's payload, move out of it.
    m.options = std::move(*options->second.asDictionary());
  }
  m.kind = Kind::kCall;
  return m;
}

}  // namespace platform
