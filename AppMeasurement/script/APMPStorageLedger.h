#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The memory that live script values hold, in bytes, as the process really holds it: every
// string value's object, reference count and allocation, its text storage by capacity, every
// array's object and element slots by capacity, every map's object, every property with its
// name. Programs come from the network: the bounds on one array or one string alone would let
// a loop keep thousands of maximal ones alive, or one statement (a split into millions of
// pieces) build hundreds of megabytes. Once the total passes kLimit the evaluator refuses to go
// on (error 20), both before every statement and inside bulk operations (APMPWorkMeter); what
// the failed run made is freed by the next collection, and what scripts keep reachable stays
// charged.
//
// Process-wide (values do not know their runtime); updated from the worker queue that runs
// scripts, read by the evaluator before every statement.
class APMPStorageLedger {
 public:
  static constexpr int64_t kLimit = int64_t{1} << 27;
  // What one heap allocation costs beyond what it holds (the allocator's header and rounding).
  static constexpr int64_t kAllocationBytes = 16;
  // A shared object's reference counts and its allocation.
  static constexpr int64_t kSharedObjectBytes = 16 + kAllocationBytes;
  static constexpr int64_t kArraySlotBytes = 16;
  // A property: its entry, its index entry and the name's own allocation when it has one.
  static constexpr int64_t kPropertyBytes = 48 + 64 + kAllocationBytes;

  static void add(int64_t bytes) { total_.fetch_add(bytes, std::memory_order_relaxed); }
  // Read before every evaluation, hence inline.
  static int64_t total() { return total_.load(std::memory_order_relaxed); }
  static bool isExhausted() { return total() > kLimit; }

  // The bytes a text of `capacity` UTF-16 code units holds beyond its string object: nothing
  // while it fits the object's own buffer, else its allocation.
  static int64_t textStorageBytes(size_t capacity) {
    return capacity <= 7 ? 0 : static_cast<int64_t>(capacity + 1) * 2 + kAllocationBytes;
  }

 private:
  static inline constinit std::atomic<int64_t> total_{0};
};
