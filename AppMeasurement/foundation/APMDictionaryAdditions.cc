#include "AppMeasurement/foundation/APMDictionaryAdditions.h"

#include <vector>

#include "AppMeasurement/foundation/APMStringAdditions.h"

namespace {

bool isQueryAllowed(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':  // unreserved
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':  // sub-delimiters
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
    case '/':
    case '?':  // allowed in a query
      return true;
    default:
      return false;
  }
}

std::string percentEncodeForQuery(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (isQueryAllowed(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 0x0F];
    }
  }
  return out;
}

}  // namespace

std::string apm_queryString(const platform::Value::Dictionary& dictionary) {
  std::string query;
  for (const auto& [key, value] : dictionary) {
    if (!query.empty()) query += '&';
    query += percentEncodeForQuery(key);
    query += '=';
    query += percentEncodeForQuery(value.description());
  }
  return query;
}

std::map<std::string, std::string, std::less<>> apm_dictionaryWithHttpArgumentsString(
    std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::map<std::string, std::string, std::less<>> arguments;
  // Applied from the last part to the first, so that the first occurrence of a key wins.
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    std::string_view part = *it;
    size_t equals = part.find('=');
    std::string key =
        apm_stringByUnescapingFromURLArgument(part.substr(0, equals)).value_or(std::string());
    std::string value;
    if (equals != std::string_view::npos) {
      value =
          apm_stringByUnescapingFromURLArgument(part.substr(equals + 1)).value_or(std::string());
    }
    arguments[std::move(key)] = std::move(value);
  }
  return arguments;
}
