#include "tools/apm-msg/MessageInspector.h"

#include <pb_decode.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/messages/NANODynamicMessage.h"
#include "platform/foundation/PlatformLog.h"

namespace apmmsg {

using json = nlohmann::ordered_json;

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(std::string_view in) {
  std::string out;
  size_t i = 0;
  while (i + 2 < in.size()) {
    uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    for (int k = 3; k >= 0; --k) out += kBase64[(v >> (6 * k)) & 63];
    i += 3;
  }
  if (i < in.size()) {
    uint32_t v = uint8_t(in[i]) << 16;
    if (i + 1 < in.size()) v |= uint8_t(in[i + 1]) << 8;
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += i + 1 < in.size() ? kBase64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Standard base64, padded or not. Refuses anything that is not the encoding of some bytes:
// other characters, text after the padding, a lone last character.
std::string base64Decode(const std::string& in) {
  size_t end = in.size();
  size_t padding = 0;
  while (end > 0 && in[end - 1] == '=' && padding < 2) {
    --end;
    ++padding;
  }
  if ((padding > 0 && in.size() % 4 != 0) || end % 4 == 1) {
    throw std::runtime_error("invalid base64 text");
  }
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = 0; i < end; ++i) {
    char c = in[i];
    const char* p = c == '\0' ? nullptr : std::strchr(kBase64, c);
    if (p == nullptr) throw std::runtime_error("invalid base64 text");
    bits = (bits << 6) | static_cast<uint32_t>(p - kBase64);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::string hex(std::string_view in) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : in) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

json floatingToJson(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  return d;
}

json enumToJson(const NANOFieldInfo& field, int32_t value) {
  if (field.enumeration != nullptr) {
    for (uint32_t i = 0; i < field.enumeration->count; ++i) {
      if (field.enumeration->values[i].number == value) return field.enumeration->values[i].name;
    }
  }
  return value;
}

json recordToJson(const NANOMessageInfo& info);

json cellToJson(const NANOCell& cell, uint32_t code, const NANOFieldInfo& field) {
  uint64_t v = cell.scalar;
  if (code & kNANOCodeBool) return v != 0;
  if (code & kNANOCodeEnum)
    return enumToJson(field, static_cast<int32_t>(static_cast<uint32_t>(v)));
  if (code & kNANOCodeInt32) return static_cast<int32_t>(static_cast<uint32_t>(v));
  if (code & kNANOCodeUInt32) return static_cast<uint32_t>(v);
  if (code & kNANOCodeInt64) return static_cast<int64_t>(v);
  if (code & kNANOCodeUInt64) return v;
  if (code & kNANOCodeFloat) return floatingToJson(std::bit_cast<float>(static_cast<uint32_t>(v)));
  if (code & kNANOCodeDouble) return floatingToJson(std::bit_cast<double>(v));
  if (code & kNANOCodeString) {
    if (NANOIsValidUTF8(cell.bytes)) return cell.bytes;
    return json{{"invalid_utf8_base64", base64Encode(cell.bytes)}};
  }
  if (code & kNANOCodeBytes) return base64Encode(cell.bytes);
  if (cell.message) return recordToJson(*cell.message);
  return nullptr;
}

json recordToJson(const NANOMessageInfo& info) {
  json object = json::object();
  const NANOMessageLayout& layout = info.layout();
  for (uint32_t slot = 0; slot < layout.slotCount; ++slot) {
    uint32_t code = layout.codes[slot];
    const NANOSlot& s = info.slot(slot);
    const NANOFieldInfo& field = layout.fields[slot];
    if (code & kNANOCodeRepeated) {
      if (s.items.empty()) continue;
      json list = json::array();
      for (const NANOCell& item : s.items) list.push_back(cellToJson(item, code, field));
      object[field.name] = std::move(list);
    } else if (s.present) {
      object[field.name] = cellToJson(s.cell, code, field);
    }
  }
  return object;
}

// Lists the fields the schema does not know under "_unknown", at every level. The input has
// already decoded, so it is well formed.
void annotateUnknown(json& object, const NANOMessageLayout& layout, const uint8_t* bytes,
                     size_t length) {
  pb_istream_t stream = pb_istream_from_buffer(bytes, length);
  std::map<uint32_t, size_t> occurrences;
  while (stream.bytes_left > 0) {
    pb_wire_type_t wireType;
    uint32_t tag;
    bool eof;
    if (!pb_decode_tag(&stream, &wireType, &tag, &eof) || eof) return;
    int slot = layout.slotOfTag(tag);
    const uint8_t* start = static_cast<const uint8_t*>(stream.state);
    json unknown;
    if (wireType == PB_WT_STRING) {
      uint32_t size;
      if (!pb_decode_varint32(&stream, &size) || size > stream.bytes_left) return;
      const uint8_t* payload = static_cast<const uint8_t*>(stream.state);
      if (slot >= 0 && (layout.codes[slot] & kNANOCodeMessage)) {
        const NANOFieldInfo& field = layout.fields[slot];
        json* target = nullptr;
        if (layout.codes[slot] & kNANOCodeRepeated) {
          size_t k = occurrences[tag]++;
          if (object.contains(field.name) && k < object[field.name].size()) {
            target = &object[field.name][k];
          }
        } else if (object.contains(field.name)) {
          target = &object[field.name];
        }
        if (target != nullptr) annotateUnknown(*target, *field.message, payload, size);
      } else if (slot < 0) {
        unknown = {{"field", tag},
                   {"wire_type", "length_delimited"},
                   {"hex", hex(std::string_view(reinterpret_cast<const char*>(payload), size))}};
      }
      if (!pb_read(&stream, nullptr, size)) return;
    } else {
      if (slot >= 0 && (layout.codes[slot] & kNANOCodeMessage)) ++occurrences[tag];
      if (!pb_skip_field(&stream, wireType)) return;
      if (slot < 0) {
        pb_istream_t value = pb_istream_from_buffer(
            start, static_cast<size_t>(static_cast<const uint8_t*>(stream.state) - start));
        if (wireType == PB_WT_VARINT) {
          uint64_t v = 0;
          pb_decode_varint(&value, &v);
          unknown = {{"field", tag}, {"wire_type", "varint"}, {"value", v}};
        } else if (wireType == PB_WT_32BIT) {
          uint32_t v = 0;
          pb_decode_fixed32(&value, &v);
          unknown = {{"field", tag}, {"wire_type", "fixed32"}, {"value", v}};
        } else {
          uint64_t v = 0;
          pb_decode_fixed64(&value, &v);
          unknown = {{"field", tag}, {"wire_type", "fixed64"}, {"value", v}};
        }
      }
    }
    if (!unknown.is_null()) object["_unknown"].push_back(std::move(unknown));
  }
}

// --- JSON to message ---

[[noreturn]] void fail(const std::string& text) { throw std::runtime_error(text); }

// A value for an error line: scalars as JSON, structures by kind only (they can be deep).
std::string shown(const json& value) {
  if (value.is_structured()) return std::string("an ") + (value.is_array() ? "array" : "object");
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string describe(const NANOMessageLayout& layout, const NANOFieldInfo& field) {
  return std::string(layout.name) + "." + field.name;
}

template <typename T>
T integerFrom(const json& value, const std::string& where) {
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    size_t used = 0;
    // Plain decimal digits with an optional minus sign: the standard functions would also
    // take blanks and a plus sign, and strtoull reads "-1" as the largest value.
    size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    bool plain = text.size() > digits && std::all_of(text.begin() + digits, text.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; });
    try {
      if (!plain) throw std::invalid_argument(text);
      if constexpr (std::is_signed_v<T>) {
        long long v = std::stoll(text, &used, 10);
        if (used == text.size() && v >= std::numeric_limits<T>::min() &&
            v <= std::numeric_limits<T>::max()) {
          return static_cast<T>(v);
        }
      } else {
        if (!text.empty() && text[0] != '-') {
          unsigned long long v = std::stoull(text, &used, 10);
          if (used == text.size() && v <= std::numeric_limits<T>::max()) return static_cast<T>(v);
        }
      }
    } catch (const std::exception&) {
    }
    fail(where + ": \"" + text + "\" is not an integer of the field's range");
  }
  if (value.is_number_unsigned()) {
    uint64_t v = value.get<uint64_t>();
    if (v <= static_cast<uint64_t>(std::numeric_limits<T>::max())) return static_cast<T>(v);
  } else if (value.is_number_integer()) {
    int64_t v = value.get<int64_t>();
    if (v >= 0 || std::is_signed_v<T>) {
      if constexpr (std::is_signed_v<T>) {
        if (v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max())
          return static_cast<T>(v);
      } else if (static_cast<uint64_t>(v) <= std::numeric_limits<T>::max()) {
        return static_cast<T>(v);
      }
    }
  }
  fail(where + ": expected an integer of the field's range, got " + shown(value));
}

double floatingFrom(const json& value, const std::string& where) {
  if (value.is_number()) return value.get<double>();
  if (value == "NaN") return std::numeric_limits<double>::quiet_NaN();
  if (value == "Infinity") return std::numeric_limits<double>::infinity();
  if (value == "-Infinity") return -std::numeric_limits<double>::infinity();
  fail(where + ": expected a number, got " + shown(value));
}

int32_t enumFrom(const json& value, const NANOFieldInfo& field, const std::string& where) {
  if (value.is_string() && field.enumeration != nullptr) {
    for (uint32_t i = 0; i < field.enumeration->count; ++i) {
      if (value == field.enumeration->values[i].name) return field.enumeration->values[i].number;
    }
    fail(where + ": " + shown(value) + " is not a value of " + field.enumeration->name);
  }
  return integerFrom<int32_t>(value, where);
}

std::string textFrom(const json& value, const std::string& where) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_object() && value.size() == 1 && value.contains("invalid_utf8_base64") &&
      value["invalid_utf8_base64"].is_string()) {
    try {
      return base64Decode(value["invalid_utf8_base64"].get<std::string>());
    } catch (const std::exception&) {
      fail(where + ": invalid base64 text");
    }
  }
  fail(where + ": expected text, got " + shown(value));
}

