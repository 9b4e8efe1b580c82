#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace bench {

// A fresh folder under the temporary directory, named after `prefix`, made on the first call
// and the same for the rest of the run (one per benchmark program).
inline std::filesystem::path scratchDirectory(std::string_view prefix) {
  static const std::filesystem::path directory = [prefix] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return std::filesystem::path(pattern);
  }();
  return directory;
}

}  // namespace bench
