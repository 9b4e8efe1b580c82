// event-burst: a burst of events logged through KVLAnalytics by an app that then leaves the
// way the app does, in a child process under LANG=C.UTF-8 (a locale that names no language).
//
//   apm_event_burst --app-dir DIR [--events N]
//
// The child plays the app in DIR (made when absent): it configures the platform core, launches
// and activates, logs N events "burst" (parameter "seq" 0..N-1) as fast as the calls return,
// prints when the last call returned, waits until the engine has stored what it accepted, then
// resigns active, enters the background, waits while
// background tasks are open (at most 30 s, then expires them and gives 2 s more, as the app
// does), terminates and returns from main. Requests go to a sink of the child that answers
// 204 and notes the events each upload carries: leaving the foreground uploads what is stored.
//
// The parent reports, one "name = value" per line: events_logged; events_stored, the
// distinct "seq" values found anywhere: rows of raw_events and bundles waiting in the queue
// (read from the child's database with SQLite) and uploads the service received (each also
// counted on its own line); events_expected (N, or the daily limit of public events when N
// is above it); seconds_logging (from the first call to the last one's return);
// seconds_from_last_event_to_exit (from the last call's return to the child's end, by the
// monotonic clock both processes share), and that way out step by step: storing what was
// accepted, the background and its uploads, termination, and the process's end. It exits 0
// when the child exited 0 and every expected event was stored, else 1.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/features/APMFeatureInstaller.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/messages/APMPBMessages.h"
#include "platform/core/KVLApp.h"
#include "platform/core/KVLOptions.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/uikit/UIApplication.h"
#include "platform/utilities/OULGzip.h"
#include "tools/loopback-http/LoopbackHttpServer.h"

extern char** environ;

