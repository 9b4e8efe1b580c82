#include "platform/foundation/URL.h"

#include <arpa/inet.h>
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

// "127.a.b.c", each part 0-255 in decimal without leading zeros: the only spellings that every
// resolver reads as the same loopback address (inet_aton reads "0127" as octal, and takes
// "127.1" or "2130706433" too; a trailing dot makes it a name to look up).
bool isLoopbackIPv4(std::string_view host) {
  int parts = 0;
  size_t begin = 0;
  while (begin <= host.size()) {
    size_t end = host.find('.', begin);
    if (end == std::string_view::npos) end = host.size();
    std::string_view part = host.substr(begin, end - begin);
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    int value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255 || (parts == 0 && value != 127)) return false;
    ++parts;
    begin = end + 1;
  }
  return parts == 4;
}

}  // namespace

bool URL::isLoopbackHost(std::string_view host) {
  std::string name = lower(std::string(host));
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  if (name == "localhost" || name == "localhost.") return true;
  if (isLoopbackIPv4(name)) return true;
  in6_addr address{};
  return name.find(':') != std::string::npos && name.find('%') == std::string::npos &&
         inet_pton(AF_INET6, name.c_str(), &address) == 1 && IN6_IS_ADDR_LOOPBACK(&address);
}

std::string URL::schemePrefixForHost(std::string_view hostAndPort) {
  std::optional<URL> parsed = URLWithString("http://" + std::string(hostAndPort));
  return parsed && parsed->isLoopback() ? "http://" : "https://";
}

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
