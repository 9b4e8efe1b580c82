#pragma once

#include <cstdint>
#include <string>

namespace platform {

// One connected web page: where the bridge sends the answers and events meant for it. A page is
// the runtime's unit of reset: once it is closed, what is sent to it is dropped.
//
// send() may be called from any thread; frames reach the page in the order of the calls.
class CAPBridgePage {
 public:
  virtual ~CAPBridgePage() = default;
  // A number unique in this process, for listener bookkeeping and log lines.
  virtual uint64_t pageId() const = 0;
  // Queues one text frame (a JSON answer) for the page; dropped once the page is closed.
  virtual void send(std::string frame) = 0;
  virtual bool isClosed() const = 0;
};

}  // namespace platform
