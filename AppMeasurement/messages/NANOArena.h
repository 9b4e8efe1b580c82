#pragma once

#include <cstddef>

// Memory for the records a decode makes: blocks handed out by bumping a pointer, given back all
// at once when the arena is destroyed. Nothing is freed one by one, so a decode makes one
// allocation per block instead of two per record.
//
// Blocks grow from 1 KiB to 64 KiB, so a small message takes one small block and a large one
// wastes at most the end of its last block. The blocks an arena gives back are kept by its
// thread for the next arena of that thread, up to what this arena used (at least 256 KiB, at
// most 8 MiB): a thread that decodes batches of one size reuses the same memory instead of
// having the system take it back and hand it out again page by page, and a smaller decode
// returns the excess.
//
// What lives in an arena is owned by the record that owns the arena (the decoded message's
// root record, NANOMessageInfo::adoptArena): it must not outlive that record. Objects placed in
// an arena are destroyed by their owners as usual; only their memory stays until the arena
// goes. Not synchronised: used by one thread at a time (any thread; the blocks go to the cache of
// the thread that destroys the arena).
class NANOArena {
 public:
  NANOArena() = default;
  NANOArena(const NANOArena&) = delete;
  NANOArena& operator=(const NANOArena&) = delete;
  ~NANOArena();

  // Bytes of the block that allocate(bytes) would take, or 0 when they fit in the current block
  // (lets a caller charge a block before it is taken).
  size_t nextBlockBytes(size_t bytes) const {
    bytes = rounded(bytes);
    return bytes <= static_cast<size_t>(end_ - next_) ? 0 : newBlockBytes(bytes);
  }

  // bytes of memory aligned for any object (alignof(std::max_align_t)), valid until the arena
  // is destroyed.
  void* allocate(size_t bytes) {
    bytes = rounded(bytes);
    if (bytes > static_cast<size_t>(end_ - next_)) takeBlock(newBlockBytes(bytes));
    void* result = next_;
    next_ += bytes;
    return result;
  }

  // Bytes of the blocks taken so far.
  size_t blockBytes() const { return blockBytes_; }

  // Bytes of blocks this thread keeps for its next arenas (for tests).
  static size_t cachedBytesForTesting();

  static constexpr size_t kFirstBlockBytes = 1024;
  static constexpr size_t kLargestBlockBytes = 64 * 1024;
  static constexpr size_t kCacheFloorBytes = 256 * 1024;
  static constexpr size_t kCacheCeilingBytes = 8 * 1024 * 1024;

 private:
  struct Block;

  static constexpr size_t kAlignment = alignof(std::max_align_t);
  static size_t rounded(size_t bytes) { return (bytes + kAlignment - 1) & ~(kAlignment - 1); }
  // The size of the block that rounded bytes take when the current block cannot hold them.
  size_t newBlockBytes(size_t bytes) const;
  // Makes a block of size bytes (kept by this thread, or new) the current one.
  void takeBlock(size_t size);

  Block* blocks_ = nullptr;  // the current block, linked to the earlier ones
  char* next_ = nullptr;
  char* end_ = nullptr;
  size_t blockBytes_ = 0;
  size_t nextSize_ = kFirstBlockBytes;  // the least size of the next block's bytes
};
