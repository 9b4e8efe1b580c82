#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Text helpers over UTF-8 strings. Stateless and thread-safe. Bytes that are not valid
// UTF-8 count as one replacement character (U+FFFD) each where code points are counted.

// The MD5 of the text's UTF-8 bytes as 32 lowercase hexadecimal digits; nothing when the
// text is not valid UTF-8 (it cannot be encoded without loss).
std::optional<std::string> apm_MD5String(std::string_view text);

// Replaces every "+" by a blank, then decodes percent escapes. Nothing when an escape is
// malformed or the decoded bytes are not valid UTF-8.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view text);

// True when the index is not negative, lies inside the text (counted in UTF-16 units, as
// the platform's strings index) and the character there is "1".
bool isBitEnabledAtIndex(std::string_view text, int64_t index);

// The number of UTF-32 code points of the text.
size_t apm_UTF32Length(std::string_view text);

// Copies the text's UTF-32 little-endian bytes from its start into buffer, at most maxBytes
// of them, stopping before a character that would not fit. Stores the number of bytes
// written into usedLength (when given). Returns whether anything was converted.
bool apm_getUTF32Bytes(std::string_view text, void* buffer, size_t maxBytes, size_t* usedLength);

// A string read as a boolean, as the platform's strings answer boolValue: true when its first
// non-blank character is Y, y, T, t or a digit 1-9.
bool apm_boolValue(std::string_view text);
