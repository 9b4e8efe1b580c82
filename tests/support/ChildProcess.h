#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace testsupport {

// Runs this test binary again as a second process — what "a later launch" is — running only
// the tests that `filter` names (disabled ones included: the parts a parent test drives are
// disabled so that they never run on their own). `variables` are added to the environment.
// Returns the exit status: 0 when every test it ran passed; -1 when it could not be run or
// did not exit normally (a crash).
inline int runThisBinary(const std::string& filter,
                         const std::vector<std::pair<std::string, std::string>>& variables) {
  char executable[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", executable, sizeof executable - 1);
  if (length <= 0) return -1;
  executable[length] = '\0';
  // Everything the child needs is built before fork: a forked child of a threaded process
  // may only call what is safe after fork until it execs.
  std::vector<std::string> arguments = {executable, "--gtest_also_run_disabled_tests",
                                        "--gtest_filter=" + filter};
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::execve(executable, argv.data(), envp.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
