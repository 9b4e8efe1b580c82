#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "absl/status/statusor.h"

namespace platform {

struct RegularExpressionOptions {
  bool caseInsensitive = false;
  // "^" and "$" match at line ends as well.
  bool anchorsMatchLines = false;
  // "." matches line separators as well.
  bool dotMatchesLineSeparators = false;
  // Work allowed per match, in ICU's time-limit units (roughly milliseconds of matching
  // steps, counted by the matcher itself, not by a wall clock); 0 removes the limit.
  int32_t timeLimit = 1000;
};

// A compiled regular expression in ICU's syntax (the phone's regular expressions are
// ICU's). Texts are UTF-8; ill-formed sequences in a text read as U+FFFD.
//
// Matching is bounded: a pattern that backtracks catastrophically ends with a
// DeadlineExceeded status once it has used up the time limit, and one that needs more
// than ICU's backtracking stack with ResourceExhausted. It never hangs or overflows the
// stack.
//
// Immutable after creation and safe to share: every method may be called from any
// thread at the same time.
class RegularExpression {
 public:
  // Compiles the pattern; a syntax error gives InvalidArgument naming the error and offset.
  static absl::StatusOr<std::shared_ptr<const RegularExpression>> create(
      std::string_view pattern, RegularExpressionOptions options = {});

  // A match: where it lies in UTF-16 units (as the phone's ranges count) and its text.
  struct Match {
    size_t location = 0;
    size_t length = 0;
    std::string text;
  };

  const std::string& pattern() const { return pattern_; }
  const RegularExpressionOptions& options() const { return options_; }

  // The first match anywhere in the text, or nothing.
  absl::StatusOr<std::optional<Match>> firstMatch(std::string_view text) const;
  // Whether the expression matches anywhere in the text (not anchored).
  absl::StatusOr<bool> search(std::string_view text) const;
  // Whether the expression matches the whole text.
  absl::StatusOr<bool> matchesEntireText(std::string_view text) const;
  // The number of non-overlapping matches.
  absl::StatusOr<size_t> numberOfMatches(std::string_view text) const;

  ~RegularExpression();

 private:
  struct Compiled;
  RegularExpression(std::string pattern, RegularExpressionOptions options,
                    std::unique_ptr<Compiled> compiled);

  std::string pattern_;
  RegularExpressionOptions options_;
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace platform
