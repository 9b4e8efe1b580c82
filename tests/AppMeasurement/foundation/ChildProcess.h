#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

// Runs this test binary again as a second process with only `testName` selected and the
// extra environment given, and answers its exit status (-1 when it could not run). The child
// sees KVL_CHILD_PROCESS=1; tests meant only for the child skip themselves without it.
inline int runThisBinaryAsChild(const std::string& testName,
                                const std::vector<std::string>& environment) {
  std::vector<std::string> env = environment;
  env.push_back("KVL_CHILD_PROCESS=1");
  for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
  std::vector<char*> envp;
  for (auto& item : env) envp.push_back(item.data());
  envp.push_back(nullptr);
  std::string self = "/proc/self/exe";
  std::string filter = "--gtest_filter=" + testName;
  std::string alsoRunDisabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter.data(), alsoRunDisabled.data(), nullptr};
  pid_t pid;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool isChildProcess() { return std::getenv("KVL_CHILD_PROCESS") != nullptr; }

}  // namespace testsupport
