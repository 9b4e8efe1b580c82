#include "AppMeasurement/script/APMPTextSearch.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>

namespace {

bool AllASCII(std::u16string_view text) {
  return std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
}

// Whether the text is its own canonical decomposition. An ASCII side is not enough to skip
// decomposing the other: "\u212A" (Kelvin), "\u037E" and "\u1FEF" decompose to ASCII.
bool IsDecomposed(std::u16string_view text) {
  if (AllASCII(text)) return true;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return false;
  icu::UnicodeString source(false, text.data(), static_cast<int32_t>(text.size()));
  bool decomposed = nfd->isNormalized(source, status);
  return U_SUCCESS(status) && decomposed;
}

// Positions where a match may start or end, and where the text is cut into pieces that
// decompose on their own: not inside a surrogate pair, and only where canonical decomposition
// has a boundary, before a character of combining class 0 whose decomposition starts with one
// too. U+0F73, U+0F75 and U+0F81 have class 0 but decompose to combining marks, which canonical
// ordering may move ahead of the marks before them: a cut there would keep them apart.
bool IsBoundary(std::u16string_view text, size_t k) {
  if (k == 0 || k >= text.size()) return true;
  if (U16_IS_TRAIL(text[k]) && U16_IS_LEAD(text[k - 1])) return false;
  UChar32 c;
  size_t i = k;
  U16_NEXT(text.data(), i, text.size(), c);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return u_getCombiningClass(c) == 0;
  return nfd->hasBoundaryBefore(c);
}

std::u16string Decomposed(std::u16string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return std::u16string(text);
  icu::UnicodeString source(false, text.data(), static_cast<int32_t>(text.size()));
  icu::UnicodeString out = nfd->normalize(source, status);
  if (U_FAILURE(status)) return std::u16string(text);
  return std::u16string(out.getBuffer(), static_cast<size_t>(out.length()));
}

// The failure table of Knuth-Morris-Pratt: entry i is the length of the longest proper prefix
// of needle[0..i] that is also its suffix.
std::vector<uint32_t> FailureTable(std::u16string_view needle) {
  std::vector<uint32_t> failure(needle.size(), 0);
  uint32_t k = 0;
  for (size_t i = 1; i < needle.size(); ++i) {
    while (k > 0 && needle[i] != needle[k]) k = failure[k - 1];
    if (needle[i] == needle[k]) ++k;
    failure[i] = k;
  }
  return failure;
}

// Code units scanned between two charges.
constexpr size_t kChargeInterval = 4096;
// Work per code unit scanned: Knuth-Morris-Pratt compares each at most twice, amortised.
constexpr size_t kWorkPerUnit = 2;

}  // namespace

APMPTextSearch::APMPTextSearch(std::u16string_view text, std::u16string_view search)
    : text_(text), search_(search) {}

bool APMPTextSearch::prepare(APMPErrorSlot* error) {
  if (prepared_) return true;
  prepared_ = true;
  if (!meter_.charge(text_.size() + search_.size(), error)) return false;
  textASCII_ = AllASCII(text_);
  if (IsDecomposed(text_) && IsDecomposed(search_)) {
    // Both sides are their own decompositions: the code units compare as they stand.
    needle_ = search_;
  } else {
    // Compare canonical decompositions, one segment (from one decomposition boundary to the
    // next) at a time, keeping the start of every segment in both texts.
    if (!meter_.charge(4 * text_.size(), error)) return false;
    Segmented& out = segments_.emplace();
    out.decomposed.reserve(text_.size());
    size_t start = 0;
    while (start < text_.size()) {
      size_t end = start + 1;
      while (end < text_.size() && !IsBoundary(text_, end)) ++end;
      out.sourceStart.push_back(start);
      out.decomposedStart.push_back(out.decomposed.size());
      std::u16string_view piece = text_.substr(start, end - start);
      if (piece.size() == 1 && piece[0] < 0xC0)
        out.decomposed += piece;  // nothing below U+00C0 decomposes
      else
        out.decomposed += Decomposed(piece);
      start = end;
    }
    out.sourceStart.push_back(text_.size());
    out.decomposedStart.push_back(out.decomposed.size());
    target_ = Decomposed(search_);
    needle_ = target_;
  }
  return true;
}

