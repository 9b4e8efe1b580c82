// The process's end while queue threads still run: the probe program exits (std::exit, a return
// from main, std::exit from a calling thread) at a random moment while threads make public
// calls, the worker queue writes events and an upload is being prepared. Each mode runs many
// times under the sanitizers; every run must end with status 0 and no sanitizer report.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Runs per mode in every test run (KVL_EXIT_RACE_RUNS sets another count, e.g. 1000), and how
// many at once.
constexpr int kDefaultRuns = 150;
constexpr size_t kParallel = 6;

int runs() {
  const char* configured = std::getenv("KVL_EXIT_RACE_RUNS");
  int count = configured ? std::atoi(configured) : 0;
  return count > 0 ? count : kDefaultRuns;
}

struct ProbeRun {
  pid_t pid = -1;
  fs::path output;
  std::string description;
};

ProbeRun start(const fs::path& work, int index, const std::string& mode, long delay) {
  ProbeRun run;
  fs::path container = work / ("c" + std::to_string(index));
  fs::create_directories(container);
  run.output = work / ("out" + std::to_string(index));
  run.description = mode + " after " + std::to_string(delay) + " us";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, run.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // A run that hangs at exit fails too: timeout kills it after a minute.
  std::string timeout = "/usr/bin/timeout";
  std::string kill = "-s";
  std::string signal = "KILL";
  std::string limit = "60";
  std::string program = KVL_EXIT_RACE_PROBE;
  std::string delayText = std::to_string(delay);
  std::string containerText = container.string();
  std::vector<char*> argv{timeout.data(),
                          kill.data(),
                          signal.data(),
                          limit.data(),
                          program.data(),
                          containerText.data(),
                          const_cast<char*>(mode.c_str()),
                          delayText.data(),
                          nullptr};
  // The sanitizers stop at the first report with a non-zero status.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable = *entry;
    if (variable.rfind("ASAN_OPTIONS=", 0) != 0 && variable.rfind("UBSAN_OPTIONS=", 0) != 0)
      environment.push_back(variable);
  }
  environment.push_back("ASAN_OPTIONS=halt_on_error=1:exitcode=66:detect_leaks=1");
  environment.push_back("UBSAN_OPTIONS=halt_on_error=1:exitcode=67:print_stacktrace=1");
  std::vector<char*> envp;
  for (auto& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  if (posix_spawn(&run.pid, timeout.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    run.pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

std::string contents(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ExitRace : public ::testing::TestWithParam<const char*> {};

TEST_P(ExitRace, EveryRunEndsCleanly) {
  std::string mode = GetParam();
  fs::path work =
      fs::temp_directory_path() / ("exit-race-" + mode + "-" + std::to_string(getpid()));
  fs::remove_all(work);
  fs::create_directories(work);
  std::mt19937 random(20261207);
  std::vector<ProbeRun> running;
  int failures = 0;
  auto finish = [&](ProbeRun run) {
    int status = 0;
    while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::string output = contents(run.output);
    bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                 output.find("Sanitizer") == std::string::npos &&
                 output.find("runtime error") == std::string::npos;
    if (!clean && ++failures <= 3) {
      ADD_FAILURE() << run.description << ": status " << status << "\n" << output;
    }
  };
  const int total = runs();
  for (int i = 0; i < total; ++i) {
    if (running.size() == kParallel) {
      finish(running.front());
      running.erase(running.begin());
    }
    // Exits from right after start to well into the logging.
    long delay = static_cast<long>(random() % 40000);
    ProbeRun run = start(work, static_cast<int>(i % (kParallel * 2)), mode, delay);
    ASSERT_GT(run.pid, 0) << "cannot start " << KVL_EXIT_RACE_PROBE;
    running.push_back(run);
  }
  for (ProbeRun& run : running) finish(run);
  EXPECT_EQ(failures, 0) << "of " << total << " runs";
  fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(Modes, ExitRace, ::testing::Values("exit", "return", "thread"));

}  // namespace
