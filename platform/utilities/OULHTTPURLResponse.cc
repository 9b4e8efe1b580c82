#include "platform/utilities/OULHTTPURLResponse.h"

#include <strings.h>

std::optional<std::string> OULHTTPURLResponse::valueForHTTPHeaderField(
    std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& [key, fieldValue] : allHeaderFields) {
    if (key.size() != name.size() || strncasecmp(key.data(), name.data(), name.size()) != 0) {
      continue;
    }
    if (value) {
      *value += ", ";
      *value += fieldValue;
    } else {
      value = fieldValue;
    }
  }
  return value;
}