namespace {

// The engine's default daily limit of public events ("measurement.upload.max_public_events_
// per_day"); the sink serves no configuration, so the default holds.
constexpr long kPublicEventsPerDay = 50000;
constexpr double kBackgroundTimeSeconds = 30;
constexpr double kExpirationGraceSeconds = 2;

int64_t monotonicNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void usage() { std::fprintf(stderr, "usage: apm_event_burst --app-dir DIR [--events N]\n"); }

// Waits (bounded) while the application has background tasks open, draining the main queue.
void waitForBackgroundTasks(UIApplication& application) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  bool expired = false;
  while (!application.openBackgroundTasks().empty()) {
    double waited = std::chrono::duration<double>(Clock::now() - start).count();
    if (waited >= kBackgroundTimeSeconds + kExpirationGraceSeconds) return;
    if (waited >= kBackgroundTimeSeconds && !expired) {
      expired = true;
      application.expireBackgroundTasks();
    }
    platform::DispatchQueue::drainMain();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The "seq" parameter of an event, if it has one.
std::optional<int64_t> seqOf(const APMPBEvent& event) {
  for (const APMPBEventParam& param :
       NANOGetMessageArray<APMPBEventParam>(event, APMPBEvent::kParams)
           .value_or(std::vector<APMPBEventParam>{})) {
    if (NANOGetString(param, APMPBEventParam::kName) == "seq") {
      return NANOGetInt64(param, APMPBEventParam::kIntValue);
    }
  }
  return std::nullopt;
}

// The "seq" of a "burst" event; nothing for another event.
std::optional<int64_t> burstSeq(const APMPBEvent& event) {
  if (NANOGetString(event, APMPBEvent::kName) != "burst") return std::nullopt;
  return seqOf(event);
}

// The "seq" of every "burst" event in a bundle (gzipped or not), one per event.
std::vector<int64_t> burstSeqsInBundle(std::string_view data) {
  std::optional<std::string> inflated = oul_dataByInflatingGzippedData(data, nullptr);
  std::optional<APMPBMeasurementBundle> bundle =
      APMPBMeasurementBundle::initWithBuffer(inflated ? std::string_view(*inflated) : data);
  std::vector<int64_t> seqs;
  if (!bundle) return seqs;
  for (const APMPBEvent& event :
       NANOGetMessageArray<APMPBEvent>(*bundle, APMPBMeasurementBundle::kEvents)
           .value_or(std::vector<APMPBEvent>{})) {
    if (std::optional<int64_t> seq = burstSeq(event)) seqs.push_back(*seq);
  }
  return seqs;
}

// --- The child: the app ---

// A moment of the child's run, "name nanoseconds" on the monotonic clock, for the parent.
void printMark(const char* name) {
  std::printf("%s %lld\n", name, static_cast<long long>(monotonicNanoseconds()));
  std::fflush(stdout);
}

// What the service received: the "seq" of each "burst" event of each upload, one line each,
// appended to a file the parent reads. Never destroyed: the sink may still write while the
// process exits.
struct UploadLog {
  std::mutex mutex;
  FILE* file = nullptr;
};
UploadLog& uploadLog() {
  static auto* shared = new UploadLog();
  return *shared;
}

// Notes the "burst" events of an upload body (a gzipped measurement batch).
void noteUploadedEvents(const std::string& body) {
  std::optional<std::string> inflated = oul_dataByInflatingGzippedData(body, nullptr);
  std::optional<APMPBMeasurementBatch> batch =
      APMPBMeasurementBatch::initWithBuffer(inflated ? std::string_view(*inflated) : body);
  if (!batch) return;
  std::lock_guard<std::mutex> lock(uploadLog().mutex);
  for (const APMPBMeasurementBundle& bundle :
       NANOGetMessageArray<APMPBMeasurementBundle>(*batch, APMPBMeasurementBatch::kBundles)
           .value_or(std::vector<APMPBMeasurementBundle>{})) {
    for (int64_t seq : burstSeqsInBundle(*bundle.protoBuffer())) {
      std::fprintf(uploadLog().file, "%lld\n", static_cast<long long>(seq));
    }
  }
  std::fflush(uploadLog().file);
}

// Waits (bounded) until the engine exists and its worker queue has handled its start-up.
bool waitForEngine() {
  std::shared_ptr<APMMeasurement> engine;
  for (int i = 0; i < 1000 && !(engine = APMMeasurement::sharedInstance()); ++i) {
    platform::DispatchQueue::drainMain();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!engine) return false;
  auto semaphore = std::make_shared<platform::DispatchSemaphore>(0);
  APMAnalytics::queueOperationWithBlock([engine, semaphore] {
    engine->scheduler()->scheduleOnWorkerQueueBlockID("event-burst",
                                                      [semaphore] { semaphore->signal(); });
  });
  return semaphore->wait(60);
}

int runApp(const std::filesystem::path& appDir, long events) {
  platform::PlatformLog::setSink([](const std::string&) {});
  if (!platform::AppContainer::setRoot(appDir / "container").ok()) return 3;
  uploadLog().file = std::fopen((appDir / "uploaded-seqs.txt").c_str(), "w");
  if (uploadLog().file == nullptr) return 3;
  // The service: answers every request with 204 (no configuration: the defaults hold) and
  // counts the events of each upload. Never destroyed: the engine may post until exit.
  auto* sink = new loopback::LoopbackHttpServer(0, [](const loopback::HttpRequest& request) {
    noteUploadedEvents(request.body);
    return loopback::HttpResponse::text(204, "");
  });
  std::string host = "127.0.0.1:" + std::to_string(sink->port());
  APMRemoteConfig::setHosts({host, host, host});
  APMInstallMeasurementFeatures();
  KVLAnalyticsRegisterLibrary();
  KVLApp::configureWithOptions(std::make_shared<KVLOptions>("1:1234567890:ios:burst", true, false));
  std::shared_ptr<UIApplication> application = UIApplication::sharedApplication();
  application->didFinishLaunching();
  application->didBecomeActive();
  platform::DispatchQueue::drainMain();
  // The app has been running a while when the burst comes: the engine has started.
  if (!waitForEngine()) return 4;

  printMark("first-event");
  for (long i = 0; i < events; ++i) {
    KVLAnalytics::logEventWithName("burst", {{"seq", platform::Value(int64_t{i})}});
  }
  printMark("last-event");

  // The app's way out: accepted events stored, then the background and its uploads.
  APMAnalytics::waitForQueuedCalls();
  printMark("stored");
  application->willResignActive();
  application->didEnterBackground();
  platform::DispatchQueue::drainMain();
  waitForBackgroundTasks(*application);
  printMark("background-done");
  application->willTerminate();
  platform::DispatchQueue::drainMain();
  printMark("terminated");
  return 0;
}

// --- The parent ---

// Where the events are: rows of raw_events, events of bundles waiting in the queue, and
// events the service received, each as the set of their "seq" and a count of rows.
struct Found {
  std::set<int64_t> seqs;
  long inDatabase = 0;
  long queued = 0;
  long uploaded = 0;
};

bool readDatabase(const std::filesystem::path& database, Found& found) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
  for (const char* sql :
       {"SELECT data FROM raw_events WHERE name = 'burst'", "SELECT data FROM queue"}) {
    sqlite3_stmt* statement = nullptr;
    ok = ok && sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK;
    bool raw = std::string_view(sql).find("raw_events") != std::string_view::npos;
    while (ok && sqlite3_step(statement) == SQLITE_ROW) {
      std::string_view data(static_cast<const char*>(sqlite3_column_blob(statement, 0)),
                            static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
      if (raw) {
        ++found.inDatabase;
        // A stored row keeps the event's name in its own column, not in the message.
        std::optional<APMPBEvent> event = APMPBEvent::initWithBuffer(data);
        if (std::optional<int64_t> seq = event ? seqOf(*event) : std::nullopt) {
          found.seqs.insert(*seq);
        }
      } else {
        for (int64_t seq : burstSeqsInBundle(data)) {
          ++found.queued;
          found.seqs.insert(seq);
        }
      }
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return ok;
}

void readUploads(const std::filesystem::path& file, Found& found) {
  std::ifstream in(file);
  for (long long seq; in >> seq;) {
    ++found.uploaded;
    found.seqs.insert(seq);
  }
}

std::optional<std::filesystem::path> findDatabase(const std::filesystem::path& root) {
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->path().filename() == "orvane-app-measurement.sql") return it->path();
  }
  return std::nullopt;
}

// The time of a mark the child printed; 0 when it printed none.
long long markIn(const std::string& text, const std::string& name) {
  size_t at = text.find(name + " ");
  return at == std::string::npos ? 0 : std::atoll(text.c_str() + at + name.size() + 1);
}

void printSeconds(const char* name, long long from, long long to) {
  if (from > 0 && to > 0) std::printf("%s = %.3f\n", name, static_cast<double>(to - from) / 1e9);
}

int runParent(const char* self, const std::filesystem::path& appDir, long events) {
  // Everything the child needs is made before fork.
  std::string count = std::to_string(events);
  std::string dir = appDir.string();
  std::vector<const char*> arguments = {self,       "--child",     "--app-dir", dir.c_str(),
                                        "--events", count.c_str(), nullptr};
  // A locale that names no language.
  std::vector<std::string> environment = {"LANG=C.UTF-8"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view variable(*entry);
    bool locale = variable.starts_with("LANG=") || variable.starts_with("LC_ALL=") ||
                  variable.starts_with("LC_MESSAGES=") || variable.starts_with("LANGUAGE=");
    if (!locale) environment.emplace_back(variable);
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  int output[2];
  if (pipe(output) != 0) return 1;
  pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    dup2(output[1], STDOUT_FILENO);
    close(output[0]);
    close(output[1]);
    execve(self, const_cast<char* const*>(arguments.data()), envp.data());
    _exit(127);
  }
  close(output[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(output[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
  }
  close(output[0]);
  int status = 0;
  waitpid(child, &status, 0);
  int64_t exited = monotonicNanoseconds();
  long long firstEvent = markIn(text, "first-event");
  long long lastEvent = markIn(text, "last-event");

  Found found;
  std::optional<std::filesystem::path> database = findDatabase(appDir);
  bool read = database && readDatabase(*database, found);
  readUploads(appDir / "uploaded-seqs.txt", found);
  long stored = read ? static_cast<long>(found.seqs.size()) : -1;
  long expected = std::min(events, kPublicEventsPerDay);
  std::printf("events_logged = %ld\n", events);
  std::printf("events_stored = %ld\n", stored);
  std::printf("events_expected = %ld\n", expected);
  std::printf("events_in_raw_events = %ld\n", found.inDatabase);
  std::printf("events_in_queued_bundles = %ld\n", found.queued);
  std::printf("events_uploaded = %ld\n", found.uploaded);
  printSeconds("seconds_logging", firstEvent, lastEvent);
  // The way out, step by step: storing what was accepted, the background and its uploads,
  // termination, and the process's end.
  long long storedAt = markIn(text, "stored");
  long long backgroundDone = markIn(text, "background-done");
  long long terminated = markIn(text, "terminated");
  printSeconds("seconds_storing_after_last_event", lastEvent, storedAt);
  printSeconds("seconds_in_background", storedAt, backgroundDone);
  printSeconds("seconds_terminating", backgroundDone, terminated);
  printSeconds("seconds_from_terminate_to_exit", terminated, exited);
  printSeconds("seconds_from_last_event_to_exit", lastEvent, exited);
  bool childOK = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!childOK) std::fprintf(stderr, "apm_event_burst: the app ended with status %d\n", status);
  if (!database) std::fprintf(stderr, "apm_event_burst: no database under %s\n", appDir.c_str());
  return childOK && lastEvent > 0 && stored == expected ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path appDir;
  long events = 100000;
  bool child = false;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--child") {
      child = true;
    } else if (argument == "--app-dir" && i + 1 < argc) {
      appDir = argv[++i];
    } else if (argument == "--events" && i + 1 < argc) {
      events = std::atol(argv[++i]);
    } else {
      usage();
      return 2;
    }
  }
  if (appDir.empty() || events < 1) {
    usage();
    return 2;
  }
  std::error_code error;
  std::filesystem::create_directories(appDir, error);
  if (child) return runApp(appDir, events);
  return runParent("/proc/self/exe", appDir, events);
}
