#include "platform/foundation/RegularExpression.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>

#include "absl/status/status.h"

namespace platform {

struct RegularExpression::Compiled {
  std::unique_ptr<icu::RegexPattern> pattern;
};

namespace {

icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(
      text.data(), static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX))));
}

absl::Status matchError(UErrorCode error) {
  if (error == U_REGEX_TIME_OUT) {
    return absl::DeadlineExceededError("Regular expression match exceeded its time limit");
  }
  if (error == U_REGEX_STACK_OVERFLOW || error == U_MEMORY_ALLOCATION_ERROR) {
    return absl::ResourceExhaustedError(
        std::string("Regular expression match ran out of memory: ") + u_errorName(error));
  }
  return absl::InternalError(std::string("Regular expression match failed: ") + u_errorName(error));
}

}  // namespace

RegularExpression::RegularExpression(std::string pattern, RegularExpressionOptions options,
                                     std::unique_ptr<Compiled> compiled)
    : pattern_(std::move(pattern)), options_(options), compiled_(std::move(compiled)) {}

RegularExpression::~RegularExpression() = default;

absl::StatusOr<std::shared_ptr<const RegularExpression>> RegularExpression::create(
    std::string_view pattern, RegularExpressionOptions options) {
  uint32_t flags = 0;
  if (options.caseInsensitive) flags |= UREGEX_CASE_INSENSITIVE;
  if (options.anchorsMatchLines) flags |= UREGEX_MULTILINE;
  if (options.dotMatchesLineSeparators) flags |= UREGEX_DOTALL;
  UParseError parseError{};
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(toUnicode(pattern), flags, parseError, status));
  if (U_FAILURE(status) || compiled == nullptr) {
    return absl::InvalidArgumentError(std::string("Invalid regular expression: ") +
                                      u_errorName(status) + " at offset " +
                                      std::to_string(parseError.offset));
  }
  auto holder = std::make_unique<Compiled>();
  holder->pattern = std::move(compiled);
  return std::shared_ptr<const RegularExpression>(
      new RegularExpression(std::string(pattern), options, std::move(holder)));
}

absl::StatusOr<std::optional<RegularExpression::Match>> RegularExpression::firstMatch(
    std::string_view text) const {
  icu::UnicodeString input = toUnicode(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(compiled_->pattern->matcher(input, status));
  if (U_FAILURE(status)) return matchError(status);
  matcher->setTimeLimit(options_.timeLimit, status);
  if (U_FAILURE(status)) return matchError(status);
  bool found = matcher->find(status);
  if (U_FAILURE(status)) return matchError(status);
  if (!found) return std::optional<Match>();
  int32_t start = matcher->start(status);
  int32_t end = matcher->end(status);
  if (U_FAILURE(status)) return matchError(status);
  Match match;
  match.location = static_cast<size_t>(start);
  match.length = static_cast<size_t>(end - start);
  input.tempSubStringBetween(start, end).toUTF8String(match.text);
  return std::optional<Match>(std::move(match));
}

absl::StatusOr<bool> RegularExpression::search(std::string_view text) const {
  auto match = firstMatch(text);
  if (!match.ok()) return match.status();
  return match->has_value();
}

absl::StatusOr<bool> RegularExpression::matchesEntireText(std::string_view text) const {
  icu::UnicodeString input = toUnicode(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(compiled_->pattern->matcher(input, status));
  if (U_FAILURE(status)) return matchError(status);
  matcher->setTimeLimit(options_.timeLimit, status);
  bool matched = matcher->matches(status);
  if (U_FAILURE(status)) return matchError(status);
  return matched;
}

absl::StatusOr<size_t> RegularExpression::numberOfMatches(std::string_view text) const {
  icu::UnicodeString input = toUnicode(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(compiled_->pattern->matcher(input, status));
  if (U_FAILURE(status)) return matchError(status);
  matcher->setTimeLimit(options_.timeLimit, status);
  size_t count = 0;
  while (matcher->find(status)) ++count;
  if (U_FAILURE(status)) return matchError(status);
  return count;
}

}  // namespace platform
