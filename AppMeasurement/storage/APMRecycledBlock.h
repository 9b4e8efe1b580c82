#pragma once

#include <cstddef>
#include <utility>

// The storage APMRecycledBlock keeps, per thread and per size: at most kKeptBlocks blocks a
// thread, handed back to the allocator when the thread ends.
class APMRecycledStorage {
 public:
  static constexpr std::size_t kKeptBlocks = 128;

  // Storage of the size: a kept block, or a new one.
  static void* take(std::size_t size);
  // Keeps the storage for the next block of its size, or hands it back to the allocator when
  // the thread keeps enough.
  static void give(void* storage, std::size_t size);
  // The blocks of storage this thread keeps.
  static std::size_t keptForTesting();
};

// A transaction block whose storage is kept for the next block of its size: for the blocks a
// commit group holds until it commits (see APMSqliteStore::performRerunnableTransactionWithError).
// A group holds up to 64 of them; taken from the memory allocator one by one and handed back all
// at once at the commit, they overflow the allocator's per-thread cache (a few blocks of a size)
// and slow every other allocation made meanwhile. Kept, the next group's blocks cost no
// allocation at all, as a transaction run once on its caller's stack did not.
//
// std::function puts a callable of this type in storage of its own through the class's
// operator new and delete, so wrapping the block is all it takes:
//   database->performRerunnableTransaction(APMRecycledBlock([held]() mutable { ... }));
// Blocks may be made and dropped on any thread: each thread keeps what it drops.
template <typename Block>
class APMRecycledBlock {
 public:
  explicit APMRecycledBlock(Block&& block) : block_(std::move(block)) {}

  bool operator()() { return block_(); }

  static void* operator new(std::size_t size) { return APMRecycledStorage::take(size); }
  static void operator delete(void* storage, std::size_t size) {
    APMRecycledStorage::give(storage, size);
  }

 private:
  Block block_;
};
