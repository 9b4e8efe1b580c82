// A child process for the crash test: writes raw events in a loop, one transaction per event
// as the engine writes them, and prints each event's number once its write has returned.
// Usage: apm_storage_crash_writer <database path> <first number>
// With "--open-named <name>" it opens the database by name in whatever container its
// environment gives (none, without HOME and XDG_DATA_HOME) and prints the failure's code and
// description.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "AppMeasurement/storage/APMDatabase.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  APMErrorSlot error;
  if (std::string(argv[1]) == "--open-named") {
    if (APMDatabase::create(argv[2], nullptr, &error)) return 3;
    std::printf("%lld %s\n", error ? static_cast<long long>(error->code()) : -1LL,
                error ? error->localizedDescription().c_str() : "");
    return 0;
  }
  auto database = APMDatabase::createAtPath(argv[1], nullptr, &error);
  if (!database) {
    std::fprintf(stderr, "open failed: %s\n", error ? error->description().c_str() : "");
    return 1;
  }
  APMPBMeasurementBundle metadata;
  NANOSetString(metadata, APMPBMeasurementBundle::kAppInstanceId, "crash-test");
  for (long long number = std::atoll(argv[2]);; ++number) {
    std::string name = "e" + std::to_string(number);
    auto event = APMEvent::create("app", false, name, 1'700'000'000.0 + number, 0,
                                  APMObjectMap{{"n", APMObject(platform::Value(number))}});
    bool written = event && database->performTransaction([&] {
      return database->insertIfNotExistsRawEventMetadata(metadata, nullptr) &&
             database->insertRawEvent(*event, 42, false, nullptr);
    });
    if (!written) return 1;
    std::printf("%lld\n", number);
    std::fflush(stdout);
  }
}
