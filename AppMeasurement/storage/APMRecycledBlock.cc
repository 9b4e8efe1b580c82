#include "AppMeasurement/storage/APMRecycledBlock.h"

#include <iterator>
#include <new>
#include <utility>
#include <vector>

namespace {

// Set once the thread's kept storage is gone (the thread is ending): blocks dropped after that
// go straight back to the allocator. Trivially destructible, so it can still be read then.
thread_local bool keptStorageGone = false;

struct KeptStorage {
  KeptStorage() { blocks.reserve(APMRecycledStorage::kKeptBlocks); }
  ~KeptStorage() {
    keptStorageGone = true;
    for (const auto& [size, storage] : blocks) ::operator delete(storage, size);
  }
  std::vector<std::pair<std::size_t, void*>> blocks;
};

std::vector<std::pair<std::size_t, void*>>& keptBlocks() {
  thread_local KeptStorage kept;
  return kept.blocks;
}

}  // namespace

void* APMRecycledStorage::take(std::size_t size) {
  if (!keptStorageGone) {
    auto& blocks = keptBlocks();
    // Blocks of one size are the rule: the last kept one fits.
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
      if (it->first != size) continue;
      void* storage = it->second;
      blocks.erase(std::next(it).base());
      return storage;
    }
  }
  return ::operator new(size);
}

void APMRecycledStorage::give(void* storage, std::size_t size) {
  if (storage == nullptr) return;
  if (!keptStorageGone) {
    auto& blocks = keptBlocks();
    if (blocks.size() < kKeptBlocks) {
      blocks.emplace_back(size, storage);
      return;
    }
  }
  ::operator delete(storage, size);
}

std::size_t APMRecycledStorage::keptForTesting() {
  return keptStorageGone ? 0 : keptBlocks().size();
}
