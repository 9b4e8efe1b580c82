#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace cryptotest {

inline std::string HexToBytes(std::string_view hex) {
  if (hex.substr(0, 2) == "0x") hex.remove_prefix(2);
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

inline std::string BytesToHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 15]);
  }
  return hex;
}

// A file of tests/privacy/testdata in the source tree.
inline std::string ReadTestData(const std::string& name) {
  std::string path = std::string(KVL_SOURCE_DIR) + "/tests/privacy/testdata/" + name;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// Death tests fork; the threadsafe style re-runs the binary, which is what sanitizers like.
inline void UseThreadsafeDeathTests() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

}  // namespace cryptotest
