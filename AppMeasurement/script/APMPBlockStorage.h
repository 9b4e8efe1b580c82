#pragma once

#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

// The blocks of one size that a thread keeps for its next objects: scopes and the commonest
// values are made and dropped many times per event, and a block taken back from here costs
// less than one from the heap. Kept blocks are poisoned for AddressSanitizer, so a use after
// an object was dropped is still reported. A block may be returned by another thread than the
// one that took it; a thread's blocks go back to the heap when it ends.
template <size_t Size>
class APMPBlockStorage {
 public:
  static constexpr size_t kKept = 32;

  // A kept block, or null.
  static void* take() {
    APMPBlockStorage* storage = current();
    if (storage == nullptr || storage->count_ == 0) return nullptr;
    void* block = storage->blocks_[--storage->count_];
    ASAN_UNPOISON_MEMORY_REGION(block, Size);
    return block;
  }
  // Keeps `block` (from operator new, of Size bytes); false when this thread keeps enough.
  static bool keep(void* block) {
    APMPBlockStorage* storage = current();
    if (storage == nullptr || storage->count_ == kKept) return false;
    ASAN_POISON_MEMORY_REGION(block, Size);
    storage->blocks_[storage->count_++] = block;
    return true;
  }

  ~APMPBlockStorage() {
    for (size_t i = 0; i < count_; ++i) {
      ASAN_UNPOISON_MEMORY_REGION(blocks_[i], Size);
      ::operator delete(blocks_[i]);
    }
    count_ = 0;
    current_ = nullptr;
    gone_ = true;
  }

 private:
  static APMPBlockStorage* current() {
    if (current_ == nullptr && !gone_) {
      thread_local APMPBlockStorage storage;
      current_ = &storage;
    }
    return current_;
  }

  void* blocks_[kKept];
  size_t count_ = 0;
  static inline constinit thread_local APMPBlockStorage* current_ = nullptr;
  // Set once the thread's storage is destroyed (the thread is ending).
  static inline constinit thread_local bool gone_ = false;
};

// An allocator over APMPBlockStorage, for std::allocate_shared.
template <typename T>
struct APMPRecyclingAllocator {
  using value_type = T;
  APMPRecyclingAllocator() = default;
  template <typename U>
  APMPRecyclingAllocator(const APMPRecyclingAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n == 1) {
      if (void* block = APMPBlockStorage<sizeof(T)>::take()) return static_cast<T*>(block);
    }
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* block, size_t n) noexcept {
    if (n == 1 && APMPBlockStorage<sizeof(T)>::keep(block)) return;
    ::operator delete(block);
  }
  friend bool operator==(const APMPRecyclingAllocator&, const APMPRecyclingAllocator&) {
    return true;
  }
};

// std::make_shared over blocks the thread keeps.
template <typename T, typename... Arguments>
std::shared_ptr<T> APMPMakeRecycled(Arguments&&... arguments) {
  return std::allocate_shared<T>(APMPRecyclingAllocator<T>(),
                                 std::forward<Arguments>(arguments)...);
}
