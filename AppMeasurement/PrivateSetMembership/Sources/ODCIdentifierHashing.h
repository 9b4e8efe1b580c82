#pragma once

#include <optional>
#include <string>
#include <string_view>

// Canonical forms of user identifiers and their app-bound digests, for the older
// private-set-membership flow. Equal identifiers give equal 32-byte digests for one app id.
// Stateless; any thread. Text is UTF-8; Unicode classes, case mapping and the patterns are
// ICU's, as on the phone.

// The consumer mail service whose local parts are canonicalised: its primary domain and the
// alternative domain that stands for it.
inline constexpr std::string_view kODCConsumerMailPrimaryDomain = "gmail.com";
inline constexpr std::string_view kODCConsumerMailAlternativeDomain = "googlemail.com";

// The lower-cased address, the alternative domain replaced by the primary one, and at the
// primary domain the local part without dots and with I/i/1 -> l, 0 -> o, 2 -> z, 5 -> s.
// Nothing is trimmed: the result must match ^\S+@\S+\.\S+$ (ICU: a single final line break
// still passes and is kept). nullopt (nil) for anything else.
std::optional<std::string> ODCNormalizeEmail(std::string_view email);

// E.164 text: "-()/." and horizontal blanks (tab, space separators, no-break space; not line
// breaks) removed, "+" put in front when missing, then ^\+[1-9]\d{1,14}$ (\d takes every
// decimal digit of Unicode, as ICU does). nullopt (nil) otherwise.
std::optional<std::string> ODCNormalizePhoneNumber(std::string_view phoneNumber);

// SHA-256(SHA-256(identifier) || appID): 32 bytes.
std::string ODCHashIdentifierWithAppID(std::string_view identifier, std::string_view appID);

// SHA-256(digest || appID) for a caller that holds SHA-256 of the canonical identifier: equals
// ODCHashIdentifierWithAppID of that identifier. Only the first 32 bytes of the digest are
// read; a shorter digest gives nullopt (nil) rather than a read past its end.
std::optional<std::string> ODCHashHashedIdentifierWithAppID(std::string_view digest,
                                                            std::string_view appID);
