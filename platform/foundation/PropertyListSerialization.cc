#include "platform/foundation/PropertyListSerialization.h"

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "absl/status/status.h"
#include "platform/foundation/Text.h"

namespace platform {

namespace {

// Seconds between 1970-01-01 and 2001-01-01, the property-list epoch.
constexpr double kAppleEpochOffset = 978307200.0;

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Deepest nesting of <array> and <dict> elements in XML text. Checked before parsing so
// that hostile input cannot drive the parser's recursion without bound.
int xmlNesting(std::string_view text) {
  int depth = 0;
  int deepest = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '<') continue;
    std::string_view rest = text.substr(i + 1);
    bool closing = !rest.empty() && rest[0] == '/';
    if (closing) rest.remove_prefix(1);
    size_t nameLength = 0;
    if (rest.substr(0, 5) == "array") {
      nameLength = 5;
    } else if (rest.substr(0, 4) == "dict") {
      nameLength = 4;
    } else {
      continue;
    }
    rest.remove_prefix(nameLength);
    if (rest.empty()) break;
    if (rest[0] != '>' && rest[0] != '/' && rest[0] != ' ' && rest[0] != '\t' && rest[0] != '\n' &&
        rest[0] != '\r') {
      continue;  // another element that merely begins with the same letters
    }
    if (closing) {
      depth = std::max(0, depth - 1);  // stray closers cannot hide nesting
    } else if (rest[0] != '/') {
      deepest = std::max(deepest, ++depth);
    }
  }
  return deepest;
}

uint64_t readBigEndian(std::string_view data, uint64_t offset, unsigned size) {
  uint64_t v = 0;
  for (unsigned i = 0; i < size; ++i) {
    v = (v << 8) | static_cast<uint8_t>(data[offset + i]);
  }
  return v;
}

