#include "AppMeasurement/storage/APMTableChangeTracker.h"

#include <sqlite3.h>

APMTableChangeTracker::APMTableChangeTracker(std::vector<std::string_view> tables)
    : tables_(std::move(tables)) {
  all_ = tables_.size() >= 32 ? ~uint32_t{0} : (uint32_t{1} << tables_.size()) - 1;
}

APMTableChangeTracker::~APMTableChangeTracker() { detach(); }

void APMTableChangeTracker::attach(sqlite3* connection) {
  detach();
  connection_ = connection;
  changed_ = 0;
  reportedRows_ = 0;
  if (connection_ == nullptr) return;
  totalChangesAtTake_ = sqlite3_total_changes64(connection_);
  sqlite3_update_hook(connection_, &APMTableChangeTracker::onRowChange, this);
}

void APMTableChangeTracker::detach() {
  if (connection_ != nullptr) sqlite3_update_hook(connection_, nullptr, nullptr);
  connection_ = nullptr;
}

uint32_t APMTableChangeTracker::bitOf(std::string_view table) const {
  for (size_t i = 0; i < tables_.size() && i < 32; ++i) {
    if (tables_[i] == table) return uint32_t{1} << i;
  }
  return 0;
}

void APMTableChangeTracker::onRowChange(void* self, int /*operation*/, const char* /*database*/,
                                        const char* table, long long /*rowID*/) {
  auto* tracker = static_cast<APMTableChangeTracker*>(self);
  ++tracker->reportedRows_;
  if (table != nullptr) tracker->changed_ |= tracker->bitOf(table);
}

uint32_t APMTableChangeTracker::takeChanges() {
  if (connection_ == nullptr) return 0;
  int64_t total = sqlite3_total_changes64(connection_);
  // Every reported row is counted once in the total; rows the total has and the hook did not
  // report were removed by a whole-table DELETE, of a table we cannot name.
  if (total - totalChangesAtTake_ != reportedRows_) changed_ = all_;
  totalChangesAtTake_ = total;
  reportedRows_ = 0;
  uint32_t changed = changed_;
  changed_ = 0;
  return changed;
}