template <typename Accept>
bool APMPTextSearch::scan(std::u16string_view haystack, size_t from, bool backward, Accept accept,
                          size_t& found, APMPErrorSlot* error) {
  found = std::u16string::npos;
  size_t m = needle_.size(), n = haystack.size();
  if (m == 0 || m > n) return true;
  size_t scanned = 0;
  auto charge = [&]() {
    bool ok = meter_.charge(scanned * kWorkPerUnit, error);
    scanned = 0;
    return ok;
  };
  if (!backward) {
    if (failure_.empty()) failure_ = FailureTable(needle_);
    uint32_t q = 0;
    for (size_t i = from; i < n; ++i) {
      while (q > 0 && haystack[i] != needle_[q]) q = failure_[q - 1];
      if (haystack[i] == needle_[q]) ++q;
      if (q == m) {
        size_t start = i + 1 - m;
        if (accept(start)) {
          found = start;
          break;
        }
        q = failure_[q - 1];
      }
      if (++scanned == kChargeInterval && !charge()) return false;
    }
    return charge();
  }
  // Backward: the reversed needle over the haystack read from the end, starting with the
  // occurrences that begin at `from`.
  if (reversedFailure_.empty()) {
    reversed_.assign(needle_.rbegin(), needle_.rend());
    reversedFailure_ = FailureTable(reversed_);
  }
  uint32_t q = 0;
  size_t top = std::min(n - 1, from + m - 1);
  for (size_t i = top + 1; i-- > 0;) {
    while (q > 0 && haystack[i] != reversed_[q]) q = reversedFailure_[q - 1];
    if (haystack[i] == reversed_[q]) ++q;
    if (q == m) {
      if (accept(i)) {
        found = i;
        break;
      }
      q = reversedFailure_[q - 1];
    }
    if (++scanned == kChargeInterval && !charge()) return false;
  }
  return charge();
}

bool APMPTextSearch::find(size_t from, bool backward, APMPTextMatch& match, APMPErrorSlot* error) {
  match = APMPTextMatch{};
  if (search_.empty()) return true;
  if (!prepare(error)) return false;
  size_t found;
  if (!segments_) {
    // With both sides decomposed, canonical equivalence only adds the boundary rule (a match
    // may not end before a combining mark of the text); every position of an ASCII text is a
    // boundary.
    bool ascii = textASCII_;
    auto accept = [&](size_t start) {
      return ascii || (IsBoundary(text_, start) && IsBoundary(text_, start + search_.size()));
    };
    if (!backward && from > text_.size()) return true;
    if (!scan(text_, from, backward, accept, found, error)) return false;
    if (found != std::u16string::npos) match = APMPTextMatch{found, search_.size()};
    return true;
  }
  const Segmented& s = *segments_;
  // The segment that starts at decomposed index d, or npos.
  auto segmentAt = [&](size_t d) -> size_t {
    auto it = std::lower_bound(s.decomposedStart.begin(), s.decomposedStart.end(), d);
    if (it == s.decomposedStart.end() || *it != d) return std::u16string::npos;
    return static_cast<size_t>(it - s.decomposedStart.begin());
  };
  // The decomposed index of the first segment at or after `from` (or, backward, of the last
  // one at or before it).
  auto fromSegment =
      std::lower_bound(s.sourceStart.begin(), s.sourceStart.end(), std::min(from, text_.size()));
  size_t index = static_cast<size_t>(fromSegment - s.sourceStart.begin());
  if (backward && (fromSegment == s.sourceStart.end() || *fromSegment > from) && index > 0) --index;
  size_t d = s.decomposedStart[std::min(index, s.decomposedStart.size() - 1)];
  size_t first = 0, last = 0;
  auto accept = [&](size_t start) {
    first = segmentAt(start);
    last = segmentAt(start + needle_.size());
    return first != std::u16string::npos && last != std::u16string::npos;
  };
  if (!scan(s.decomposed, d, backward, accept, found, error)) return false;
  if (found != std::u16string::npos)
    match = APMPTextMatch{s.sourceStart[first], s.sourceStart[last] - s.sourceStart[first]};
  return true;
}
