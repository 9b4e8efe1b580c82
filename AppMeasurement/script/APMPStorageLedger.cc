#include "AppMeasurement/script/APMPStorageLedger.h"

#include <atomic>

namespace {
std::atomic<int64_t> gTotal{0};
}

void APMPStorageLedger::add(int64_t bytes) { gTotal.fetch_add(bytes, std::memory_order_relaxed); }

int64_t APMPStorageLedger::total() { return gTotal.load(std::memory_order_relaxed); }
