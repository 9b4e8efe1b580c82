#include "AppMeasurement/messages/NANOArena.h"

#include <algorithm>
#include <bit>
#include <new>

// A block: this header, then its bytes. A block of size class c holds kFirstBlockBytes << c
// bytes after the header; larger requests get a block of their own size (class -1).
struct NANOArena::Block {
  Block* previous;
  size_t bytes;  // after the header
};

namespace {

constexpr size_t kHeaderBytes =
    (sizeof(NANOArena*) * 2 + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
constexpr int kClassCount =
    std::countr_zero(NANOArena::kLargestBlockBytes / NANOArena::kFirstBlockBytes) + 1;

int sizeClass(size_t bytes) {
  if (bytes < NANOArena::kFirstBlockBytes || bytes > NANOArena::kLargestBlockBytes ||
      !std::has_single_bit(bytes)) {
    return -1;
  }
  return std::countr_zero(bytes / NANOArena::kFirstBlockBytes);
}

// The blocks this thread's arenas gave back, by size class, linked through their first bytes.
// Trivially destructible, so that an arena destroyed while the thread ends (or the process
// exits) still finds it; the reaper frees the kept blocks when the thread ends.
struct FreeBlock {
  FreeBlock* next;
};

struct BlockCache {
  FreeBlock* free[kClassCount];
  size_t bytes;
  bool gone;  // the thread is ending: nothing more is kept
};
thread_local BlockCache tCache;

// Frees kept blocks, largest first, until at most keep bytes are kept.
void trimCacheTo(size_t keep) {
  for (int c = kClassCount - 1; c >= 0 && tCache.bytes > keep; --c) {
    while (tCache.free[c] != nullptr && tCache.bytes > keep) {
      FreeBlock* block = tCache.free[c];
      tCache.free[c] = block->next;
      tCache.bytes -= NANOArena::kFirstBlockBytes << c;
      ::operator delete(static_cast<void*>(block));
    }
  }
}

struct CacheReaper {
  ~CacheReaper() {
    trimCacheTo(0);
    tCache.gone = true;
  }
};
thread_local CacheReaper tReaper;

// A kept block of the class, or null.
void* takeCached(int sizeClass) {
  FreeBlock* block = tCache.free[sizeClass];
  if (block == nullptr) return nullptr;
  tCache.free[sizeClass] = block->next;
  tCache.bytes -= NANOArena::kFirstBlockBytes << sizeClass;
  return block;
}

// Keeps the block (of bytes after its header) unless that would pass the ceiling.
void giveToCache(void* block, size_t bytes) {
  int c = sizeClass(bytes);
  if (c < 0 || tCache.gone || tCache.bytes + bytes > NANOArena::kCacheCeilingBytes) {
    ::operator delete(block);
    return;
  }
  (void)&tReaper;  // registers the reaper with the thread's first kept block
  auto* free = static_cast<FreeBlock*>(block);
  free->next = tCache.free[c];
  tCache.free[c] = free;
  tCache.bytes += bytes;
}

}  // namespace

NANOArena::~NANOArena() {
  while (blocks_ != nullptr) {
    Block* previous = blocks_->previous;
    giveToCache(blocks_, blocks_->bytes);
    blocks_ = previous;
  }
  // Keep what this arena used, within the floor and the ceiling.
  trimCacheTo(std::clamp(blockBytes_, kCacheFloorBytes, kCacheCeilingBytes));
}

size_t NANOArena::cachedBytesForTesting() { return tCache.bytes; }

size_t NANOArena::newBlockBytes(size_t bytes) const {
  size_t size = std::max(bytes, nextSize_);
  // A standard size where one fits, so that the block can be kept for reuse.
  return size <= kLargestBlockBytes ? std::bit_ceil(size) : size;
}

void NANOArena::takeBlock(size_t size) {
  int c = sizeClass(size);
  void* memory = c >= 0 ? takeCached(c) : nullptr;
  if (memory == nullptr) memory = ::operator new(kHeaderBytes + size);
  auto* block = static_cast<Block*>(memory);
  block->previous = blocks_;
  block->bytes = size;
  blocks_ = block;
  next_ = static_cast<char*>(memory) + kHeaderBytes;
  end_ = next_ + size;
  blockBytes_ += size;
  nextSize_ = std::min(nextSize_ * 2, kLargestBlockBytes);
}
