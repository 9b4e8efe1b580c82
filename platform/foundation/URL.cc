#include "platform/foundation/URL.h"

#include <arpa/inet.h>
#include <uriparser/Uri.h>

#include <cctype>
#include <cstdint>
#include <memory>
#include <vector>

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

// The number of one part of an IPv4 host as inet_aton and libcurl read it: "0x" then hex
// digits, "0" then octal digits, or decimal digits. Nothing for anything else, or above 2^32-1.
std::optional<uint64_t> ipv4Part(std::string_view part) {
  if (part.empty() || part[0] < '0' || part[0] > '9') return std::nullopt;
  int base = 10;
  if (part.size() > 1 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    base = 16;
    part.remove_prefix(2);
    if (part.empty()) return std::nullopt;  // "0x" alone: libcurl reads a name
  } else if (part[0] == '0') {
    base = 8;
  }
  uint64_t value = 0;
  for (char c : part) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : 99;
    if (digit >= base) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value > 0xffffffffu) return std::nullopt;
  }
  return value;
}

// The address of an IPv4 host in any spelling inet_aton(3) accepts, which is also what
// libcurl connects to for it (it rewrites such a host to dotted decimal before connecting):
// one to four parts separated by dots, each decimal, octal (leading 0) or hex (0x); the last
// part fills the bytes the others leave ("127.1" is 127.0.0.1, "2130706433" too). A trailing
// dot, an empty part or a part out of range makes the text a name to look up instead.
std::optional<uint32_t> parseIPv4(std::string_view host) {
  std::vector<uint64_t> parts;
  size_t begin = 0;
  while (true) {
    size_t end = host.find('.', begin);
    std::optional<uint64_t> part =
        ipv4Part(host.substr(begin, end == std::string_view::npos ? end : end - begin));
    if (!part || parts.size() == 4) return std::nullopt;
    parts.push_back(*part);
    if (end == std::string_view::npos) break;
    begin = end + 1;
  }
  uint64_t address = 0;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (parts[i] > 0xff) return std::nullopt;
    address = address << 8 | parts[i];
  }
  const size_t lastBytes = 5 - parts.size();
  if (parts.back() >= (uint64_t{1} << (8 * lastBytes))) return std::nullopt;
  return static_cast<uint32_t>(address << (8 * lastBytes) | parts.back());
}

}  // namespace

bool URL::isLoopbackHost(std::string_view host) {
  std::optional<std::string> decoded = URL::percentDecoded(host);
  if (!decoded) return false;
  std::string name = lower(*std::move(decoded));
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  // libcurl answers "localhost" itself; "localhost." (a trailing dot) goes to the system's
  // resolver as any other name, which need not know it, as it goes for "127.0.0.1.".
  if (name == "localhost") return true;
  if (std::optional<uint32_t> address = parseIPv4(name)) return *address >> 24 == 127;
  // No zone ("%lo"): a scoped address names an interface, not this machine's loopback.
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

std::optional<std::string> URL::percentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      return std::nullopt;
    }
    char byte = static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
    if (byte == '\0') return std::nullopt;
    out += byte;
    i += 2;
  }
  return out;
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
