#include "base/per_thread.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "absl/base/internal/raw_logging.h"
#include "base/spinlock.h"

namespace base {
namespace {

SpinLock key_lock;
PerThread::Destructor destructors[PerThread::kPerThreadSlots];
int next_free_key = 0;

pthread_key_t per_thread_key;
std::once_flag per_thread_key_once;

// The calling thread's block, so that the pthread key is consulted once per thread.
thread_local void** cached_block = nullptr;

constexpr int kDestructorPasses = 4;

}  // namespace

void PerThread::Init() {
  std::call_once(per_thread_key_once, [] {
    // The check text is spelled as the crash reports of this library spell it.
    // clang-format off
    ABSL_RAW_CHECK(pthread_key_create(&per_thread_key, [](void *v) { PerThread::KeyDest(reinterpret_cast<void **>(v)); }) == 0, "");
    // clang-format on
  });
}

void PerThread::Allocate(Key* key, Destructor destructor) {
  Init();
  std::lock_guard<SpinLock> lock(key_lock);
  if (*key != kUnallocated) return;
  ABSL_RAW_CHECK(next_free_key < kPerThreadSlots, "too many PerThread keys in use");
  destructors[next_free_key] = destructor;
  *key = static_cast<Key>(next_free_key) * static_cast<Key>(sizeof(void*));
  ++next_free_key;
}

int PerThread::AllocatedKeys() {
  std::lock_guard<SpinLock> lock(key_lock);
  return next_free_key;
}

void** PerThread::Data(Key key, bool create) {
  ABSL_RAW_CHECK(key != kUnallocated, "Allocate() must be called before Data()");
  Init();
  void** block = cached_block;
  if (block == nullptr) {
    block = static_cast<void**>(pthread_getspecific(per_thread_key));
    if (block == nullptr) {
      if (!create) return nullptr;
      block = static_cast<void**>(std::calloc(1, kBlockSize));
      ABSL_RAW_CHECK(block != nullptr, "out of memory for a PerThread block");
      pthread_setspecific(per_thread_key, block);
    }
    cached_block = block;
  }
  return block + key / static_cast<Key>(sizeof(void*));
}

void PerThread::KeyDest(void** block) {
  Destructor table[kPerThreadSlots];
  int used;
  {
    std::lock_guard<SpinLock> lock(key_lock);
    std::memcpy(table, destructors, sizeof(table));
    used = next_free_key;
  }
  // Destructors may read their own and other keys' values while they run.
  pthread_setspecific(per_thread_key, block);
  cached_block = block;
  for (int pass = 0; pass < kDestructorPasses; ++pass) {
    bool destroyed = false;
    for (int slot = 0; slot < used; ++slot) {
      if (table[slot] != nullptr && block[slot] != nullptr) {
        void* value = block[slot];
        block[slot] = nullptr;
        table[slot](value);
        destroyed = true;
      }
    }
    if (!destroyed) break;
  }
  pthread_setspecific(per_thread_key, nullptr);
  cached_block = nullptr;
  std::free(block);
}

}  // namespace base
