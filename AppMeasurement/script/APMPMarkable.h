#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

class APMPMarker;

// Something the collector can mark: a value, a scope, or a root registered by a host.
// `mark` sets the receiver's mark and hands its children to the marker; it never recurses,
// so arbitrarily deep structures are marked without growing the C++ stack.
class APMPMarkable {
 public:
  virtual ~APMPMarkable() = default;
  virtual void mark(APMPMarker& marker) = 0;
};

// The work list of one collection's mark phase.
class APMPMarker {
 public:
  explicit APMPMarker(uint64_t epoch) : epoch_(epoch) {}
  // Works in `storage` (emptied), whose capacity a collector keeps from one collection to
  // the next.
  APMPMarker(uint64_t epoch, std::vector<APMPMarkable*>&& storage)
      : epoch_(epoch), work_(std::move(storage)) {
    work_.clear();
  }
  // Hands the work list's storage back for the next collection.
  std::vector<APMPMarkable*> takeStorage() { return std::move(work_); }

  // The collection's number; scopes remember the last one that marked them.
  uint64_t epoch() const { return epoch_; }
  // Queues an object whose `mark` is still to run. Null is ignored. The object must stay
  // alive until `drain` returns (it is reachable from a root for the whole mark phase).
  void add(APMPMarkable* object) {
    if (object != nullptr) work_.push_back(object);
  }
  // Runs `mark` on every queued object, including those queued meanwhile.
  void drain() {
    while (!work_.empty()) {
      APMPMarkable* next = work_.back();
      work_.pop_back();
      next->mark(*this);
    }
  }

 private:
  uint64_t epoch_;
  std::vector<APMPMarkable*> work_;
};

// Writes into the contents of a value or scope that some collection has reached (what its
// `mark` hands on: properties, elements, bindings, cached modules, registered callbacks),
// counted process-wide. While the count stands still, what the last collection reached is
// still exactly what the roots reach (APMPObjectManager::collectGarbage). Values and scopes
// made since the last collection are not counted: nothing reached can point to them without a
// counted write.
inline constinit std::atomic<uint64_t> gAPMPReachedWrites{0};
inline void APMPNoteReachedWrite() { gAPMPReachedWrites.fetch_add(1, std::memory_order_relaxed); }

// The mark the collector leaves on a value that an object manager sweeps. It remembers which
// collection set it: values that no manager tracks are never swept, so their mark stays set,
// and a later collection must still visit what lies under them.
class APMPCollectorMark {
 public:
  bool isSet() const { return set_; }
  // The collection that set it last (0: none ever has).
  uint64_t epoch() const { return epoch_; }
  // A write into the contents of a value so marked is counted (gAPMPReachedWrites).
  void noteWrite() const {
    if (epoch_ != 0) APMPNoteReachedWrite();
  }
  // True when the collection of `marker` has already set this mark.
  bool isSetBy(const APMPMarker& marker) const { return set_ && epoch_ == marker.epoch(); }
  // Sets the mark for the collection of `marker`; false when that collection already had.
  bool setBy(const APMPMarker& marker) {
    if (isSetBy(marker)) return false;
    set_ = true;
    epoch_ = marker.epoch();
    return true;
  }
  // Clears the mark for the next collection; true when it was set (the value survives this
  // sweep), false when the value was not reached and must let go of what it holds.
  bool clear() {
    bool wasSet = set_;
    set_ = false;
    return wasSet;
  }

 private:
  bool set_ = false;
  uint64_t epoch_ = 0;
};
