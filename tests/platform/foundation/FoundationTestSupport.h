#pragma once

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace foundationtest {

// A fresh folder under the system's temporary directory, removed with everything in it
// when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-foundation-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// Runs a Python 3 script with the given standard input and returns its standard output.
// A non-zero exit fails the calling test.
inline std::string runPython(const TempDir& dir, const std::string& script,
                             const std::string& input = "") {
  auto scriptPath = dir.path() / "script.py";
  auto inputPath = dir.path() / "stdin.txt";
  auto outputPath = dir.path() / "stdout.txt";
  writeFile(scriptPath, script);
  writeFile(inputPath, input);
  std::string command = "python3 '" + scriptPath.string() + "' < '" + inputPath.string() + "' > '" +
                        outputPath.string() + "'";
  int rc = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << "python3 failed: " << command;
  return readFile(outputPath);
}

}  // namespace foundationtest
