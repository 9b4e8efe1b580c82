#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/script/APMPError.h"
#include "AppMeasurement/script/APMPEvaluator.h"

// A match of APMPTextSearch: where it starts in the searched text and how many code units of
// that text it spans (canonically equivalent spellings may differ in length).
struct APMPTextMatch {
  size_t position = std::u16string::npos;
  size_t length = 0;
};

// The platform's plain substring search: code units compared without locale, except that
// canonically equivalent sequences match each other ("e" followed by a combining acute matches
// the precomposed "é"), and a match never starts or ends inside a combining sequence or a
// surrogate pair: only where canonical decomposition has a boundary (so not before U+0F73,
// which decomposes to combining marks).
//
// Prepared once for one text and one search text, then asked any number of times (a split asks
// once per piece): what depends on the text alone (whether it is ASCII, its decomposition) is
// computed once, not per call. Each search is linear in the text it scans, whatever the search
// text (Knuth-Morris-Pratt over code units), and its work (two units per code unit scanned) is
// charged to the running evaluation's budget as it goes (APMPChargeWork): a search stops with
// error 18 as soon as the budget is spent. Both texts must outlive the object.
class APMPTextSearch {
 public:
  APMPTextSearch(std::u16string_view text, std::u16string_view search);

  // The first match starting at or after `from` (or, `backward`, the last one starting at or
  // before `from`); position npos when none. False with error 18 when the budget ran out.
  bool find(size_t from, bool backward, APMPTextMatch& match, APMPErrorSlot* error);

 private:
  struct Segmented {
    std::u16string decomposed;
    std::vector<size_t> sourceStart;      // ascending, ends with text.size()
    std::vector<size_t> decomposedStart;  // ascending, ends with decomposed.size()
  };

  // Scans `haystack` for `needle_`, forward from `from` or backward from occurrences starting
  // at or before `from`, offering each occurrence's start to `accept` until it takes one;
  // `found` is npos when none is taken. False with error 18 when the budget ran out.
  template <typename Accept>
  bool scan(std::u16string_view haystack, size_t from, bool backward, Accept accept, size_t& found,
            APMPErrorSlot* error);
  bool prepare(APMPErrorSlot* error);

  std::u16string_view text_;
  std::u16string_view search_;
  bool prepared_ = false;
  bool textASCII_ = false;
  // Set when either side is not its own canonical decomposition: the search then runs over
  // canonical decompositions.
  std::optional<Segmented> segments_;
  std::u16string target_;
  // The needle searched for (the search text or its decomposition), its reversal, and their
  // Knuth-Morris-Pratt failure tables, made on first use.
  std::u16string_view needle_;
  std::u16string reversed_;
  std::vector<uint32_t> failure_;
  std::vector<uint32_t> reversedFailure_;
  // The work of every call adds up: a split asking once per short piece is charged for the
  // whole text it scanned.
  APMPWorkMeter meter_;
};