// Checks a binary property list before libplist walks it. libplist's reader recurses
// once per level without a limit and asserts (aborting the process) on strings with
// embedded NUL characters and on dictionary keys that are not strings, so hostile input
// is refused here first: the trailer and offset table lie inside the data, every
// reachable container's references lie inside the data and name existing objects, the
// graph has no cycle, containers nest at most kMaxDepth deep, dictionary keys are
// strings, no reachable string holds a NUL character and no 16-byte integer lies outside
// the int64 range.
absl::Status checkBinaryStructure(std::string_view data) {
  constexpr size_t kHeader = 8;
  constexpr size_t kTrailer = 32;
  auto malformed = [] { return absl::InvalidArgumentError("Malformed binary property list"); };
  if (data.size() < kHeader + kTrailer) return malformed();
  uint64_t trailer = data.size() - kTrailer;
  unsigned offsetSize = static_cast<uint8_t>(data[trailer + 6]);
  unsigned refSize = static_cast<uint8_t>(data[trailer + 7]);
  uint64_t objectCount = readBigEndian(data, trailer + 8, 8);
  uint64_t top = readBigEndian(data, trailer + 16, 8);
  uint64_t tableOffset = readBigEndian(data, trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return malformed();
  if (objectCount == 0 || top >= objectCount || tableOffset < kHeader || tableOffset > trailer ||
      objectCount > (trailer - tableOffset) / offsetSize) {
    return malformed();
  }

  enum class Kind { Scalar, String, Container };
  struct Object {
    Kind kind = Kind::Scalar;
    bool dictionary = false;
    uint64_t start = 0;  // first reference, for containers
    uint64_t count = 0;  // references (keys and values for a dictionary)
  };
  // Reads an object's header; false when it does not fit in the data.
  auto readObject = [&](uint64_t index, Object& object) -> bool {
    uint64_t offset = readBigEndian(data, tableOffset + index * offsetSize, offsetSize);
    if (offset < kHeader || offset >= tableOffset) return false;
    uint8_t marker = static_cast<uint8_t>(data[offset]);
    unsigned type = marker >> 4;
    object = {};
    if (marker == 0x14) {
      // A 16-byte integer: libplist keeps only its low 8 bytes, so one outside the int64
      // range would silently change value.
      if (offset + 17 > tableOffset) return false;
      uint64_t high = readBigEndian(data, offset + 1, 8);
      uint64_t low = readBigEndian(data, offset + 9, 8);
      bool fits = (high == 0 && low <= static_cast<uint64_t>(INT64_MAX)) ||
                  (high == UINT64_MAX && low > static_cast<uint64_t>(INT64_MAX));
      return fits;
    }
    bool ascii = type == 0x5;
    bool utf16 = type == 0x6;
    bool container = type == 0xA || type == 0xC || type == 0xD;
    if (!ascii && !utf16 && !container) return true;
    uint64_t count = marker & 0x0F;
    uint64_t position = offset + 1;
    if (count == 0x0F) {
      if (position >= tableOffset) return false;
      uint8_t intMarker = static_cast<uint8_t>(data[position]);
      if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
      unsigned intSize = 1u << (intMarker & 0x0F);
      if (position + 1 + intSize > tableOffset) return false;
      count = readBigEndian(data, position + 1, intSize);
      position += 1 + intSize;
    }
    if (!container) {
      uint64_t unitSize = utf16 ? 2 : 1;
      if (count > (tableOffset - position) / unitSize) return false;
      for (uint64_t i = 0; i < count; ++i) {
        if (readBigEndian(data, position + i * unitSize, static_cast<unsigned>(unitSize)) == 0) {
          return false;
        }
      }
      object.kind = Kind::String;
      return true;
    }
    if (type == 0xD) {
      if (count > UINT64_MAX / 2) return false;
      count *= 2;
    }
    if (count > (tableOffset - position) / refSize) return false;
    object = {Kind::Container, type == 0xD, position, count};
    return true;
  };

  // Depth-first walk from the top object, without recursion.
  enum : uint8_t { kUnseen, kOpen, kDone };
  std::vector<uint8_t> state(objectCount, kUnseen);
  struct Frame {
    uint64_t index;
    Object object;
    uint64_t next;
  };
  std::vector<Frame> stack;
  Object topObject;
  if (!readObject(top, topObject)) return malformed();
  if (topObject.kind != Kind::Container) return absl::OkStatus();
  stack.push_back({top, topObject, 0});
  state[top] = kOpen;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.object.count) {
      state[frame.index] = kDone;
      stack.pop_back();
      continue;
    }
    bool isKey = frame.object.dictionary && frame.next < frame.object.count / 2;
    uint64_t child = readBigEndian(data, frame.object.start + frame.next * refSize, refSize);
    ++frame.next;
    if (child >= objectCount) return malformed();
    if (state[child] == kOpen) {
      return absl::InvalidArgumentError("Binary property list refers to itself");
    }
    Object object;
    if (!readObject(child, object)) return malformed();
    if (isKey && object.kind != Kind::String) return malformed();
    if (state[child] == kDone) continue;
    if (object.kind != Kind::Container) {
      state[child] = kDone;
      continue;
    }
    if (stack.size() >= static_cast<size_t>(PropertyListSerialization::kMaxDepth)) {
      return absl::InvalidArgumentError("Property list nested too deeply");
    }
    state[child] = kOpen;
    stack.push_back({child, object, 0});
  }
  return absl::OkStatus();
}

// Whether every <integer> element of XML text lies in the int64 range. libplist reads
// them into 64 bits without a range check, so a larger one would silently change value.
bool xmlIntegersFit(std::string_view text) {
  constexpr std::string_view kTag = "<integer>";
  for (size_t at = text.find(kTag); at != std::string_view::npos;
       at = text.find(kTag, at + kTag.size())) {
    size_t i = at + kTag.size();
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      base = 16;
      i += 2;
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : static_cast<uint64_t>(INT64_MAX);
    uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
      auto c = static_cast<unsigned char>(text[i]);
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (base == 16 && std::isxdigit(c)) {
        digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
      } else {
        break;
      }
      if (magnitude > (limit - digit) / base) return false;
      magnitude = magnitude * base + digit;
    }
  }
  return true;
}

// Whether XML text holds a NUL character, raw or as a character reference (&#0; or
// &#x0;), which libplist's string accessors assert on.
bool xmlHoldsNul(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return true;
  for (size_t i = text.find("&#"); i != std::string_view::npos; i = text.find("&#", i + 2)) {
    size_t j = i + 2;
    bool hex = j < text.size() && (text[j] == 'x' || text[j] == 'X');
    if (hex) ++j;
    size_t digits = 0;
    bool zero = true;
    while (j < text.size() && std::isxdigit(static_cast<unsigned char>(text[j])) &&
           (hex || std::isdigit(static_cast<unsigned char>(text[j])))) {
      if (text[j] != '0') zero = false;
      ++digits;
      ++j;
    }
    if (digits > 0 && zero) return true;
  }
  return false;
}

