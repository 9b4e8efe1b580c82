#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AppMeasurement/messages/NANOArena.h"
#include "AppMeasurement/messages/NANOMessageLayout.h"

class NANOMessageInfo;

// Owner of a nested record: the decoder's records live in an arena, the others on the heap.
struct NANORecordDeleter {
  NANORecordDeleter() = default;
  NANORecordDeleter(std::default_delete<NANOMessageInfo>) {}  // NOLINT: records made by new
  void operator()(NANOMessageInfo* info) const;
};
using NANORecordPtr = std::unique_ptr<NANOMessageInfo, NANORecordDeleter>;

// The value of a present singular field, or one element of a repeated field.
//  - bool, enum, int32, uint32: the value zero-extended to 64 bits (elements read from the
//    wire keep the 64 bits as decoded); int64, uint64: the value;
//  - float, double: the bit pattern of the value;
//  - string, bytes: the bytes (length = bytes.size());
//  - message: the nested record.
struct NANOCell {
  uint64_t scalar = 0;
  std::string bytes;
  NANORecordPtr message;
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
//
// Records made by the decoder keep their nested records and slot arrays in one arena
// (NANOArena) that the decoded root record owns: nested records are destroyed with their
// parents as usual, their memory is given back when the root goes. Whatever is written later
// (new slots, sub-messages, lists) takes memory of its own, so editing a decoded message never
// grows its arena. A nested record is never moved out of its root (the accessors copy).
class NANOMessageInfo {
 public:
  // An empty record of the layout: every singular field absent, every repeated field empty.
  // Allocates no slots yet.
  explicit NANOMessageInfo(const NANOMessageLayout& layout);
  // A deep copy, with memory of its own (never in the source's arena).
  NANOMessageInfo(const NANOMessageInfo& other);
  NANOMessageInfo& operator=(const NANOMessageInfo&) = delete;
  ~NANOMessageInfo();

  // Destroys a record made by new or by createIn; the memory of the latter stays with its arena.
  static void destroy(NANOMessageInfo* info);

  // An empty record placed in the arena, owned by the caller (a parent's cell) but not outliving
  // the arena.
  static NANOMessageInfo* createIn(NANOArena& arena, const NANOMessageLayout& layout);
  // The decoder's slot(): the slot to write, the record's slots made in the arena when it has
  // none yet.
  NANOSlot& slotIn(NANOArena& arena, uint32_t index) {
    if (!slots_) allocateSlots(&arena);
    return slots_[index];
  }
  // Makes this (heap) record the owner of the arena its nested records and slots live in.
  void adoptArena(std::unique_ptr<NANOArena> arena);

  const NANOMessageLayout& layout() const { return *layout_; }
  const char* name() const { return layout_->name; }
  const uint32_t* codes() const { return layout_->codes; }
  uint32_t slotCount() const { return layout_->slotCount; }

  // Whether the slots are allocated (some field was written since the record was made).
  bool hasSlots() const { return slots_ != nullptr; }
  // The slot to write; allocates every slot of the record on first use.
  NANOSlot& slot(uint32_t index) {
    if (!slots_) allocateSlots(nullptr);
    return slots_[index];
  }
  // The slot to read; an empty slot (absent, no elements) while nothing was written.
  const NANOSlot& slot(uint32_t index) const { return slots_ ? slots_[index] : emptySlot(); }
  // The slots in slot order for reading, or null while nothing was written.
  const NANOSlot* slotsOrNull() const { return slots_; }

  // True when both records are of the same message and hold the same fields and values.
  bool operator==(const NANOMessageInfo& other) const;

 private:
  // Slots in the arena, or on the heap when arena is null.
  void allocateSlots(NANOArena* arena);
  static const NANOSlot& emptySlot();

  // Declared first so that it goes last: the slots and nested records are destroyed before the
  // memory they live in.
  std::unique_ptr<NANOArena> arena_;
  const NANOMessageLayout* layout_;
  NANOSlot* slots_ = nullptr;
  bool inArena_ = false;       // this record's own memory belongs to an arena
  bool slotsInArena_ = false;  // so does its slot array
};

// Releases one field: a singular field becomes absent, a repeated field empty. A slot index
// at or beyond the message's slot count logs "<ERROR> %s: Cannot deallocate field %d: Unknown
// field" and fails.
bool NANODeallocField(NANOMessageInfo& info, uint32_t slot);

// Deep copy of a cell of a field with the given type code.
NANOCell NANOCopyCell(const NANOCell& cell);
