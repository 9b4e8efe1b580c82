// Encoding of records: the bytes nanopb (and protoc) write for the same message, written
// straight from the record's slots.
//
// nanopb's encoder visits every declared field of a message whether set or not, and sizes each
// sub-message with a full pass at every enclosing level, so a field three levels deep is
// visited once per level above it. Here a first pass measures every message record once,
// visiting only the fields that are present, and keeps the sizes in visiting order; the second
// pass writes the bytes into a buffer of exactly the total size, taking each sub-message's
// length from that list.

#include <bit>
#include <cstring>
#include <vector>

#include "AppMeasurement/messages/NANOCodec.h"
#include "AppMeasurement/messages/NANOLog.h"

namespace {

constexpr uint32_t kWireVarint = 0;
constexpr uint32_t kWire64Bit = 1;
constexpr uint32_t kWireLengthDelimited = 2;
constexpr uint32_t kWire32Bit = 5;

// The type of a slot, from the one type bit of its code (0x20 bool ... 0x8000 bytes), so that
// each field takes one jump instead of a chain of bit tests.
enum Kind : uint32_t {
  kBool,
  kEnum,
  kInt32,
  kUInt32,
  kInt64,
  kUInt64,
  kFloat,
  kDouble,
  kString,
  kMessage,
  kBytes,
};

Kind kindOf(uint32_t code) {
  return static_cast<Kind>(std::countr_zero(code >> 5));  // one type bit per code
}

constexpr uint32_t kWireTypes[] = {
    kWireVarint,          kWireVarint,          kWireVarint,          kWireVarint,
    kWireVarint,          kWireVarint,          kWire32Bit,           kWire64Bit,
    kWireLengthDelimited, kWireLengthDelimited, kWireLengthDelimited,
};

size_t varintSize(uint64_t value) {
  if (value < 0x80) return 1;  // most lengths and values
  // 7 bits a byte: (bits * 9 + 64) / 64 is (bits + 6) / 7 for 1 to 64 bits, without a division.
  return (static_cast<size_t>(std::bit_width(value)) * 9 + 64) / 64;
}

// A field's key: its tag and wire type.
uint64_t keyOf(uint32_t tag, Kind kind) {
  return (static_cast<uint64_t>(tag) << 3) | kWireTypes[kind];
}

size_t keySize(uint32_t tag) { return tag < 16 ? 1 : varintSize(static_cast<uint64_t>(tag) << 3); }

// Whether nanopb holds the enumeration signed: only when a declared value is negative (its
// generator makes the others unsigned, "UENUM").
bool isSignedEnum(const NANOFieldInfo& field) {
  if (field.enumeration == nullptr) return true;
  for (uint32_t i = 0; i < field.enumeration->count; ++i) {
    if (field.enumeration->values[i].number < 0) return true;
  }
  return false;
}

// The varint a singular field writes, as nanopb writes its structure's member: a bool as 0 or
// 1, int32 values (and enums with negative values) sign-extended from their 32 bits, uint32
// values and other enums as their 32 bits. Elements of repeated fields are written as they are
// held.
uint64_t singularVarint(Kind kind, uint64_t scalar, const NANOFieldInfo& field) {
  switch (kind) {
    case kBool:
      return scalar != 0 ? 1 : 0;
    case kEnum:
      if (!isSignedEnum(field)) return static_cast<uint32_t>(scalar);
      [[fallthrough]];
    case kInt32:
      return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(scalar)));
    case kUInt32:
      return static_cast<uint32_t>(scalar);
    default:
      return scalar;
  }
}

// The encoded size of every message record of one encode, in the order both passes visit
// them (a record before the records it holds). Failures are logged where they are found.
class Sizes {
 public:
  Sizes() { sizes_.reserve(64); }

  // Measures the record and everything it holds; false when it cannot be encoded.
  bool measure(const NANOMessageInfo& info, int depth, size_t* size) {
    size_t own = sizes_.size();
    sizes_.push_back(0);
    size_t total = 0;
    if (const NANOSlot* slots = info.slotsOrNull()) {
      const NANOMessageLayout& layout = info.layout();
      for (uint32_t k = 0; k < layout.slotCount; ++k) {
        uint32_t index = layout.slotsByTag[k];
        const NANOSlot& slot = slots[index];
        uint32_t code = layout.codes[index];
        if (code & kNANOCodeRepeated) {
          if (slot.items.empty()) continue;
          size_t count = slot.items.size();
          switch (kindOf(code)) {
            case kMessage:
              if (depth + 1 > kNANOMaxNestingDepth) {
                NANOLog("<ERROR> %s encoder failed: messages nested deeper than %d levels",
                        layout.fields[index].message->name, kNANOMaxNestingDepth);
                return false;
              }
              for (const NANOCell& item : slot.items) {
                size_t element = 0;
                if (item.message == nullptr) return missing(layout, index);
                if (!measure(*item.message, depth + 1, &element)) return false;
                total += varintSize(element) + element;
              }
              break;
            case kString:
            case kBytes:
              for (const NANOCell& item : slot.items) {
                total += varintSize(item.bytes.size()) + item.bytes.size();
              }
              break;
            case kFloat:
              total += count * 4;
              break;
            case kDouble:
              total += count * 8;
              break;
            default:
              for (const NANOCell& item : slot.items) total += varintSize(item.scalar);
              break;
          }
          total += count * keySize(layout.fields[index].tag);
          continue;
        }
        if (!slot.present) continue;
        total += keySize(layout.fields[index].tag);
        switch (Kind kind = kindOf(code)) {
          case kMessage: {
            // Singular sub-messages are part of their parent's level, as on decoding.
            size_t nested = 0;
            if (slot.cell.message == nullptr) return missing(layout, index);
            if (!measure(*slot.cell.message, depth, &nested)) return false;
            total += varintSize(nested) + nested;
            break;
          }
          case kString:
          case kBytes:
            total += varintSize(slot.cell.bytes.size()) + slot.cell.bytes.size();
            break;
          case kFloat:
            total += 4;
            break;
          case kDouble:
            total += 8;
            break;
          default:
            total += varintSize(singularVarint(kind, slot.cell.scalar, layout.fields[index]));
            break;
        }
      }
    }
    sizes_[own] = total;
    *size = total;
    return true;
  }