absl::Status fromPlist(plist_t node, int depth, Value& out) {
  if (depth > PropertyListSerialization::kMaxDepth) {
    return absl::InvalidArgumentError("Property list nested too deeply");
  }
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      out = Value(b != 0);
      return absl::OkStatus();
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // The format's integers are signed 64-bit; libplist hands them over as their bits.
      out = Value(static_cast<long long>(static_cast<int64_t>(u)));
      return absl::OkStatus();
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      out = Value(d);
      return absl::OkStatus();
    }
    case PLIST_STRING: {
      uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      std::string text = s != nullptr ? std::string(s, length) : std::string();
      if (!Text::isValidUTF8(text)) {
        return absl::InvalidArgumentError("Property list string is not valid UTF-8");
      }
      out = Value(std::move(text));
      return absl::OkStatus();
    }
    case PLIST_DATA: {
      uint64_t length = 0;
      const char* data = plist_get_data_ptr(node, &length);
      out = Value::bytes(data != nullptr ? std::string(data, length) : std::string());
      return absl::OkStatus();
    }
    case PLIST_DATE: {
      int32_t sec = 0;
      int32_t usec = 0;
      plist_get_date_val(node, &sec, &usec);
      // libplist's binary reader truncates toward zero and hands back the fraction of a
      // date before 2001 as a positive count of microseconds.
      if (sec < 0 && usec > 0) usec = -usec;
      out = Value::date(kAppleEpochOffset + sec + usec / 1e6);
      return absl::OkStatus();
    }
    case PLIST_ARRAY: {
      Value::Array array;
      uint32_t count = plist_array_get_size(node);
      array.reserve(count);
      for (uint32_t i = 0; i < count; ++i) {
        plist_t item = plist_array_get_item(node, i);
        if (item == nullptr) return absl::InvalidArgumentError("Property list array is broken");
        Value element;
        if (auto status = fromPlist(item, depth + 1, element); !status.ok()) return status;
        array.push_back(std::move(element));
      }
      out = Value(std::move(array));
      return absl::OkStatus();
    }
    case PLIST_DICT: {
      Value::Dictionary dict;
      plist_dict_iter iter = nullptr;
      plist_dict_new_iter(node, &iter);
      absl::Status status = absl::OkStatus();
      while (iter != nullptr) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iter, &key, &item);
        if (key == nullptr || item == nullptr) {
          std::free(key);
          break;
        }
        std::string keyText(key);
        std::free(key);
        if (!Text::isValidUTF8(keyText)) {
          status = absl::InvalidArgumentError("Property list key is not valid UTF-8");
          break;
        }
        Value element;
        status = fromPlist(item, depth + 1, element);
        if (!status.ok()) break;
        dict.insert_or_assign(std::move(keyText), std::move(element));
      }
      std::free(iter);
      if (!status.ok()) return status;
      out = Value(std::move(dict));
      return absl::OkStatus();
    }
    case PLIST_KEY:
      return absl::InvalidArgumentError("Property list holds a key outside a dictionary");
    case PLIST_UID:
      return absl::InvalidArgumentError("Property list keyed-archive UIDs are not supported");
    case PLIST_NONE:
      break;
  }
  return absl::InvalidArgumentError("Property list holds a node of unknown type");
}

// Whether XML 1.0 can carry the (valid UTF-8) text: no C0 control characters other than
// tab, line feed and carriage return, and neither U+FFFE nor U+FFFF. libplist would write
// them raw, giving a file that XML readers refuse.
bool xmlCanCarry(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
    if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
      return false;
    }
  }
  return true;
}

absl::Status checkText(const std::string& text, const char* what,
                       PropertyListSerialization::Format format) {
  if (text.find('\0') != std::string::npos) {
    return absl::InvalidArgumentError(std::string("Property list ") + what +
                                      " contains a NUL character");
  }
  if (!Text::isValidUTF8(text)) {
    return absl::InvalidArgumentError(std::string("Property list ") + what + " is not valid UTF-8");
  }
  if (format == PropertyListSerialization::Format::XML && !xmlCanCarry(text)) {
    return absl::InvalidArgumentError(std::string("Property list ") + what +
                                      " holds characters that XML cannot carry");
  }
  return absl::OkStatus();
}

