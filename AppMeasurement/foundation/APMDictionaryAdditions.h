#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// Query-string helpers over dictionaries. Stateless and thread-safe.

// "key=value" for every entry, in the dictionary's order, joined with "&". Keys and values
// are first turned into text (their descriptions), then percent-encoded with the set of
// characters allowed in a URL query: letters, digits and -._~!$&'()*+,;=:@/? stay as they
// are, every other byte becomes %XX (uppercase hexadecimal).
std::string apm_queryString(const platform::Value::Dictionary& dictionary);

// Parses "key=value&key=value". Empty parts are skipped; a part without "=" is a key with
// the empty value; otherwise the text before the first "=" is the key and the rest the
// value, both unescaped with apm_stringByUnescapingFromURLArgument (a failure gives the
// empty string). When a key repeats, its first occurrence wins.
std::map<std::string, std::string, std::less<>> apm_dictionaryWithHttpArgumentsString(
    std::string_view text);
