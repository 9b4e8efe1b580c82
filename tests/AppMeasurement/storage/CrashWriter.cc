// A child process for the crash test: writes raw events in a loop, one transaction per event
// as the engine writes them, and prints each event's number once its write has returned.
// Usage: apm_storage_crash_writer <database path> <first number>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "AppMeasurement/storage/APMDatabase.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  APMErrorSlot error;
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
