// apm-msg: decode a measurement message to JSON, or encode one from JSON.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/apm-msg/MessageInspector.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  // Only decode and encode read a message; the other commands answer at once at a terminal.
  const bool readsInput =
      std::find(arguments.begin(), arguments.end(), "decode") != arguments.end() ||
      std::find(arguments.begin(), arguments.end(), "encode") != arguments.end();
  std::string input;
  if (readsInput)
    input.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  if (std::cin.bad()) {
    std::fprintf(stderr, "apm-msg: cannot read the input\n");
    return 1;
  }
  std::string output, error;
  int status = apmmsg::run(arguments, input, &output, &error);
  std::fwrite(error.data(), 1, error.size(), stderr);
  // A full disk or a closed pipe must not pass for a successful run.
  if (std::fwrite(output.data(), 1, output.size(), stdout) != output.size() ||
      std::fflush(stdout) != 0) {
    std::fprintf(stderr, "apm-msg: cannot write the output: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}
