#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace testsupport {

// Runs a Python 3 program and returns what it printed; used as an outside reference.
// Fails the calling test (through the empty result) when python3 cannot run.
inline std::string runPython(const std::string& program) {
  char path[] = "/tmp/apm_python_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return {};
  close(fd);
  {
    std::ofstream file(path);
    file << program;
  }
  std::string command = std::string("python3 ") + path;
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  std::remove(path);
  return output;
}

// The bytes as lowercase hexadecimal, for passing arbitrary bytes into a Python program.
inline std::string hexOf(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 0x0F];
  }
  return hex;
}

}  // namespace testsupport
