#pragma once

#include <atomic>
#include <cstddef>

extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                              void (*)(const volatile void*)) __attribute__((weak));
size_t __sanitizer_get_allocated_size(const volatile void*) __attribute__((weak));
}

namespace testsupport {

// The most memory that was allocated and not yet freed at once while a measurement ran,
// measured through the sanitizer allocator's malloc and free hooks (requested bytes), so
// independently of any bookkeeping of the code measured. Only in sanitizer builds:
// available() says whether the hooks exist. One measurement at a time; allocations of every
// thread count while one runs.
class AllocationPeak {
 public:
  static bool available() {
    static const bool installed = __sanitizer_install_malloc_and_free_hooks != nullptr &&
                                  __sanitizer_get_allocated_size != nullptr &&
                                  __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
    return installed;
  }

  // Measures what `work` holds at once; -1 when the hooks are not available.
  template <typename Work>
  static long long measure(Work&& work) {
    const bool measuring = available();
    live() = 0;
    peak() = 0;
    counting() = measuring;
    work();
    counting() = false;
    return measuring ? peak().load() : -1;
  }

 private:
  static std::atomic<bool>& counting() {
    static std::atomic<bool> value{false};
    return value;
  }
  static std::atomic<long long>& live() {
    static std::atomic<long long> value{0};
    return value;
  }
  static std::atomic<long long>& peak() {
    static std::atomic<long long> value{0};
    return value;
  }

  static void onMalloc(const volatile void*, size_t size) {
    if (!counting().load(std::memory_order_relaxed)) return;
    long long now = live().fetch_add(static_cast<long long>(size)) + static_cast<long long>(size);
    long long highest = peak().load();
    while (now > highest && !peak().compare_exchange_weak(highest, now)) {
    }
  }

  static void onFree(const volatile void* p) {
    if (!counting().load(std::memory_order_relaxed) || p == nullptr) return;
    live().fetch_sub(static_cast<long long>(__sanitizer_get_allocated_size(p)));
  }
};

}  // namespace testsupport
