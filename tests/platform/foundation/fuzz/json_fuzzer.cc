// Any input: parsing never crashes; what parses is nested at most kMaxDepth deep, holds valid
// UTF-8 only, and writes back and parses to the same value; the input nested deeper than
// kMaxDepth is refused (and does not exhaust the stack).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/foundation/JSONSerialization.h"
#include "tests/platform/foundation/fuzz/FuzzValueChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::JSONSerialization;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const int levels = JSONSerialization::kMaxDepth + 1;
  std::string nested = std::string(levels, '[') + std::string(text) + std::string(levels, ']');
  if (JSONSerialization::JSONObjectWithData(nested, {.fragmentsAllowed = true}).ok()) std::abort();

  auto value = JSONSerialization::JSONObjectWithData(text, {.fragmentsAllowed = true});
  if (!value.ok()) return 0;
  fuzzchecks::checkParsed(*value, JSONSerialization::kMaxDepth);
  auto written = JSONSerialization::dataWithJSONObject(*value, {.fragmentsAllowed = true});
  if (!written.ok()) return 0;  // e.g. a real that only JSON text could hold
  auto again = JSONSerialization::JSONObjectWithData(*written, {.fragmentsAllowed = true});
  if (!again.ok() || !(*again == *value)) std::abort();
  return 0;
}
