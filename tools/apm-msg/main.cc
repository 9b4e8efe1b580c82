// apm-msg: decode a measurement message to JSON, or encode one from JSON.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/apm-msg/MessageInspector.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string input((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  std::string output, error;
  int status = apmmsg::run(arguments, input, &output, &error);
  std::fwrite(output.data(), 1, output.size(), stdout);
  std::fwrite(error.data(), 1, error.size(), stderr);
  return status;
}
