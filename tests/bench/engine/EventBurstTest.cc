// A burst of events logged by an app (a child process under LANG=C.UTF-8) that then leaves
// the way the app does: the app ends cleanly and every event is kept, in its database or
// uploaded. How long the way out takes is the program's report, never asserted here.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

struct Result {
  int status = -1;
  std::string output;
};

Result run(const std::string& command) {
  Result result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) result.output += buffer;
  int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(EventBurstTest, EveryEventOfABurstIsStoredAndTheAppEnds) {
  std::string root = (std::filesystem::temp_directory_path() / "kvl-event-burst-XXXXXX");
  ASSERT_NE(mkdtemp(root.data()), nullptr);
  constexpr int kEvents = 2000;  // well inside the 30 s the app gives the way out, under ASan
  Result burst = run(std::string(KVL_EVENT_BURST) + " --app-dir " + root + " --events " +
                     std::to_string(kEvents));
  EXPECT_EQ(burst.status, 0) << burst.output;
  EXPECT_NE(burst.output.find("events_stored = 2000\n"), std::string::npos) << burst.output;
  EXPECT_NE(burst.output.find("seconds_from_last_event_to_exit = "), std::string::npos)
      << burst.output;

  // The program's own reading of the database, checked by the sqlite3 tool: as many rows of
  // the burst as it found there.
  std::string database;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.path().filename() == "orvane-app-measurement.sql") database = entry.path();
  }
  ASSERT_FALSE(database.empty());
  Result count =
      run("sqlite3 '" + database + "' \"SELECT count(*) FROM raw_events WHERE name = 'burst'\"");
  EXPECT_EQ(count.status, 0);
  EXPECT_NE(burst.output.find("events_in_raw_events = " + count.output), std::string::npos)
      << burst.output << "sqlite3: " << count.output;
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

}  // namespace