  const size_t* data() const { return sizes_.data(); }

 private:
  static bool missing(const NANOMessageLayout& layout, uint32_t slot) {
    NANOLog("<ERROR> %s encoder failed: '%s' holds no message", layout.name,
            layout.fields[slot].name);
    return false;
  }

  std::vector<size_t> sizes_;
};

// The writing pass over a buffer of the measured size.
class Writer {
 public:
  Writer(uint8_t* out, const size_t* sizes) : out_(out), sizes_(sizes) {}

  void write(const NANOMessageInfo& info) {
    ++next_;  // this record's own size, written by its parent
    const NANOSlot* slots = info.slotsOrNull();
    if (slots == nullptr) return;
    const NANOMessageLayout& layout = info.layout();
    for (uint32_t k = 0; k < layout.slotCount; ++k) {
      uint32_t index = layout.slotsByTag[k];
      const NANOSlot& slot = slots[index];
      uint32_t code = layout.codes[index];
      if (code & kNANOCodeRepeated) {
        if (slot.items.empty()) continue;
        Kind kind = kindOf(code);
        uint64_t key = keyOf(layout.fields[index].tag, kind);
        for (const NANOCell& item : slot.items) {
          varint(key);
          value(kind, item, item.scalar);
        }
      } else if (slot.present) {
        Kind kind = kindOf(code);
        varint(keyOf(layout.fields[index].tag, kind));
        value(kind, slot.cell, singularVarint(kind, slot.cell.scalar, layout.fields[index]));
      }
    }
  }

  const uint8_t* end() const { return out_; }

 private:
  void value(Kind kind, const NANOCell& cell, uint64_t varintValue) {
    switch (kind) {
      case kMessage:
        varint(sizes_[next_]);
        write(*cell.message);
        break;
      case kString:
      case kBytes:
        varint(cell.bytes.size());
        if (!cell.bytes.empty()) std::memcpy(out_, cell.bytes.data(), cell.bytes.size());
        out_ += cell.bytes.size();
        break;
      case kFloat:
        fixed(cell.scalar, 4);
        break;
      case kDouble:
        fixed(cell.scalar, 8);
        break;
      default:
        varint(varintValue);
        break;
    }
  }

  void varint(uint64_t value) {
    while (value >= 0x80) {
      *out_++ = static_cast<uint8_t>(value | 0x80);
      value >>= 7;
    }
    *out_++ = static_cast<uint8_t>(value);
  }

  // Little-endian, as the wire wants it.
  void fixed(uint64_t bits, size_t width) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(out_, &bits, width);
      out_ += width;
    } else {
      for (size_t i = 0; i < width; ++i) *out_++ = static_cast<uint8_t>(bits >> (8 * i));
    }
  }

  uint8_t* out_;
  const size_t* sizes_;
  size_t next_ = 0;
};

}  // namespace

uint32_t NANOEncode(const NANOMessageInfo& info, std::string* out) {
  if (out == nullptr) return kNANOEncodeFailure;
  Sizes sizes;
  size_t total = 0;
  if (!sizes.measure(info, 1, &total)) {
    NANOLog("<ERROR> %s encoder failed: Unable to set encoders", info.name());
    out->clear();
    return kNANOEncodeFailure;
  }
  if (total >= kNANOEncodeFailure) {
    NANOLog("<ERROR> %s encoder failed: message too large", info.name());
    out->clear();
    return kNANOEncodeFailure;
  }
  out->assign(total, '\0');
  Writer writer(reinterpret_cast<uint8_t*>(out->data()), sizes.data());
  writer.write(info);
  if (writer.end() != reinterpret_cast<const uint8_t*>(out->data()) + total) {
    NANOLog("<ERROR> %s encoder failed: wrote other than the measured size", info.name());
    out->clear();
    return kNANOEncodeFailure;
  }
  return static_cast<uint32_t>(total);
}
