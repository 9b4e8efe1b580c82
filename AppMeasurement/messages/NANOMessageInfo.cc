#include "AppMeasurement/messages/NANOMessageInfo.h"

#include <new>
#include <utility>

#include "AppMeasurement/messages/NANOLog.h"

NANOMessageInfo::NANOMessageInfo(const NANOMessageLayout& layout) : layout_(&layout) {}

NANOMessageInfo::NANOMessageInfo(const NANOMessageInfo& other) : layout_(other.layout_) {
  if (!other.slots_) return;
  allocateSlots(nullptr);
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

NANOMessageInfo::~NANOMessageInfo() {
  if (!slots_) return;
  for (uint32_t i = 0; i < layout_->slotCount; ++i) slots_[i].~NANOSlot();
  if (!slotsInArena_) ::operator delete(static_cast<void*>(slots_));
}

void NANORecordDeleter::operator()(NANOMessageInfo* info) const { NANOMessageInfo::destroy(info); }

void NANOMessageInfo::destroy(NANOMessageInfo* info) {
  if (info == nullptr) return;
  if (info->inArena_) {
    info->~NANOMessageInfo();
  } else {
    delete info;
  }
}

NANOMessageInfo* NANOMessageInfo::createIn(NANOArena& arena, const NANOMessageLayout& layout) {
  auto* info = new (arena.allocate(sizeof(NANOMessageInfo))) NANOMessageInfo(layout);
  info->inArena_ = true;
  return info;
}

void NANOMessageInfo::adoptArena(std::unique_ptr<NANOArena> arena) { arena_ = std::move(arena); }

void NANOMessageInfo::allocateSlots(NANOArena* arena) {
  size_t bytes = layout_->slotCount * sizeof(NANOSlot);
  void* memory = arena != nullptr ? arena->allocate(bytes) : ::operator new(bytes);
  slots_ = static_cast<NANOSlot*>(memory);
  for (uint32_t i = 0; i < layout_->slotCount; ++i) new (&slots_[i]) NANOSlot();
  slotsInArena_ = arena != nullptr;
}

const NANOSlot& NANOMessageInfo::emptySlot() {
  static const NANOSlot& kEmpty = *new NANOSlot();
  return kEmpty;
}

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
  if (!slots_ && !other.slots_) return true;
  for (uint32_t i = 0; i < layout_->slotCount; ++i) {
    const NANOSlot& a = std::as_const(*this).slot(i);
    const NANOSlot& b = other.slot(i);
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
  if (!info.hasSlots()) return true;  // nothing was ever written
  NANOSlot& s = info.slot(slot);
  s.present = false;
  s.cell = NANOCell();
  s.items.clear();
  s.items.shrink_to_fit();
  return true;
}
