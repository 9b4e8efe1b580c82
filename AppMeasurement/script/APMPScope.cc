#include "AppMeasurement/script/APMPScope.h"

#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <new>

#include "AppMeasurement/script/APMPObjectManager.h"

namespace {

// The blocks this thread keeps for its next scopes (all of one size: a scope with its
// reference counts). Kept blocks are poisoned for AddressSanitizer, so a use after a scope
// was dropped is still reported.
struct ScopeStorage {
  static constexpr size_t kKept = 32;
  void* blocks[kKept];
  size_t count = 0;
  size_t blockSize = 0;
  ~ScopeStorage();
};
constinit thread_local ScopeStorage* gScopeStorage = nullptr;
// Set when the thread's storage is gone (the thread is ending): blocks go back to the heap.
constinit thread_local bool gScopeStorageGone = false;

ScopeStorage* Storage() {
  if (gScopeStorage == nullptr && !gScopeStorageGone) {
    thread_local ScopeStorage storage;
    gScopeStorage = &storage;
  }
  return gScopeStorage;
}

ScopeStorage::~ScopeStorage() {
  for (size_t i = 0; i < count; ++i) {
    ASAN_UNPOISON_MEMORY_REGION(blocks[i], blockSize);
    ::operator delete(blocks[i]);
  }
  count = 0;
  gScopeStorage = nullptr;
  gScopeStorageGone = true;
}

template <typename T>
struct ScopeAllocator {
  using value_type = T;
  ScopeAllocator() = default;
  template <typename U>
  ScopeAllocator(const ScopeAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    ScopeStorage* storage = n == 1 ? Storage() : nullptr;
    if (storage != nullptr && storage->count > 0) {
      void* block = storage->blocks[--storage->count];
      ASAN_UNPOISON_MEMORY_REGION(block, sizeof(T));
      return static_cast<T*>(block);
    }
    return static_cast<T*>(::operator new(n * sizeof(T)));
  }
  void deallocate(T* block, size_t n) noexcept {
    ScopeStorage* storage = n == 1 ? Storage() : nullptr;
    if (storage != nullptr && storage->count < ScopeStorage::kKept) {
      storage->blockSize = sizeof(T);
      ASAN_POISON_MEMORY_REGION(block, sizeof(T));
      storage->blocks[storage->count++] = block;
      return;
    }
    ::operator delete(block);
  }
  friend bool operator==(const ScopeAllocator&, const ScopeAllocator&) { return true; }
};

}  // namespace

APMPScopePtr APMPScope::make(APMPScopePtr parentScope) {
  return std::allocate_shared<APMPScope>(ScopeAllocator<APMPScope>(), std::move(parentScope));
}

APMPScope::APMPScope(APMPScopePtr parentScope) : parentScope_(std::move(parentScope)) {
  if (parentScope_) counter_ = parentScope_->counter_;
}

APMPScopePtr APMPScope::createChildScope() { return make(shared_from_this()); }

bool APMPScope::hasName(std::u16string_view name) const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->parentScope_.get())
    if (scope->contents_.hasName(name)) return true;
  return false;
}

void APMPScope::addValue(APMPValuePtr value, std::u16string_view name) {
  contents_.setValue(std::move(value), name);
}

void APMPScope::addImmutableValue(APMPValuePtr value, std::u16string_view name) {
  contents_.setImmutableValue(std::move(value), name);
}

void APMPScope::setValue(APMPValuePtr value, std::u16string_view name) {
  APMPScope* scope = this;
  // Walk up while the current table is open, lacks the name and an ancestor has it.
  while (true) {
    if (scope->contents_.isImmutable()) return;
    if (!scope->contents_.hasName(name) && scope->parentScope_ &&
        scope->parentScope_->hasName(name)) {
      scope = scope->parentScope_.get();
      continue;
    }
    scope->contents_.setValue(std::move(value), name);
    return;
  }
}

const APMPValuePtr& APMPScope::valueForName(std::u16string_view name) const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->parentScope_.get())
    if (const APMPValuePtr* value = scope->contents_.findValue(name)) return *value;
  return APMPUndefined();
}

void APMPScope::setObjectManager(std::shared_ptr<APMPObjectManager> objectManager) {
  objectManager_ = std::move(objectManager);
}

APMPObjectManager* APMPScope::objectManager() const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->parentScope_.get())
    if (scope->objectManager_) return scope->objectManager_.get();
  return nullptr;
}

void APMPScope::mark(APMPMarker& marker) {
  if (markEpoch_ == marker.epoch()) return;
  markEpoch_ = marker.epoch();
  contents_.noteReached();
  for (const auto& entry : contents_.entries()) APMPMarkValue(marker, entry.second);
  marker.add(parentScope_.get());
}
