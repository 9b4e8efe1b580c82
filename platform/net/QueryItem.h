#pragma once

#include <optional>
#include <string_view>

namespace platform {

// The text of the first item `name` of a URL query ("secret=ab&limit=5"), as it stands (not
// percent-decoded); nothing when the query has no such item. An item "name=" gives "".
std::optional<std::string_view> queryItem(std::string_view query, std::string_view name);

}  // namespace platform
