#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace platform {

// One text frame from web code, read. Frames are untrusted: any byte sequence gives a message
// of some kind, never a crash. What holds for every input:
//  - kCall carries string callbackId, pluginId and methodName and an options object (an absent
//    options member reads as {}), nested at most kMaxDepth deep;
//  - kRefused carries a callbackId that was readable (a string) and the reason to reject with;
//    among them frames whose text holds a lone UTF-16 surrogate (JSON.stringify writes one as
//    "\ud83d", which JSON readers refuse) and frames whose pluginId or methodName is longer than
//    kMaxNameBytes (kRefused then carries no names, so the answer never repeats them);
//  - kUnreadable has no readable callbackId: it is logged and not answered;
//  - kConsoleMirror (callbackId "-1", the runtime's copy of console lines) and kJsError
//    ("type":"js.error") are logged and not answered.
struct CAPBridgeMessage {
  static constexpr int kMaxDepth = 100;
  static constexpr size_t kMaxFrameBytes = 4 * 1024 * 1024;
  static constexpr size_t kMaxNameBytes = 256;

  enum class Kind { kCall, kRefused, kUnreadable, kConsoleMirror, kJsError };

  Kind kind = Kind::kUnreadable;
  std::string callbackId;
  std::string pluginId;
  std::string methodName;
  Value::Dictionary options;
  // kRefused, kUnreadable: why; kJsError, kConsoleMirror: the text worth logging.
  std::string reason;

  static CAPBridgeMessage read(std::string_view frame);
};

}  // namespace platform
