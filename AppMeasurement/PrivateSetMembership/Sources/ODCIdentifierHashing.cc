#include "AppMeasurement/PrivateSetMembership/Sources/ODCIdentifierHashing.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <memory>
#include <vector>

#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/Text.h"
#include "security/util/sha256.h"

namespace {

constexpr size_t kDigestLength = 32;

std::shared_ptr<const platform::RegularExpression> compile(const char* pattern) {
  auto expression = platform::RegularExpression::create(pattern);
  return expression.ok() ? *expression : nullptr;
}

bool matches(const std::shared_ptr<const platform::RegularExpression>& expression,
             const std::string& text) {
  if (!expression) return false;
  auto found = expression->search(text);
  return found.ok() && *found;
}

const std::shared_ptr<const platform::RegularExpression>& emailPattern() {
  static const auto& expression = *new decltype(compile(""))(compile("^\\S+@\\S+\\.\\S+$"));
  return expression;
}

const std::shared_ptr<const platform::RegularExpression>& phonePattern() {
  static const auto& expression = *new decltype(compile(""))(compile("^\\+[1-9]\\d{1,14}$"));
  return expression;
}

std::string sha256(std::string_view bytes) {
  security::SHA256 hash;
  hash.Update(bytes.data(), static_cast<uint64_t>(bytes.size()));
  return hash.DigestString();
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  for (size_t at; (at = text.find(from, start)) != std::string::npos; start = at + from.size()) {
    out.append(text, start, at - start).append(to);
  }
  out.append(text, start, std::string::npos);
  return out;
}

}  // namespace

std::optional<std::string> ODCNormalizeEmail(std::string_view email) {
  if (email.empty()) return std::nullopt;
  const std::string lowered = platform::Text::lowercase(email);
  const size_t at = lowered.find('@');
  if (at == std::string::npos || lowered.find('@', at + 1) != std::string::npos) {
    return std::nullopt;
  }
  std::string local = lowered.substr(0, at);
  std::string domain = lowered.substr(at + 1);
  if (domain == kODCConsumerMailAlternativeDomain) domain = kODCConsumerMailPrimaryDomain;
  if (domain == kODCConsumerMailPrimaryDomain) {
    // The text is lower-cased already, so matching "I" and "i" without case is matching "i".
    static constexpr std::pair<std::string_view, std::string_view> kReplacements[] = {
        {".", ""}, {"i", "l"}, {"1", "l"}, {"0", "o"}, {"2", "z"}, {"5", "s"}};
    for (const auto& [from, to] : kReplacements) local = replaceAll(std::move(local), from, to);
  }
  std::string address = local + "@" + domain;
  if (!matches(emailPattern(), address)) return std::nullopt;
  return address;
}

std::optional<std::string> ODCNormalizePhoneNumber(std::string_view phoneNumber) {
  if (phoneNumber.empty()) return std::nullopt;
  const std::string text = platform::Text::sanitizedUTF8(phoneNumber);
  std::string kept;
  kept.reserve(text.size());
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    const bool separator = c == '-' || c == '(' || c == ')' || c == '/' || c == '.';
    if (separator || u_isblank(c)) continue;
    kept.append(text, static_cast<size_t>(start), static_cast<size_t>(i - start));
  }
  if (kept.empty() || kept.front() != '+') kept.insert(kept.begin(), '+');
  if (!matches(phonePattern(), kept)) return std::nullopt;
  return kept;
}

std::string ODCHashIdentifierWithAppID(std::string_view identifier, std::string_view appID) {
  std::string input = sha256(identifier);
  input.append(appID);
  return sha256(input);
}

std::optional<std::string> ODCHashHashedIdentifierWithAppID(std::string_view digest,
                                                            std::string_view appID) {
  if (digest.size() < kDigestLength) return std::nullopt;
  std::string input(digest.substr(0, kDigestLength));
  input.append(appID);
  return sha256(input);
}
