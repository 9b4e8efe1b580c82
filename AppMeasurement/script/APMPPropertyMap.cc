#include "AppMeasurement/script/APMPPropertyMap.h"

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPStorageLedger.h"

// Small tables (most scopes and objects) are searched linearly; the hash index is built only
// once a table grows past kIndexThreshold names.
namespace {
constexpr size_t kIndexThreshold = 8;
constexpr size_t kReindexWork = 32;
}  // namespace

void APMPPropertyMap::account(std::u16string_view name, int64_t sign) {
  APMPStorageLedger::add(sign * (APMPStorageLedger::kPropertyBytes +
                                 APMPStorageLedger::textStorageBytes(name.size())));
}

size_t APMPPropertyMap::positionOf(std::u16string_view name) const {
  if (!index_) {
    for (size_t i = 0; i < entries_.size(); ++i)
      if (entries_[i].first == name) return i;
    return npos;
  }
  auto it = index_->find(name);
  return it == index_->end() ? npos : it->second;
}

void APMPPropertyMap::reindex() {
  if (entries_.size() <= kIndexThreshold) {
    index_.reset();
    return;
  }
  if (!index_) index_ = std::make_unique<Index>();
  index_->clear();
  for (size_t i = 0; i < entries_.size(); ++i) (*index_)[entries_[i].first] = i;
}

void APMPPropertyMap::setValue(APMPValuePtr value, std::u16string_view name) {
  if (immutable_ || isImmutableName(name)) return;
  noteWrite();
  size_t position = positionOf(name);
  if (position != npos) {
    APMPValuePtr old = std::move(entries_[position].second);
    entries_[position].second = std::move(value);
    APMPReleaseValue(old);
    return;
  }
  // Past the inline entries, room for a few names at once: objects mostly hold up to four.
  if (entries_.size() == kInlineEntries) entries_.reserve(4);
  entries_.emplace_back(std::u16string(name), std::move(value));
  account(name, 1);
  if (index_)
    index_->emplace(std::u16string(name), entries_.size() - 1);
  else if (entries_.size() > kIndexThreshold)
    reindex();
}

void APMPPropertyMap::setImmutableValue(APMPValuePtr value, std::u16string_view name) {
  if (immutable_ || isImmutableName(name)) return;
  setValue(std::move(value), name);
  if (!immutableProperties_) immutableProperties_ = std::make_unique<NameSet>();
  immutableProperties_->emplace(name);
}

const APMPValuePtr& APMPPropertyMap::valueForName(std::u16string_view name) const {
  const APMPValuePtr* found = findValue(name);
  return found != nullptr ? *found : APMPUndefined();
}

const APMPValuePtr* APMPPropertyMap::findValue(std::u16string_view name) const {
  size_t position = positionOf(name);
  return position == npos ? nullptr : &entries_[position].second;
}

void APMPPropertyMap::removeValueForName(std::u16string_view name) {
  if (immutable_ || isImmutableName(name)) return;
  size_t position = positionOf(name);
  if (position == npos) return;
  noteWrite();
  APMPValuePtr old = std::move(entries_[position].second);
  account(name, -1);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  // Removal shifts the later entries and rebuilds the index: work in proportion to the table
  // (a hash insertion costs about as much as an evaluation's share of kReindexWork units).
  APMPChargeWork(entries_.size() * (index_ ? kReindexWork : 1));
  reindex();
  APMPReleaseValue(old);
}

std::vector<std::u16string> APMPPropertyMap::allNames() const {
  std::vector<std::u16string> names;
  names.reserve(entries_.size());
  for (const auto& entry : entries_) names.push_back(entry.first);
  return names;
}

void APMPPropertyMap::clear() {
  index_.reset();
  immutableProperties_.reset();
  if (entries_.empty()) return;
  noteWrite();
  int64_t bytes = 0;
  for (const auto& entry : entries_)
    bytes +=
        APMPStorageLedger::kPropertyBytes + APMPStorageLedger::textStorageBytes(entry.first.size());
  APMPStorageLedger::add(-bytes);
  // Take the values out first: releasing a value may release others (this table's owner
  // among them), and the table must already be empty when that happens.
  if (entries_.size() <= kInlineEntries) {
    // Inline entries would be moved one by one with the table; their values alone suffice.
    APMPValuePtr values[kInlineEntries];
    size_t count = entries_.size();
    for (size_t i = 0; i < count; ++i) values[i] = std::move(entries_[i].second);
    entries_.clear();
    for (size_t i = 0; i < count; ++i) APMPReleaseValue(values[i]);
    return;
  }
  Entries entries = std::move(entries_);
  entries_.clear();
  for (auto& entry : entries) APMPReleaseValue(entry.second);
}
