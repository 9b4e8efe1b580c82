// Any text: parsing never crashes; a parsed number prints as text that parses to itself,
// and arithmetic on it never crashes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/foundation/Decimal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::Decimal;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t split = text.find(' ');
  Decimal a = Decimal::fromString(text.substr(0, split));
  Decimal b = split == std::string_view::npos ? a : Decimal::fromString(text.substr(split + 1));
  if (!a.isNaN() && !(Decimal::fromString(a.toString()) == a)) std::abort();
  (void)(a + b).toString();
  (void)(a - b).toDouble();
  (void)(a * b).toInt64();
  (void)(a < b);
  return 0;
}
