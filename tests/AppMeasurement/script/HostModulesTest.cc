#include <gtest/gtest.h>

#include <mutex>

#include "AppMeasurement/foundation/APMASLLogger.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/utilities/OULOSLog.h"

#include "AppMeasurement/script/APMPKeyValueStore.h"
#include "AppMeasurement/script/APMPMessageLogger.h"
#include "AppMeasurement/script/APMPObjectProvider.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPixieLogger.h"
#include "tests/AppMeasurement/script/ScriptHarness.h"

using namespace script_test;

namespace {

struct Line {
  int level;
  int64_t code;
  std::string message;
  std::vector<std::string> contexts;
};

class HostModules : public testing::Test {
 protected:
  HostModules() : runtime_(std::make_shared<APMPRuntime>()) {
    auto sink = [this](int level, int64_t code, const std::string& message,
                       const std::vector<std::string>& contexts) {
      lines_.push_back({level, code, message, contexts});
    };
    auto logger = std::make_shared<APMPixieLogger>(sink);
    runtime_->setModuleCreator([logger] { return std::make_shared<APMPMessageLogger>(logger); },
                               u"internal.logger");
    runtime_->setModuleCreator(
        [] {
          return std::make_shared<APMPKeyValueStore>(
              u"internal.remoteConfig", [](const std::string& key) -> std::optional<std::string> {
                if (key == "known") return "value";
                return std::nullopt;
              });
        },
        u"internal.remoteConfig");
    runtime_->setModuleCreator(
        [] {
          return std::make_shared<APMPObjectProvider>(u"internal.appMetadata", [] {
            return platform::Value(platform::Value::Dictionary{{"app", "demo"}, {"build", 7}});
          });
        },
        u"internal.appMetadata");
  }

  RunResult Run(Ns program) {
    RunProgram(*runtime_, Ns{letv("logger", callf("require", {str("internal.logger")})),
                             letv("config", callf("require", {str("internal.remoteConfig")})),
                             letv("meta", callf("require", {str("internal.appMetadata")}))});
    return RunProgram(*runtime_, program);
  }

  std::shared_ptr<APMPRuntime> runtime_;
  std::vector<Line> lines_;
};

TEST_F(HostModules, LogLevelsAndContext) {
  RunResult r = Run({method(var("logger"), "log", {str("hello")}),
                     method(var("logger"), "log",
                            {num(5.9), str("m"), str("a"), num(1), str("c"), str("ignored")}),
                     method(get(var("logger"), str("silent")), "log", {num(6), str("s")}),
                     method(get(var("logger"), str("unmonitored")), "log", {num(5), str("u")}),
                     method(var("logger"), "log", {})});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, 9);
  ASSERT_EQ(lines_.size(), 4u);
  EXPECT_EQ(lines_[0].level, 6);
  EXPECT_EQ(lines_[0].code, 24005);
  EXPECT_EQ(lines_[0].message, "hello");
  EXPECT_EQ(lines_[1].level, 4);
  EXPECT_EQ(lines_[1].contexts, (std::vector<std::string>{"a", "1", "c"}));
  EXPECT_EQ(lines_[2].level, 2);
  EXPECT_EQ(lines_[3].level, 3);
}

TEST(PixieLogger, LevelTable) {
  struct Case {
    int64_t script;
    bool silent, monitored;
    int expected;
  } cases[] = {{2, false, false, 8}, {3, true, true, 7},   {5, true, false, 5},
               {5, false, true, 4},  {5, false, false, 3}, {6, true, false, 2},
               {6, false, true, 1},  {6, false, false, 0}, {4, true, true, 6},
               {99, false, false, 6}};
  for (const auto& c : cases)
    EXPECT_EQ(APMPixieLogger::monitorLevel(c.script, c.silent, c.monitored), c.expected)
        << c.script;
}

TEST_F(HostModules, KeyValueStore) {
  RunResult r = Run({print(method(var("config"), "getValue", {str("known"), num(0)})),
                     letv("fallback", obj({{"k", num(1)}})),
                     print(seq(method(var("config"), "getValue", {str("unknown"), var("fallback")}),
                               var("fallback"))),
                     method(var("config"), "getValue", {str("known")})});
  EXPECT_EQ(r.printed, "s:\"value\"\nb:true\n");
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, 9);
}

TEST_F(HostModules, ObjectProviderGivesFreshMaps) {
  RunResult r = Run({letv("a", callf("meta", {})), letv("b", callf("meta", {})), print(var("a")),
                     print(seq(var("a"), var("b")))});
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.printed, "{\"app\":s:\"demo\",\"build\":n:7}\nb:false\n");
}

// Records what the monitor hands to its console writer.
class RecordingConsole : public APMASLLogger {
 public:
  void logMessage(std::string_view message, std::string_view, int64_t messageCode,
                  int logLevel) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({logLevel, messageCode, std::string(message), {}});
  }
  std::vector<Line> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

TEST(PixieLogger, ScriptMessagesReachTheMonitor) {
  // The debug line prints only when the console threshold lets debug lines through.
  OULLoggerLevel previousThreshold = OULLoggerCurrentLevel();
  OULSetLoggerLevel(OULLoggerLevelDebug);
  auto console = std::make_shared<RecordingConsole>();
  auto monitor = APMMonitor::create(8, console, 1);
  auto runtime = std::make_shared<APMPRuntime>();
  auto logger = std::make_shared<APMPixieLogger>(monitor);
  runtime->setModuleCreator([logger] { return std::make_shared<APMPMessageLogger>(logger); },
                            u"internal.logger");
  RunResult r = RunProgram(*runtime, Ns{letv("logger", callf("require", {str("internal.logger")})),
                                        method(var("logger"), "log", {str("from script")}),
                                        method(var("logger"), "log", {num(3), str("detail")})});
  EXPECT_FALSE(r.error);
  platform::DispatchQueue::waitUntilIdle();
  OULSetLoggerLevel(previousThreshold);
  auto lines = console->lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].code, 24005);
  EXPECT_EQ(lines[0].level, 6);
  EXPECT_NE(lines[0].message.find("from script"), std::string::npos);
  EXPECT_EQ(lines[1].level, 7);
  EXPECT_NE(lines[1].message.find("detail"), std::string::npos);
}

}  // namespace
