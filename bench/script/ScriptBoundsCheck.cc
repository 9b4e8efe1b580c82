// Release check of the bounds of one event's run: every hostile shape (tests/.../HostileShapes.h)
// runs as one event in a child process of its own, which must end it with the shape's outcome
// within kSecondsBound of wall time and under kPeakBound of peak resident memory (the child's
// whole process, as the kernel counts it), then handle an ordinary event. Prints one line per
// shape and exits non-zero when any shape breaks a bound. Run by scripts/check-script-bounds.sh.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/foundation/PlatformLog.h"
#include "tests/AppMeasurement/script/HostileShapes.h"

using namespace script_test;

namespace {

constexpr double kSecondsBound = 2.0;
constexpr long kPeakBound = 512L << 20;

struct Report {
  double seconds = -1;
  int64_t code = 0;
  char domain[64] = {};
  bool nextEventRan = false;
};

// In the child: one hostile event, then an ordinary one.
Report RunShape(const HostileShape& shape) {
  Report report;
  APMPEventEditing editing;
  std::optional<APMPError> error;
  if (!editing.loadProgram(HostileProgram(shape), &error)) return report;
  auto start = std::chrono::steady_clock::now();
  editing.handleEvent(APMPEvent("hostile", 1, {}), &error);
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (error) {
    report.code = error->code;
    std::snprintf(report.domain, sizeof report.domain, "%s", error->domain.c_str());
  }
  error.reset();
  report.nextEventRan = editing.handleEvent(APMPEvent("purchase", 2, {}), &error) && !error;
  return report;
}

}  // namespace

int main() {
  platform::PlatformLog::setSink([](const std::string&) {});
  std::vector<HostileShape> shapes = HostileShapes();
  int broken = 0;
  double worst = 0;
  std::printf("%-48s %9s %9s  %s\n", "shape", "seconds", "peak MB", "outcome");
  for (const auto& shape : shapes) {
    int fds[2];
    if (pipe(fds) != 0) return 2;
    std::fflush(stdout);
    pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
      close(fds[0]);
      Report report = RunShape(shape);
      ssize_t written = write(fds[1], &report, sizeof report);
      _exit(written == static_cast<ssize_t>(sizeof report) ? 0 : 1);
    }
    close(fds[1]);
    Report report;
    ssize_t got = read(fds[0], &report, sizeof report);
    close(fds[0]);
    int status = 0;
    struct rusage usage = {};
    wait4(child, &status, 0, &usage);
    long peak = usage.ru_maxrss * 1024L;
    bool ended =
        got == static_cast<ssize_t>(sizeof report) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    bool outcome = ended && shape.domain == report.domain && shape.code == report.code;
    bool ok = outcome && report.nextEventRan && report.seconds < kSecondsBound && peak < kPeakBound;
    if (!ok) ++broken;
    if (report.seconds > worst) worst = report.seconds;
    std::printf("%-48s %9.3f %9.1f  %s %lld%s%s\n", shape.name.c_str(), report.seconds,
                static_cast<double>(peak) / (1 << 20),
                report.domain[0] != 0 ? report.domain : "success",
                static_cast<long long>(report.code), outcome ? "" : " (unexpected outcome)",
                ok ? "" : "  BROKEN");
  }
  std::printf("\nworst time per event: %.3f s (bound %.1f s, peak bound %ld MB)\n", worst,
              kSecondsBound, kPeakBound >> 20);
  std::printf("%zu passed, %d failed\n", shapes.size() - static_cast<size_t>(broken), broken);
  return broken == 0 ? 0 : 1;
}
