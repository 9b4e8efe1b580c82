#include "platform/foundation/URL.h"

#include <uriparser/Uri.h>

#include <cctype>
#include <memory>

namespace platform {

namespace {

std::string rangeText(const UriTextRangeA& range) {
  if (range.first == nullptr || range.afterLast == nullptr) return {};
  return std::string(range.first, range.afterLast);
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::optional<URL> URL::URLWithString(std::string_view text) {
  if (text.empty()) return std::nullopt;
  // A NUL would end the text early for the parser.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  UriUriA uri;
  const char* error = nullptr;
  if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &error) != URI_SUCCESS) {
    return std::nullopt;
  }
  std::unique_ptr<UriUriA, void (*)(UriUriA*)> owned(&uri, uriFreeUriMembersA);
  URL url;
  url.scheme_ = lower(rangeText(uri.scheme));
  if (url.scheme_.empty()) return std::nullopt;
  url.text_ = std::string(text);
  url.host_ = lower(rangeText(uri.hostText));
  for (UriPathSegmentA* segment = uri.pathHead; segment != nullptr; segment = segment->next) {
    url.path_ += "/" + rangeText(segment->text);
  }
  if (uri.absolutePath == URI_FALSE && uri.hostText.first == nullptr && !url.path_.empty()) {
    url.path_.erase(0, 1);  // "mailto:x" has the path "x"
  }
  url.query_ = rangeText(uri.query);
  return url;
}

URL::QueryItems URL::queryItems() const {
  QueryItems items;
  if (query_.empty()) return items;
  UriQueryListA* list = nullptr;
  int count = 0;
  if (uriDissectQueryMallocA(&list, &count, query_.data(), query_.data() + query_.size()) !=
      URI_SUCCESS) {
    return items;
  }
  for (UriQueryListA* item = list; item != nullptr; item = item->next) {
    items.emplace_back(item->key ? item->key : "", item->value ? item->value : "");
  }
  uriFreeQueryListA(list);
  return items;
}

std::optional<std::string> URL::queryValue(std::string_view name) const {
  for (auto& [key, value] : queryItems()) {
    if (key == name) return value;
  }
  return std::nullopt;
}

std::string URL::percentEncoded(std::string_view text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace platform
