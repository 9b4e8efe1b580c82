#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// How much JSON a parser may be asked to build: what a server of ours takes from a body a peer
// sent, and the nesting JSONSerialization reads. A parse costs memory per value, not per byte
// (a 1 MiB body of "[" or of "0," is a million values), so the text is measured before any
// parser sees it.
struct JSONBounds {
  size_t maxDepth = 32;        // arrays and objects nested in one another
  size_t maxElements = 10000;  // values and members: "[", "{", "," and ":" outside strings
};

// Scans `text` once, without building anything, and answers why it exceeds `bounds` ("JSON
// nested deeper than 32", "JSON of more than 10000 elements"), or nothing when it is within
// them. Malformed text within the bounds passes: the parser refuses it afterwards. Any thread.
std::optional<std::string> exceedsJSONBounds(std::string_view text, JSONBounds bounds = {});

}  // namespace platform
