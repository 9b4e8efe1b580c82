#pragma once

#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "platform/foundation/Value.h"

namespace platform {

// Property-list reading and writing over platform::Value (the phone's
// PropertyListSerialization), in Apple's XML and binary ("bplist00") formats, through
// libplist's C API.
//
// Kinds map one to one: boolean <-> bool, integer <-> integer (signed 64-bit), real <->
// real, string <-> string, data <-> bytes, date <-> date, array <-> array, dict <->
// dictionary. A null Value has no property-list form and is refused on write.
//
// Input is untrusted: malformed or truncated data, strings that are not valid UTF-8,
// keyed-archive UIDs and nesting deeper than kMaxDepth give an InvalidArgument status,
// never a crash.
//
// Limits of the format as written here: XML dates carry whole seconds (as Apple's do);
// binary dates carry microseconds. Dates must lie within about 68 years of 2001
// (1933-2069); strings and keys may not contain NUL characters, and in XML no other
// character that XML 1.0 forbids (C0 controls other than tab, LF and CR; U+FFFE, U+FFFF).
//
// Stateless; every function may be called from any thread.
class PropertyListSerialization {
 public:
  static constexpr int kMaxDepth = 512;

  enum class Format { XML, Binary };

  // Parses an XML or binary property list. When `format` is given it receives the format
  // that was read.
  static absl::StatusOr<Value> propertyListWithData(std::string_view data,
                                                    Format* format = nullptr);

  // Serialises a Value in the given format.
  static absl::StatusOr<std::string> dataWithPropertyList(const Value& plist, Format format);

  // Whether dataWithPropertyList would accept the value in the binary format.
  static bool propertyListIsValid(const Value& plist);
};

}  // namespace platform