std::string bytesFrom(const json& value, const std::string& where) {
  if (!value.is_string()) fail(where + ": expected base64 text, got " + shown(value));
  try {
    return base64Decode(value.get<std::string>());
  } catch (const std::exception&) {
    fail(where + ": invalid base64 text");
  }
}

void fillFromJson(NANODynamicMessage& message, const json& object, int depth);

NANOObject elementFrom(const json& value, uint32_t code, const NANOFieldInfo& field,
                       const std::string& where, int depth) {
  if (code & kNANOCodeBool) {
    if (!value.is_boolean()) fail(where + ": expected true or false, got " + shown(value));
    return NANONumber::fromBool(value.get<bool>());
  }
  if (code & kNANOCodeEnum) return NANONumber::fromInt32(enumFrom(value, field, where));
  if (code & kNANOCodeInt32) return NANONumber::fromInt32(integerFrom<int32_t>(value, where));
  if (code & kNANOCodeUInt32) return NANONumber::fromUInt32(integerFrom<uint32_t>(value, where));
  if (code & kNANOCodeInt64) return NANONumber::fromInt64(integerFrom<int64_t>(value, where));
  if (code & kNANOCodeUInt64) return NANONumber::fromUInt64(integerFrom<uint64_t>(value, where));
  if (code & kNANOCodeFloat) {
    double d = floatingFrom(value, where);
    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
      fail(where + ": " + shown(value) + " is beyond the range of a float");
    }
    return NANONumber::fromFloat(static_cast<float>(d));
  }
  if (code & kNANOCodeDouble) return NANONumber::fromDouble(floatingFrom(value, where));
  if (code & kNANOCodeString) return textFrom(value, where);
  if (code & kNANOCodeBytes) return NANOData{bytesFrom(value, where)};
  auto child = std::make_shared<NANODynamicMessage>(*field.message);
  fillFromJson(*child, value, depth + 1);
  return std::shared_ptr<NANOMessageBase>(child);
}

