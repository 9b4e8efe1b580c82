#pragma once

#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "platform/foundation/Value.h"

namespace platform {

struct JSONReadingOptions {
  // A top-level value that is neither an array nor an object is accepted.
  bool fragmentsAllowed = false;
};

struct JSONWritingOptions {
  // Indents with two spaces and puts each member on its own line.
  bool prettyPrinted = false;
  // A top-level value that is neither an array nor a dictionary is accepted.
  bool fragmentsAllowed = false;
};

// JSON reading and writing over platform::Value (the phone's JSONSerialization).
//
// Reading keeps the kinds apart: `true` is a bool, `1` an integer, `1.0` and `1e0` reals;
// an integer outside the int64 range becomes a real. `null` is a null Value. Input is
// untrusted: invalid JSON, invalid UTF-8 and nesting deeper than kMaxDepth give an
// InvalidArgument status, never a crash or an exception.
//
// Writing accepts null, bool, integer, real (finite), string (valid UTF-8), array and
// dictionary; bytes, dates, NaN and infinities are refused with InvalidArgument.
//
// Stateless; every function may be called from any thread.
class JSONSerialization {
 public:
  static constexpr int kMaxDepth = 512;
  using ReadingOptions = JSONReadingOptions;
  using WritingOptions = JSONWritingOptions;

  // Parses UTF-8 JSON text into a Value.
  static absl::StatusOr<Value> JSONObjectWithData(std::string_view data,
                                                  ReadingOptions options = {});

  // Serialises a Value as UTF-8 JSON text. Dictionary members come out in key order.
  static absl::StatusOr<std::string> dataWithJSONObject(const Value& object,
                                                        WritingOptions options = {});

  // Whether dataWithJSONObject would accept the value with the given fragment rule.
  static bool isValidJSONObject(const Value& object, bool fragmentsAllowed = false);
};

}  // namespace platform
