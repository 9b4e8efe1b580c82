// Fuzzes the generic decoder: the first byte picks the message, the rest is its wire data.
// Whatever decodes must encode, decode again to the same record and encode to the same bytes;
// the inspector must show it as JSON. And what the decoder promises for untrusted input
// (AppMeasurement/messages/README.md) holds for every input:
// - a decode that fails says so in the platform log;
// - a decode never holds more than NANODecodeMemoryLimit of the input's length at once,
//   measured through the sanitizer allocator's hooks, apart from the decoder's own accounting
//   (where the hooks exist: sanitizer builds);
// - the input wrapped in one more level than kNANOMaxNestingDepth of a message that holds
//   itself (EventParam) fails to decode, and the stack survives it.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/messages/NANOCodec.h"
#include "AppMeasurement/messages/NANODynamicMessage.h"
#include "platform/foundation/PlatformLog.h"
#include "tests/support/AllocationPeak.h"
#include "tests/support/ProtobufWire.h"
#include "tools/apm-msg/MessageInspector.h"

namespace {

std::atomic<size_t> gLogLines{0};

// Decodes, checking the log line of a failure and the memory bound.
std::unique_ptr<NANOMessageInfo> decodeChecked(const NANOMessageLayout& layout,
                                               std::string_view bytes) {
  const size_t linesBefore = gLogLines.load();
  std::unique_ptr<NANOMessageInfo> record;
  long long peak = testsupport::AllocationPeak::measure([&] {
    record = NANODecode(layout, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  });
  if (peak > static_cast<long long>(NANODecodeMemoryLimit(bytes.size()))) std::abort();
  if (!record && gLogLines.load() == linesBefore) std::abort();
  return record;
}

// The slot of a field whose message is the layout itself, or -1.
int selfNestingSlot(const NANOMessageLayout& layout) {
  for (uint32_t slot = 0; slot < layout.slotCount; ++slot) {
    if ((layout.codes[slot] & kNANOCodeMessage) && layout.fields[slot].message == &layout) {
      return static_cast<int>(slot);
    }
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool counted = [] {
    platform::PlatformLog::setSink([](const std::string&) { ++gLogLines; });
    return true;
  }();
  (void)counted;
  if (size < 1) return 0;
  auto layouts = APMPBMessageLayouts();
  const NANOMessageLayout& layout = *layouts[data[0] % layouts.size()];
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  (void)decodeChecked(layout, bytes);
  for (const NANOMessageLayout* nesting : layouts) {
    int slot = selfNestingSlot(*nesting);
    if (slot < 0) continue;
    std::string nested(bytes.substr(0, 256));
    for (int level = 0; level <= kNANOMaxNestingDepth; ++level) {
      nested = testsupport::lengthDelimited(nesting->fields[slot].tag, nested);
    }
    if (decodeChecked(*nesting, nested)) std::abort();
  }

  std::string error;
  auto shown = apmmsg::decodeToJson(layout, bytes, &error);
  auto message = NANODynamicMessage::initWithBuffer(layout, bytes);
  if (message.has_value() != shown.has_value()) std::abort();
  if (!message) return 0;

  auto encoded = message->protoBuffer();
  if (!encoded) std::abort();
  auto again = NANODynamicMessage::initWithBuffer(layout, *encoded);
  if (!again || !(*again == *message)) std::abort();
  if (again->protoBuffer() != encoded) std::abort();

  // Every accessor on every slot answers without harm.
  for (uint32_t slot = 0; slot < layout.slotCount; ++slot) {
    NANOHasField(*message, slot);
    NANOGetBool(*message, slot);
    NANOGetInt32(*message, slot);
    NANOGetInt64(*message, slot);
    NANOGetDouble(*message, slot);
    NANOGetString(*message, slot);
    if (layout.codes[slot] & kNANOCodeRepeated) NANOGetArray(*message, slot);
  }
  return 0;
}
