#pragma once

#include <memory>

#include "platform/capacitor/CAPBridge.h"

// The first step of the app's exit (Ctrl-C): nothing a page was told succeeded may be lost.
//
// A measurement call is answered as soon as the library has queued its work (an event is
// stored later, on the library's worker queue). So from the moment the app starts to leave,
// the bridge rejects every new call ("UNAVAILABLE"), and the exit goes on only once every call
// it took before has run and the work those calls queued is stored: the bridge queue, a turn
// of the main queue (where a screen view is logged from), then the library's public-call and
// worker queues, in the order work moves between them.
class AppExit {
 public:
  // Blocks until then. From a thread of its own while the main loop runs: never from the main
  // thread, the bridge queue or the library's queues.
  static void storeAnsweredCalls(const std::shared_ptr<platform::CAPBridge>& bridge);
};
