// Any bytes: every text helper gives valid UTF-8 and lengths that agree.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using platform::Text;
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string clean = Text::sanitizedUTF8(text);
  if (!Text::isValidUTF8(clean)) std::abort();
  if (Text::utf32Length(text) != Text::utf32Length(clean)) std::abort();
  if (Text::utf16Length(text) != Text::utf16Length(clean)) std::abort();
  size_t half = Text::utf16Length(text) / 2;
  std::string front = Text::substringUTF16(text, 0, half);
  if (!Text::isValidUTF8(front) || Text::utf16Length(front) > half) std::abort();
  for (const std::string& mapped : {Text::uppercase(text), Text::lowercase(text),
                                    Text::foldCase(text), Text::normalizedNFC(text)}) {
    if (!Text::isValidUTF8(mapped)) std::abort();
  }
  // The text as a pattern: compiling may fail, matching must end.
  auto regex = platform::RegularExpression::create(text, {.timeLimit = 5});
  if (regex.ok()) (void)(*regex)->search(clean);
  return 0;
}
