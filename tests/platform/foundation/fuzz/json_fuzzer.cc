// Any input: parsing never crashes, and what parses writes back and parses to the same value.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/JSONSerialization.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::JSONSerialization;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto value = JSONSerialization::JSONObjectWithData(text, {.fragmentsAllowed = true});
  if (!value.ok()) return 0;
  auto written = JSONSerialization::dataWithJSONObject(*value, {.fragmentsAllowed = true});
  if (!written.ok()) return 0;  // e.g. a real that only JSON text could hold
  auto again = JSONSerialization::JSONObjectWithData(*written, {.fragmentsAllowed = true});
  if (!again.ok() || !(*again == *value)) std::abort();
  return 0;
}
