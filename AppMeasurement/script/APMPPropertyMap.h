#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "AppMeasurement/script/APMPMarkable.h"
#include "AppMeasurement/script/APMPRuntimeValue.h"

// The table of named properties that maps, arrays, functions and scopes share. Names keep
// their insertion order (the order `allNames` lists them in). Holds its values strongly.
class APMPPropertyMap {
 public:
  APMPPropertyMap() = default;
  ~APMPPropertyMap() { clear(); }
  APMPPropertyMap(const APMPPropertyMap&) = delete;
  APMPPropertyMap& operator=(const APMPPropertyMap&) = delete;

  bool hasName(std::u16string_view name) const { return positionOf(name) != npos; }
  // Stores unless the table is frozen or the name immutable (then silently nothing).
  void setValue(APMPValuePtr value, std::u16string_view name);
  // As setValue, and a stored name becomes immutable.
  void setImmutableValue(APMPValuePtr value, std::u16string_view name);
  // The value, or undefined when absent.
  const APMPValuePtr& valueForName(std::u16string_view name) const;
  // The value, or null when absent.
  const APMPValuePtr* findValue(std::u16string_view name) const;
  void removeValueForName(std::u16string_view name);
  void makeImmutable() { immutable_ = true; }
  bool isImmutable() const { return immutable_; }
  std::vector<std::u16string> allNames() const;
  size_t count() const { return entries_.size(); }

  // The first names live in the table itself: most tables are scopes of one call or one loop
  // iteration, made and dropped with one or two names, and need no allocation of their own.
  static constexpr size_t kInlineEntries = 2;
  using Entries =
      boost::container::small_vector<std::pair<std::u16string, APMPValuePtr>, kInlineEntries>;

  // Entries in order, for marking and conversions.
  const Entries& entries() const { return entries_; }
  // Drops every entry (the collector's sweep); the guards do not apply.
  void clear();

  // Called by the owner's `mark`: from then on every change of the table is counted for the
  // collector (APMPNoteReachedWrite).
  void noteReached() { reached_ = true; }

 private:
  static constexpr size_t npos = static_cast<size_t>(-1);
  size_t positionOf(std::u16string_view name) const;
  void reindex();

  // Charges or releases the storage of one entry named `name` (APMPStorageLedger).
  void account(std::u16string_view name, int64_t sign);

  Entries entries_;
  // Looked up by views of names, without making a string per lookup.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view name) const {
      return std::hash<std::u16string_view>()(name);
    }
  };
  using Index = std::unordered_map<std::u16string, size_t, NameHash, std::equal_to<>>;
  using NameSet = std::unordered_set<std::u16string, NameHash, std::equal_to<>>;
  // Made only when needed (a large table, a first immutable name): most tables are small
  // scopes made and dropped once per call.
  std::unique_ptr<Index> index_;
  std::unique_ptr<NameSet> immutableProperties_;
  bool isImmutableName(std::u16string_view name) const {
    return immutableProperties_ && immutableProperties_->count(name) != 0;
  }
  bool immutable_ = false;
  bool reached_ = false;
  void noteWrite() const {
    if (reached_) APMPNoteReachedWrite();
  }
};
