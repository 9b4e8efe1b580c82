#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMValue.h"
#include "AppMeasurement/records/APMEvent.h"

// An event packed into bytes of its own, for an event that must be kept a while but is rarely
// read again: a commit group keeps each of its events until it commits, should it have to write
// them again. Kept as an APMEvent, every parameter is a block of memory of its own and every
// text value another; a group of 64 such events keeps the memory allocator from handing the
// next event the blocks the last one freed, which slows every allocation of the event path.
// Packed, the texts and numbers are copied into the packed event itself (into an allocation of
// its own only when they do not fit); array values stay shared with the event, as a copy of it
// shares them (they are immutable).
//
// unpack() gives an event equal to the packed one (APMEvent::operator==): the same origin,
// name, times and parameters, each value of the same type and held value, bit for bit (a NaN
// stays the same NaN). Nothing is sanitised again. A value type; any thread.
class APMPackedEvent {
 public:
  // Most events pack into fewer bytes than this.
  static constexpr size_t kInlineBytes = 512;

  explicit APMPackedEvent(const APMEvent& event);
  // Copies take the bytes packed, not the whole inline room. A moved-from packed event is only
  // to be assigned or destroyed.
  APMPackedEvent(const APMPackedEvent& other);
  APMPackedEvent(APMPackedEvent&& other) noexcept;
  APMPackedEvent& operator=(const APMPackedEvent& other);
  APMPackedEvent& operator=(APMPackedEvent&& other) noexcept;
  ~APMPackedEvent() = default;

  APMEvent unpack() const;

 private:
  const char* bytes() const { return size_ <= kInlineBytes ? inline_.data() : overflow_.data(); }
  // The inline bytes of another packed event; the rest is taken by the caller.
  void copyInlineBytes(const APMPackedEvent& other);

  size_t size_ = 0;
  // Only the first size_ bytes are written, when size_ is at most kInlineBytes.
  std::array<char, kInlineBytes> inline_;
  std::string overflow_;
  std::vector<std::shared_ptr<const APMValue::Array>> arrays_;
};
