#pragma once

#include <cstddef>
#include <cstdint>

// Per-thread keys: up to kPerThreadSlots process-wide keys, each with a destructor, and for
// every thread a block of one pointer-sized value per key. When a thread exits, the values it
// still holds are handed to their keys' destructors. Thread-safe.
namespace base {

class PerThread {
 public:
  static constexpr int kPerThreadSlots = 512;
  static constexpr size_t kBlockSize = kPerThreadSlots * sizeof(void*);  // 4096 bytes
  using Destructor = void (*)(void* value);
  // A key is the byte offset of its slot in the block; kUnallocated until Allocate.
  using Key = intptr_t;
  static constexpr Key kUnallocated = -1;

  // Creates the pthread key behind the blocks. Called once at start-up (further calls do
  // nothing); Allocate and Data call it too.
  static void Init();

  // Gives *key the next free slot unless it has one, with its destructor. The 513th key stops
  // the program.
  static void Allocate(Key* key, Destructor destructor);

  // The calling thread's value of key. Without a block yet, returns nullptr unless create is
  // true, in which case a zero-filled block is made. A key that was never allocated stops the
  // program.
  static void** Data(Key key, bool create);

  // Number of keys allocated so far.
  static int AllocatedKeys();

  // Runs the thread-exit destruction on a block (the pthread key destructor); exposed so that
  // the passes can be tested.
  static void KeyDest(void** block);
};

}  // namespace base
