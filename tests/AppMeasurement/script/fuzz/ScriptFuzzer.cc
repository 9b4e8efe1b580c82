// Fuzzes the script runtime with random statement trees built from the input (as the
// random-program test builds them, with literals that reach the costly paths), run as one
// event each on one runtime that lives across inputs. A watchdog thread aborts the process
// (libFuzzer then keeps the input) when one input runs longer than kSecondsPerInput or the
// process holds more than kResidentLimit: every program must end, within its budget, and
// must not take memory past the storage ledger's bound, whatever it does.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPScope.h"
#include "tests/AppMeasurement/script/RandomStatements.h"

namespace {

// Generous for a sanitizer build: the Release bound of one event is 2 s.
constexpr double kSecondsPerInput = 20;
constexpr long long kResidentLimit = 3LL << 30;

std::atomic<long long> gInputStart{0};  // steady-clock nanoseconds; 0 between inputs

long long Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

long long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

void Watch() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long long start = gInputStart.load();
    if (start != 0 && static_cast<double>(Now() - start) / 1e9 > kSecondsPerInput) {
      std::fprintf(stderr, "watchdog: one input ran longer than %.0f s\n", kSecondsPerInput);
      std::abort();
    }
    long long resident = ResidentBytes();
    if (resident > kResidentLimit) {
      std::fprintf(stderr, "watchdog: %lld MB resident\n", resident >> 20);
      std::abort();
    }
  }
}

APMPRuntime& Runtime() {
  static APMPRuntime* runtime = [] {
    std::thread(Watch).detach();
    return new APMPRuntime();
  }();
  return *runtime;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  APMPRuntime& runtime = Runtime();
  FuzzedDataProvider input(data, size);
  script_test::RandomStatements trees([&] { return input.ConsumeIntegral<uint32_t>(); }, true);
  // A few variables the literals name, then up to four trees.
  APMPValueList statements;
  for (const char16_t* name : {u"s", u"a", u"x", u"y"})
    statements.push_back(
        std::make_shared<APMPStatementValue>(u"41", APMPValueList{APMPStringValue::make(name)}));
  int count = 1 + input.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < count && input.remaining_bytes() > 0; ++i)
    statements.push_back(trees.make(input.ConsumeIntegralInRange<int>(1, 7)));
  gInputStart = Now();
  runtime.resetInstructionCount();
  APMPScopePtr scope = runtime.getRunScope();
  std::optional<APMPError> error;
  for (const auto& statement : statements) {
    APMPEvaluator::evaluateStatement(statement, scope, &error);
    if (error) break;
  }
  runtime.collectGarbage();
  gInputStart = 0;
  return 0;
}
