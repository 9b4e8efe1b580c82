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
  if (index_.empty()) {
    for (size_t i = 0; i < entries_.size(); ++i)
      if (entries_[i].first == name) return i;
    return npos;
  }
  auto it = index_.find(name);
  return it == index_.end() ? npos : it->second;
}

void APMPPropertyMap::reindex() {
  index_.clear();
  if (entries_.size() <= kIndexThreshold) return;
  for (size_t i = 0; i < entries_.size(); ++i) index_[entries_[i].first] = i;
}

void APMPPropertyMap::setValue(APMPValuePtr value, std::u16string_view name) {
  if (immutable_ || (!immutableProperties_.empty() && immutableProperties_.count(name) != 0))
    return;
  size_t position = positionOf(name);
  if (position != npos) {
    APMPValuePtr old = std::move(entries_[position].second);
    entries_[position].second = std::move(value);
    APMPReleaseValue(old);
    return;
  }
  // Room for a few names at once: scopes and objects mostly hold one to four.
  if (entries_.capacity() == 0) entries_.reserve(4);
  entries_.emplace_back(std::u16string(name), std::move(value));
  account(name, 1);
  if (!index_.empty())
    index_.emplace(std::u16string(name), entries_.size() - 1);
  else if (entries_.size() > kIndexThreshold)
    reindex();
}

void APMPPropertyMap::setImmutableValue(APMPValuePtr value, std::u16string_view name) {
  if (immutable_ || immutableProperties_.count(name) != 0) return;
  setValue(std::move(value), name);
  immutableProperties_.emplace(name);
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
  if (immutable_ || immutableProperties_.count(name) != 0) return;
  size_t position = positionOf(name);
  if (position == npos) return;
  APMPValuePtr old = std::move(entries_[position].second);
  account(name, -1);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  // Removal shifts the later entries and rebuilds the index: work in proportion to the table
  // (a hash insertion costs about as much as an evaluation's share of kReindexWork units).
  APMPChargeWork(entries_.size() * (index_.empty() ? 1 : kReindexWork));
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
  index_.clear();
  immutableProperties_.clear();
  if (entries_.empty()) return;
  // Move the entries out first: releasing a value may release others, and the table must
  // already be consistent when that happens.
  auto entries = std::move(entries_);
  entries_.clear();
  int64_t bytes = 0;
  for (const auto& entry : entries)
    bytes +=
        APMPStorageLedger::kPropertyBytes + APMPStorageLedger::textStorageBytes(entry.first.size());
  APMPStorageLedger::add(-bytes);
  for (auto& entry : entries) APMPReleaseValue(entry.second);
}
