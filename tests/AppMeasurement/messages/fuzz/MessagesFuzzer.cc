// Fuzzes the generic decoder: the first byte picks the message, the rest is its wire data.
// Whatever decodes must encode, decode again to the same record and encode to the same bytes;
// the inspector must show it as JSON.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/messages/NANODynamicMessage.h"
#include "platform/foundation/PlatformLog.h"
#include "tools/apm-msg/MessageInspector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    platform::PlatformLog::setSink([](const std::string&) {});
    return true;
  }();
  (void)quiet;
  if (size < 1) return 0;
  auto layouts = APMPBMessageLayouts();
  const NANOMessageLayout& layout = *layouts[data[0] % layouts.size()];
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

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
