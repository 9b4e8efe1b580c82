#include "platform/foundation/JSONBounds.h"

namespace platform {

std::optional<std::string> exceedsJSONBounds(std::string_view text, JSONBounds bounds) {
  size_t depth = 0;
  size_t elements = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character never ends the string
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > bounds.maxDepth) {
          return "JSON nested deeper than " + std::to_string(bounds.maxDepth);
        }
        [[fallthrough]];
      case ',':
      case ':':
        if (++elements > bounds.maxElements) {
          return "JSON of more than " + std::to_string(bounds.maxElements) + " elements";
        }
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return std::nullopt;
}

}  // namespace platform