absl::StatusOr<PlistPtr> toPlist(const Value& value, PropertyListSerialization::Format format,
                                 int depth) {
  if (depth > PropertyListSerialization::kMaxDepth) {
    return absl::InvalidArgumentError("Property list nested too deeply");
  }
  switch (value.type()) {
    case Value::Type::Null:
      return absl::InvalidArgumentError("Null has no property-list form");
    case Value::Type::Object:
      return absl::InvalidArgumentError("An object has no property-list form");
    case Value::Type::Bool:
      return PlistPtr(plist_new_bool(*value.asBool() ? 1 : 0));
    case Value::Type::Integer:
      return PlistPtr(plist_new_uint(static_cast<uint64_t>(*value.asInteger())));
    case Value::Type::Real:
      return PlistPtr(plist_new_real(*value.asReal()));
    case Value::Type::String: {
      if (auto status = checkText(*value.asString(), "string", format); !status.ok()) return status;
      return PlistPtr(plist_new_string(value.asString()->c_str()));
    }
    case Value::Type::Bytes: {
      const std::string& data = value.asBytes()->data;
      return PlistPtr(plist_new_data(data.data(), data.size()));
    }
    case Value::Type::Date: {
      double t = value.asDate()->secondsSince1970 - kAppleEpochOffset;
      if (format == PropertyListSerialization::Format::XML) t = std::round(t);
      if (!std::isfinite(t) || t < std::numeric_limits<int32_t>::min() ||
          t >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return absl::InvalidArgumentError("Property list date out of range");
      }
      double whole = std::floor(t);
      auto sec = static_cast<int32_t>(whole);
      auto usec = static_cast<int32_t>(std::lround((t - whole) * 1e6));
      if (usec >= 1000000) {
        usec -= 1000000;
        sec += 1;
      }
      return PlistPtr(plist_new_date(sec, usec));
    }
    case Value::Type::Array: {
      PlistPtr array(plist_new_array());
      for (const auto& element : *value.asArray()) {
        auto item = toPlist(element, format, depth + 1);
        if (!item.ok()) return item.status();
        plist_array_append_item(array.get(), item->release());
      }
      return array;
    }
    case Value::Type::Dictionary: {
      PlistPtr dict(plist_new_dict());
      for (const auto& [key, element] : *value.asDictionary()) {
        if (auto status = checkText(key, "key", format); !status.ok()) return status;
        auto item = toPlist(element, format, depth + 1);
        if (!item.ok()) return item.status();
        plist_dict_set_item(dict.get(), key.c_str(), item->release());
      }
      return dict;
    }
  }
  return absl::InvalidArgumentError("Value has no property-list form");
}

}  // namespace

absl::StatusOr<Value> PropertyListSerialization::propertyListWithData(std::string_view data,
                                                                      Format* format) {
  if (data.empty()) return absl::InvalidArgumentError("Property list data is empty");
  if (data.size() > std::numeric_limits<uint32_t>::max()) {
    return absl::InvalidArgumentError("Property list data is too large");
  }
  bool binary = data.substr(0, 8) == "bplist00";
  if (binary) {
    if (auto status = checkBinaryStructure(data); !status.ok()) return status;
  } else if (xmlNesting(data) > kMaxDepth) {
    return absl::InvalidArgumentError("Property list nested too deeply");
  } else if (xmlHoldsNul(data)) {
    return absl::InvalidArgumentError("Property list string contains a NUL character");
  } else if (!xmlIntegersFit(data)) {
    return absl::InvalidArgumentError("Property list integer outside the 64-bit signed range");
  }
  plist_t root = nullptr;
  plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
  if (root == nullptr) {
    return absl::InvalidArgumentError(binary ? "Malformed binary property list"
                                             : "Malformed XML property list");
  }
  PlistPtr owner(root);
  Value out;
  if (auto status = fromPlist(root, 1, out); !status.ok()) return status;
  if (format != nullptr) *format = binary ? Format::Binary : Format::XML;
  return out;
}

absl::StatusOr<std::string> PropertyListSerialization::dataWithPropertyList(const Value& plist,
                                                                            Format format) {
  auto root = toPlist(plist, format, 1);
  if (!root.ok()) return root.status();
  char* bytes = nullptr;
  uint32_t length = 0;
  std::string out;
  if (format == Format::XML) {
    plist_to_xml(root->get(), &bytes, &length);
    if (bytes != nullptr) out.assign(bytes, length);
    plist_to_xml_free(bytes);
  } else {
    plist_to_bin(root->get(), &bytes, &length);
    if (bytes != nullptr) out.assign(bytes, length);
    plist_to_bin_free(bytes);
  }
  if (out.empty()) return absl::InternalError("Property list could not be written");
  return out;
}

bool PropertyListSerialization::propertyListIsValid(const Value& plist) {
  return toPlist(plist, Format::Binary, 1).ok();
}

}  // namespace platform
