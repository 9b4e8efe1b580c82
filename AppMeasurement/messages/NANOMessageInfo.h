#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AppMeasurement/messages/NANOMessageLayout.h"

class NANOMessageInfo;

// The value of a present singular field, or one element of a repeated field.
//  - bool, enum, int32, uint32: the value zero-extended to 64 bits (elements read from the
//    wire keep the 64 bits as decoded); int64, uint64: the value;
//  - float, double: the bit pattern of the value;
//  - string, bytes: the bytes (length = bytes.size());
//  - message: the nested record.
struct NANOCell {
  uint64_t scalar = 0;
  std::string bytes;
  std::unique_ptr<NANOMessageInfo> message;
};

// One field of a record. A singular field is absent until set; a repeated field always has
// its list (its "header"), possibly empty.
struct NANOSlot {
  bool present = false;
  NANOCell cell;
  std::vector<NANOCell> items;
};

// The in-memory form of one message: one slot per field of its layout, addressed by slot
// index. A record owns everything it holds; copies are deep, nothing is shared between two
// records. Not synchronised: used by one thread at a time.
//
// The slots are allocated together when a field is first written through slot() (non-const):
// until then the record takes only its own few bytes, so an empty sub-message (two bytes on
// the wire) does not cost a slot array as wide as its layout.
class NANOMessageInfo {
 public:
  // An empty record of the layout: every singular field absent, every repeated field empty.
  // Allocates no slots yet.
  explicit NANOMessageInfo(const NANOMessageLayout& layout);
  // A deep copy.
  NANOMessageInfo(const NANOMessageInfo& other);
  NANOMessageInfo& operator=(const NANOMessageInfo&) = delete;
  ~NANOMessageInfo();

  const NANOMessageLayout& layout() const { return *layout_; }
  const char* name() const { return layout_->name; }
  const uint32_t* codes() const { return layout_->codes; }
  uint32_t slotCount() const { return layout_->slotCount; }

  // Whether the slots are allocated (some field was written since the record was made).
  bool hasSlots() const { return slots_ != nullptr; }
  // The slot to write; allocates every slot of the record on first use.
  NANOSlot& slot(uint32_t index) {
    if (!slots_) allocateSlots();
    return slots_[index];
  }
  // The slot to read; an empty slot (absent, no elements) while nothing was written.
  const NANOSlot& slot(uint32_t index) const { return slots_ ? slots_[index] : emptySlot(); }
  // The slots in slot order for reading, or null while nothing was written.
  const NANOSlot* slotsOrNull() const { return slots_.get(); }

  // Frees the slots when no field is present or holds elements: the record goes back to
  // taking only its own bytes. True when it did.
  bool releaseSlotsIfEmpty();

  // Bytes one record's slot array takes once allocated (with the array's bookkeeping).
  static size_t slotBytes(const NANOMessageLayout& layout) {
    return layout.slotCount * sizeof(NANOSlot) + 2 * sizeof(size_t);
  }

  // True when both records are of the same message and hold the same fields and values.
  bool operator==(const NANOMessageInfo& other) const;

 private:
  void allocateSlots();
  static const NANOSlot& emptySlot();

  const NANOMessageLayout* layout_;
  std::unique_ptr<NANOSlot[]> slots_;
};

// Releases one field: a singular field becomes absent, a repeated field empty. A slot index
// at or beyond the message's slot count logs "<ERROR> %s: Cannot deallocate field %d: Unknown
// field" and fails.
bool NANODeallocField(NANOMessageInfo& info, uint32_t slot);

// Deep copy of a cell of a field with the given type code.
NANOCell NANOCopyCell(const NANOCell& cell);
