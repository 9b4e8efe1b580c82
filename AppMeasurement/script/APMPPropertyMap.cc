#include "AppMeasurement/script/APMPPropertyMap.h"

void APMPPropertyMap::setValue(APMPValuePtr value, const std::u16string& name) {
  if (immutable_ || immutableProperties_.count(name) != 0) return;
  auto it = index_.find(name);
  if (it != index_.end()) {
    entries_[it->second].second = std::move(value);
    return;
  }
  index_.emplace(name, entries_.size());
  entries_.emplace_back(name, std::move(value));
}

void APMPPropertyMap::setImmutableValue(APMPValuePtr value, const std::u16string& name) {
  if (immutable_ || immutableProperties_.count(name) != 0) return;
  setValue(std::move(value), name);
  immutableProperties_.insert(name);
}

const APMPValuePtr& APMPPropertyMap::valueForName(const std::u16string& name) const {
  const APMPValuePtr* found = findValue(name);
  return found != nullptr ? *found : APMPUndefined();
}

const APMPValuePtr* APMPPropertyMap::findValue(const std::u16string& name) const {
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : &entries_[it->second].second;
}

void APMPPropertyMap::removeValueForName(const std::u16string& name) {
  if (immutable_ || immutableProperties_.count(name) != 0) return;
  auto it = index_.find(name);
  if (it == index_.end()) return;
  size_t position = it->second;
  index_.erase(it);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(position));
  for (size_t i = position; i < entries_.size(); ++i) index_[entries_[i].first] = i;
}

std::vector<std::u16string> APMPPropertyMap::allNames() const {
  std::vector<std::u16string> names;
  names.reserve(entries_.size());
  for (const auto& entry : entries_) names.push_back(entry.first);
  return names;
}

void APMPPropertyMap::clear() {
  // Move the entries out first: releasing a value may release others, and the table must
  // already be consistent when that happens.
  auto entries = std::move(entries_);
  entries_.clear();
  index_.clear();
  immutableProperties_.clear();
  APMPValueList values;
  values.reserve(entries.size());
  for (auto& entry : entries) values.push_back(std::move(entry.second));
  APMPReleaseValues(values);
}
