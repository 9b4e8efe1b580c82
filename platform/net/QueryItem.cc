#include "platform/net/QueryItem.h"

#include <algorithm>

namespace platform {

std::optional<std::string_view> queryItem(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    std::string_view item = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), item.size() + 1));
    if (item.size() > name.size() && item.substr(0, name.size()) == name &&
        item[name.size()] == '=') {
      return item.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

}  // namespace platform