void fillFromJson(NANODynamicMessage& message, const json& object, int depth) {
  const NANOMessageLayout& layout = message.messageLayout();
  if (depth > kNANOMaxNestingDepth) {
    fail(std::string(layout.name) + ": messages nested deeper than " +
         std::to_string(kNANOMaxNestingDepth) + " levels");
  }
  if (!object.is_object())
    fail(std::string(layout.name) + ": expected an object, got " + shown(object));
  for (const auto& [key, value] : object.items()) {
    if (key == "_unknown") continue;  // unknown fields are never encoded
    uint32_t slot = 0;
    while (slot < layout.slotCount && key != layout.fields[slot].name) ++slot;
    if (slot == layout.slotCount) fail(std::string(layout.name) + " has no field \"" + key + "\"");
    const NANOFieldInfo& field = layout.fields[slot];
    uint32_t code = layout.codes[slot];
    std::string where = describe(layout, field);
    if (value.is_null()) continue;
    if (code & kNANOCodeRepeated) {
      if (!value.is_array()) fail(where + ": expected a list, got " + shown(value));
      std::vector<NANOObject> list;
      list.reserve(value.size());
      for (const json& element : value)
        list.push_back(elementFrom(element, code, field, where, depth));
      NANOSetArray(message, slot, list);
      continue;
    }
    NANOObject element = elementFrom(value, code, field, where, depth);
    if (auto* number = std::get_if<NANONumber>(&element)) {
      if (code & kNANOCodeBool) {
        NANOSetBool(message, slot, number->boolValue());
      } else if (code & (kNANOCodeEnum | kNANOCodeInt32 | kNANOCodeUInt32)) {
        NANOSetInt32(message, slot, number->intValue());
      } else if (code & (kNANOCodeInt64 | kNANOCodeUInt64)) {
        NANOSetInt64(message, slot, static_cast<int64_t>(number->unsignedLongLongValue()));
      } else if (code & kNANOCodeDouble) {
        NANOSetDouble(message, slot, number->doubleValue());
      } else {
        // Singular floats have no accessor (no measurement message sets one); write the cell.
        NANOSlot& s = message.messageInfo()->slot(slot);
        s.present = true;
        s.cell.scalar = std::bit_cast<uint32_t>(number->floatValue());
      }
    } else if (auto* text = std::get_if<std::string>(&element)) {
      NANOSetString(message, slot, *text);
    } else if (auto* data = std::get_if<NANOData>(&element)) {
      NANOSlot& s = message.messageInfo()->slot(slot);
      s.present = true;
      s.cell.bytes = data->bytes;
    } else if (auto* child = std::get_if<std::shared_ptr<NANOMessageBase>>(&element)) {
      NANOSetMessage(message, slot, **child);
    }
  }
}

