#include "base/fatal_message.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace base {
namespace {

constexpr std::size_t kFatalMessageBufferSize = 512;

char fatal_message_buffer[kFatalMessageBufferSize];
const char* fatal_message_address = nullptr;
std::size_t fatal_message_length = 0;
// 0: nothing recorded, 2: a writer holds the buffer, 1: recorded. The flag is published after
// the text so that a reader seeing 1 sees the whole text.
std::atomic<int> fatal_message_state{0};

}  // namespace

void RecordFatalMessage(std::string_view message) {
  int expected = 0;
  if (!fatal_message_state.compare_exchange_strong(expected, 2, std::memory_order_acq_rel)) {
    return;
  }
  if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  std::size_t length = std::min(message.size(), kFatalMessageBufferSize - 1);
  std::memcpy(fatal_message_buffer, message.data(), length);
  if (length == 0 || fatal_message_buffer[length - 1] != '\n') {
    fatal_message_buffer[length++] = '\n';
  }
  fatal_message_address = fatal_message_buffer;
  fatal_message_length = length;
  fatal_message_state.store(1, std::memory_order_release);
}

std::string_view RecordedFatalMessage() {
  if (fatal_message_state.load(std::memory_order_acquire) != 1) return {};
  return std::string_view(fatal_message_address, fatal_message_length);
}

void ResetFatalMessageForTesting() {
  fatal_message_address = nullptr;
  fatal_message_length = 0;
  fatal_message_state.store(0, std::memory_order_release);
}

}  // namespace base
