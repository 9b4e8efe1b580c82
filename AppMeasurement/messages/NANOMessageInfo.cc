#include "AppMeasurement/messages/NANOMessageInfo.h"

#include "AppMeasurement/messages/NANOLog.h"

NANOMessageInfo::NANOMessageInfo(const NANOMessageLayout& layout)
    : layout_(&layout), slots_(new NANOSlot[layout.slotCount]) {}

NANOMessageInfo::NANOMessageInfo(const NANOMessageInfo& other)
    : layout_(other.layout_), slots_(new NANOSlot[other.layout_->slotCount]) {
  for (uint32_t i = 0; i < layout_->slotCount; ++i) {
    const NANOSlot& from = other.slots_[i];
    NANOSlot& to = slots_[i];
    to.present = from.present;
    if (from.present) to.cell = NANOCopyCell(from.cell);
    if (!from.items.empty()) {
      to.items.reserve(from.items.size());
      for (const NANOCell& item : from.items) to.items.push_back(NANOCopyCell(item));
    }
  }
}

NANOMessageInfo::~NANOMessageInfo() = default;

NANOCell NANOCopyCell(const NANOCell& cell) {
  NANOCell copy;
  copy.scalar = cell.scalar;
  copy.bytes = cell.bytes;
  if (cell.message) copy.message = std::make_unique<NANOMessageInfo>(*cell.message);
  return copy;
}

namespace {

bool cellsEqual(const NANOCell& a, const NANOCell& b) {
  if (a.scalar != b.scalar || a.bytes != b.bytes) return false;
  if (!a.message || !b.message) return !a.message && !b.message;
  return *a.message == *b.message;
}

}  // namespace

bool NANOMessageInfo::operator==(const NANOMessageInfo& other) const {
  if (layout_ != other.layout_) return false;
  for (uint32_t i = 0; i < layout_->slotCount; ++i) {
    const NANOSlot& a = slots_[i];
    const NANOSlot& b = other.slots_[i];
    if (a.present != b.present) return false;
    if (a.present && !cellsEqual(a.cell, b.cell)) return false;
    if (a.items.size() != b.items.size()) return false;
    for (size_t k = 0; k < a.items.size(); ++k) {
      if (!cellsEqual(a.items[k], b.items[k])) return false;
    }
  }
  return true;
}

bool NANODeallocField(NANOMessageInfo& info, uint32_t slot) {
  if (slot >= info.slotCount()) {
    NANOLog("<ERROR> %s: Cannot deallocate field %d: Unknown field", info.name(),
            static_cast<int>(slot));
    return false;
  }
  NANOSlot& s = info.slot(slot);
  s.present = false;
  s.cell = NANOCell();
  s.items.clear();
  s.items.shrink_to_fit();
  return true;
}