// Collects what the runtime writes to the platform log on this thread while it lives: the
// service decodes on several threads at once, and each decode's error names its own fault only.
class LogCollector {
 public:
  std::string lines() const {
    std::string joined;
    for (const std::string& line : collector_.lines()) {
      if (!joined.empty()) joined += "; ";
      joined += line;
    }
    return joined;
  }

 private:
  platform::PlatformLog::ThreadCollector collector_;
};

}  // namespace

const NANOMessageLayout* findMessage(std::string_view name) {
  for (const NANOMessageLayout* layout : APMPBMessageLayouts()) {
    if (name == layout->name) return layout;
  }
  return nullptr;
}

std::optional<json> decodeToJson(const NANOMessageLayout& layout, std::string_view bytes,
                                 std::string* error) {
  LogCollector log;
  auto message = NANODynamicMessage::initWithBuffer(layout, bytes);
  if (!message) {
    *error = std::string("cannot decode ") + layout.name + ": " + log.lines();
    return std::nullopt;
  }
  json object = recordToJson(*message->messageInfo());
  annotateUnknown(object, layout, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return object;
}

std::optional<std::string> encodeFromJson(const NANOMessageLayout& layout, const json& object,
                                          std::string* error) {
  LogCollector log;
  NANODynamicMessage message(layout);
  try {
    fillFromJson(message, object, 1);
  } catch (const std::exception& e) {
    *error = e.what();
    return std::nullopt;
  }
  if (!log.lines().empty()) {
    *error = log.lines();
    return std::nullopt;
  }
  auto bytes = message.protoBuffer();
  if (!bytes) *error = std::string("cannot encode ") + layout.name + ": " + log.lines();
  return bytes;
}

std::optional<std::string> gunzip(std::string_view data, std::string* error, size_t maxOutput) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
    *error = "cannot start inflating";
    return std::nullopt;
  }
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char buffer[1 << 15];
  int status = Z_OK;
  while (true) {
    if (status == Z_STREAM_END) {
      // Further members follow (a gzip file may hold several, and gzip -d writes them all);
      // anything else after a member is not gzip data and is refused below.
      if (z.avail_in == 0) break;
      inflateReset(&z);
    }
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    status = inflate(&z, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      *error =
          std::string("input is not valid gzip data") + (z.msg ? std::string(": ") + z.msg : "");
      inflateEnd(&z);
      return std::nullopt;
    }
    out.append(buffer, sizeof buffer - z.avail_out);
    if (out.size() > maxOutput) {
      *error = "gzip data inflates beyond " + std::to_string(maxOutput) + " bytes";
      inflateEnd(&z);
      return std::nullopt;
    }
    if (status == Z_OK && z.avail_in == 0 && z.avail_out != 0) {
      *error = "gzip data is truncated";
      inflateEnd(&z);
      return std::nullopt;
    }
  }
  inflateEnd(&z);
  return out;
}

int run(const std::vector<std::string>& arguments, const std::string& input, std::string* output,
        std::string* errorOutput) {
  static const char kUsage[] =
      "usage: apm-msg decode <MessageName> [--gunzip]   binary on stdin, JSON on stdout\n"
      "       apm-msg encode <MessageName>              JSON on stdin, binary on stdout\n"
      "       apm-msg list                              names of the messages\n";
  std::vector<std::string> words;
  bool gunzipInput = false;
  for (const std::string& argument : arguments) {
    if (argument == "--gunzip") {
      gunzipInput = true;
    } else if (argument == "-h" || argument == "--help") {
      *output = kUsage;
      return 0;
    } else {
      words.push_back(argument);
    }
  }
  if (words.size() == 1 && words[0] == "list") {
    for (const NANOMessageLayout* layout : APMPBMessageLayouts())
      *output += std::string(layout->name) + "\n";
    return 0;
  }
  if (words.size() != 2 || (words[0] != "decode" && words[0] != "encode")) {
    *errorOutput = kUsage;
    return 1;
  }
  const NANOMessageLayout* layout = findMessage(words[1]);
  if (layout == nullptr) {
    *errorOutput = "apm-msg: unknown message \"" + words[1] + "\" (apm-msg list names them)\n";
    return 1;
  }
  std::string bytes = input;
  std::string error;
  if (gunzipInput) {
    auto inflated = gunzip(input, &error);
    if (!inflated) {
      *errorOutput = "apm-msg: " + error + "\n";
      return 1;
    }
    bytes = std::move(*inflated);
  }
  if (words[0] == "decode") {
    auto object = decodeToJson(*layout, bytes, &error);
    if (!object) {
      *errorOutput = "apm-msg: " + error + "\n";
      return 1;
    }
    *output = object->dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    return 0;
  }
  json object = json::parse(bytes, nullptr, false);
  if (object.is_discarded()) {
    *errorOutput = "apm-msg: input is not valid JSON\n";
    return 1;
  }
  auto encoded = encodeFromJson(*layout, object, &error);
  if (!encoded) {
    *errorOutput = "apm-msg: " + error + "\n";
    return 1;
  }
  *output = std::move(*encoded);
  return 0;
}

}  // namespace apmmsg
