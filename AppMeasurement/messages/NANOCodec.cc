#include "AppMeasurement/messages/NANOCodec.h"

#include <pb_common.h>
#include <pb_decode.h>

#include <atomic>
#include <memory>
#include <vector>

#include "AppMeasurement/messages/NANOLog.h"

// The decoder reads the wire format straight into the record, one level at a time, driven by a
// per-message table made once from nanopb's field table (so that it agrees with nanopb on every
// field: which tags exist, how wide nanopb holds each number). It accepts and refuses what
// nanopb's pb_decode accepts and refuses for the same fields; the rare long varints go through
// nanopb's own varint functions so that both read them alike.

namespace {

constexpr uint8_t kWireVarint = PB_WT_VARINT;
constexpr uint8_t kWire64Bit = PB_WT_64BIT;
constexpr uint8_t kWireString = PB_WT_STRING;
constexpr uint8_t kWire32Bit = PB_WT_32BIT;

// What the decoder does with a field of one slot.
enum class Op : uint8_t {
  kSkip,  // a slot nanopb does not hold: skipped like an unknown field
  // Singular fields; a scalar keeps its last value, a string its first.
  kBool,
  kVarint,   // signed, held in dataSize bytes
  kUVarint,  // unsigned, held in dataSize bytes
  kFixed32,
  kFixed64,
  kString,
  kMessage,  // merged into one nested record however often it occurs
  // Repeated fields; scalars also come packed.
  kRepeatedVarint,
  kRepeatedFixed32,
  kRepeatedFixed64,
  kRepeatedString,
  kRepeatedMessage,
};

bool isRepeatedScalar(Op op) {
  return op == Op::kRepeatedVarint || op == Op::kRepeatedFixed32 || op == Op::kRepeatedFixed64;
}

bool isRepeated(Op op) { return op >= Op::kRepeatedVarint; }

struct SlotStep {
  Op op = Op::kSkip;
  uint8_t wireType = 0;                        // of one value
  uint8_t dataSize = 0;                        // bytes nanopb holds a singular varint in
  const NANOMessageLayout* message = nullptr;  // sub-message or element layout
};

// The steps of one message, by slot.
struct DecodePlan {
  bool hasRepeated = false;
  std::unique_ptr<SlotStep[]> slots;
};

const pb_msgdesc_t* descriptorOf(const NANOMessageLayout& layout) {
  return reinterpret_cast<const pb_msgdesc_t*>(layout.nanopbFields);
}

uint8_t wireTypeOf(uint32_t code) {
  if (code & (kNANOCodeString | kNANOCodeBytes | kNANOCodeMessage)) return kWireString;
  if (code & kNANOCodeFloat) return kWire32Bit;
  if (code & kNANOCodeDouble) return kWire64Bit;
  return kWireVarint;
}

// One slot's step from nanopb's description of its field; false when the two disagree.
bool makeStep(const NANOMessageLayout& layout, uint32_t index, const pb_field_iter_t& it,
              SlotStep* step) {
  uint32_t code = layout.codes[index];
  const NANOMessageLayout* sub = layout.fields[index].message;
  bool stringKind = (code & (kNANOCodeString | kNANOCodeBytes)) != 0;
  step->wireType = wireTypeOf(code);
  step->message = sub;
  if (PB_ATYPE(it.type) == PB_ATYPE_CALLBACK) {
    if (code & kNANOCodeRepeated) {
      if (code & kNANOCodeMessage) {
        if (sub == nullptr) return false;
        step->op = Op::kRepeatedMessage;
      } else if (stringKind) {
        step->op = Op::kRepeatedString;
      } else if (code & kNANOCodeFloat) {
        step->op = Op::kRepeatedFixed32;
      } else if (code & kNANOCodeDouble) {
        step->op = Op::kRepeatedFixed64;
      } else {
        step->op = Op::kRepeatedVarint;
      }
      return true;
    }
    if (!stringKind) return false;
    step->op = Op::kString;
    return true;
  }
  if (PB_ATYPE(it.type) != PB_ATYPE_STATIC || PB_HTYPE(it.type) != PB_HTYPE_OPTIONAL ||
      (code & kNANOCodeRepeated) || stringKind) {
    return false;
  }
  if (PB_LTYPE_IS_SUBMSG(it.type)) {
    if (!(code & kNANOCodeMessage) || sub == nullptr || descriptorOf(*sub) != it.submsg_desc) {
      return false;
    }
    step->op = Op::kMessage;
    return true;
  }
  if (code & kNANOCodeMessage) return false;
  step->dataSize = static_cast<uint8_t>(it.data_size);
  switch (PB_LTYPE(it.type)) {
    case PB_LTYPE_BOOL:
      step->op = Op::kBool;
      return true;
    case PB_LTYPE_VARINT:
      step->op = Op::kVarint;
      break;
    case PB_LTYPE_UVARINT:
      step->op = Op::kUVarint;
      break;
    case PB_LTYPE_FIXED32:
      step->op = Op::kFixed32;
      return step->wireType == kWire32Bit && it.data_size == 4;
    case PB_LTYPE_FIXED64:
      step->op = Op::kFixed64;
      return step->wireType == kWire64Bit && it.data_size == 8;
    default:
      return false;
  }
  return step->wireType == kWireVarint &&
         (it.data_size == 1 || it.data_size == 2 || it.data_size == 4 || it.data_size == 8);
}

const DecodePlan* makePlan(const NANOMessageLayout& layout) {
  auto plan = std::make_unique<DecodePlan>();
  plan->slots.reset(new SlotStep[layout.slotCount]);
  std::vector<unsigned char> structure(layout.nanopbStructSize + 1);
  pb_field_iter_t it;
  if (!pb_field_iter_begin(&it, descriptorOf(layout), structure.data())) return nullptr;
  do {
    int index = layout.slotOfTag(it.tag);
    if (index < 0) return nullptr;
    SlotStep& step = plan->slots[index];
    if (!makeStep(layout, static_cast<uint32_t>(index), it, &step)) return nullptr;
    plan->hasRepeated = plan->hasRepeated || isRepeated(step.op);
  } while (pb_field_iter_next(&it));
  return plan.release();
}

// The message's plan, made on its first decode. A plan that cannot be made is retried (and
// fails) on every decode; made plans live as long as the process.
const DecodePlan* planOf(const NANOMessageLayout& layout) {
  if (const void* plan = layout.decodePlan.load(std::memory_order_acquire)) {
    return static_cast<const DecodePlan*>(plan);
  }
  const DecodePlan* made = makePlan(layout);
  if (made == nullptr) return nullptr;
  const void* expected = nullptr;
  if (!layout.decodePlan.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    delete made;  // another thread made it first
    return static_cast<const DecodePlan*>(expected);
  }
  return made;
}

// The bytes of one level being read, and why reading stopped.
struct Cursor {
  const uint8_t* p;
  const uint8_t* end;
  const char* error = nullptr;

  size_t left() const { return static_cast<size_t>(end - p); }
  bool fail(const char* why) {
    error = why;
    return false;
  }
};

// A varint of up to kShortBytes bytes, read here; a longer one goes to nanopb's own function,
// whose overflow rules for the last bytes are subtle.
template <typename T, size_t kShortBytes, bool (*kNanopbRead)(pb_istream_t*, T*)>
[[gnu::noinline]] bool readLongVarint(Cursor& c, T* value) {
  T result = 0;
  size_t available = c.left() < kShortBytes ? c.left() : kShortBytes;
  for (size_t i = 0; i < available; ++i) {
    result |= static_cast<T>(c.p[i] & 0x7F) << (7 * i);
    if ((c.p[i] & 0x80) == 0) {
      c.p += i + 1;
      *value = result;
      return true;
    }
  }
  pb_istream_t stream = pb_istream_from_buffer(c.p, c.left());
  if (!kNanopbRead(&stream, value)) return c.fail(PB_GET_ERROR(&stream));
  c.p = c.end - stream.bytes_left;
  return true;
}

// pb_decode_varint32 (tags, lengths, singular booleans): one byte (most tags and lengths) inline,
// values under 2^28 here, longer ones by nanopb.
inline bool readVarint32(Cursor& c, uint32_t* value) {
  if (c.p < c.end && *c.p < 0x80) [[likely]] {
    *value = *c.p++;
    return true;
  }
  return readLongVarint<uint32_t, 4, pb_decode_varint32>(c, value);
}

// pb_decode_varint: up to nine bytes here, the tenth byte's overflow rule nanopb's.
inline bool readVarint64(Cursor& c, uint64_t* value) {
  if (c.p < c.end && *c.p < 0x80) [[likely]] {
    *value = *c.p++;
    return true;
  }
  return readLongVarint<uint64_t, 9, pb_decode_varint>(c, value);
}

bool readFixed(Cursor& c, size_t width, uint64_t* value) {
  if (c.left() < width) return c.fail("end-of-stream");
  uint64_t bits = 0;
  for (size_t i = 0; i < width; ++i) bits |= static_cast<uint64_t>(c.p[i]) << (8 * i);
  c.p += width;
  *value = bits;
  return true;
}

// A length-delimited value: its bytes stay in the input, the cursor moves past them.
bool readDelimited(Cursor& c, Cursor* value) {
  uint32_t length;
  if (!readVarint32(c, &length)) return false;
  if (length > c.left()) return c.fail("parent stream too short");
  *value = Cursor{c.p, c.p + length};
  c.p += length;
  return true;
}

// pb_skip_field.
bool skipValue(Cursor& c, uint8_t wireType) {
  switch (wireType) {
    case kWireVarint:
      while (c.p < c.end && (*c.p & 0x80) != 0) ++c.p;
      if (c.p == c.end) return c.fail("end-of-stream");
      ++c.p;
      return true;
    case kWire64Bit:
    case kWire32Bit: {
      size_t width = wireType == kWire64Bit ? 8 : 4;
      if (c.left() < width) return c.fail("end-of-stream");
      c.p += width;
      return true;
    }
    case kWireString: {
      Cursor skipped;
      return readDelimited(c, &skipped);
    }
    default:
      return c.fail("invalid wire_type");
  }
}

// A tag and wire type; a tag of 0 is an error, as in nanopb.
bool readKey(Cursor& c, uint32_t* tag, uint8_t* wireType) {
  uint32_t key;
  if (!readVarint32(c, &key)) return false;
  *tag = key >> 3;
  *wireType = static_cast<uint8_t>(key & 7);
  if (*tag == 0) return c.fail("zero tag");
  return true;
}

// A singular varint as nanopb holds it in its structure's member of dataSize bytes, refusing
// values that do not fit (signed fields are first cast to 32 bits when narrower than 8 bytes,
// which always fits a 4-byte member), then as the record keeps it: the 32 bits of a 4-byte
// member, narrower members read back signed and kept as 32 bits.
bool heldVarint(Op op, uint8_t dataSize, uint64_t value, uint64_t* cell) {
  if (dataSize == 8) {
    *cell = value;
    return true;
  }
  const int shift = 64 - 8 * dataSize;
  uint64_t member = (value << shift) >> shift;
  int64_t memberSigned = static_cast<int64_t>(value << shift) >> shift;
  bool fits = op == Op::kUVarint
                  ? member == value
                  : memberSigned == static_cast<int32_t>(static_cast<uint32_t>(value));
  *cell = dataSize == 4 ? member : static_cast<uint32_t>(static_cast<int32_t>(memberSigned));
  return fits;
}

// One decode: the arena its records live in, and its memory budget (see
// kNANODecodeBytesPerInputByte). Every allocation is charged before it is made: the root record,
// the arena's blocks (nested records and slot arrays), lists and string bytes for as long as
// they are kept, the per-slot counters of large messages while their level is decoded. Only the
// log lines of a failure are not counted.
class Decoder {
 public:
  Decoder(NANOArena& arena, size_t inputLength)
      : arena_(arena), limit_(NANODecodeMemoryLimit(inputLength)), inputLength_(inputLength) {}

  // The root record, on the heap (it will own the arena); null when over budget.
  std::unique_ptr<NANOMessageInfo> newRoot(const NANOMessageLayout& layout) {
    if (!charge(sizeof(NANOMessageInfo))) return nullptr;
    return std::make_unique<NANOMessageInfo>(layout);
  }

  // Decodes one message's bytes into the record. depth counts the levels of repeated message
  // fields above it (singular sub-messages are part of their parent's level, as on encoding).
  // A failure is logged once, under this record's name, with the reason found at any depth of
  // its singular sub-messages.
  bool decodeMessage(NANOMessageInfo& info, Cursor c, int depth);

 private:
  bool charge(size_t bytes) {
    if (!exceeded_ && bytes <= limit_ - used_) {
      used_ += bytes;
      return true;
    }
    if (!exceeded_) {
      exceeded_ = true;
      NANOLog(
          "Unable to process proto stream. Decoding needs more than %zu bytes of memory for %zu "
          "bytes of input",
          limit_, inputLength_);
    }
    return false;
  }
  void refund(size_t bytes) { used_ -= bytes; }

  // Whether the arena may take bytes: true when they fit in its block or the next block is
  // charged.
  bool chargeArena(size_t bytes) {
    size_t block = arena_.nextBlockBytes(bytes);
    return block == 0 || charge(block);
  }

  // A nested record in the arena, owned by the returned pointer; null when over budget.
  NANORecordPtr newRecord(const NANOMessageLayout& layout) {
    if (!chargeArena(sizeof(NANOMessageInfo))) return nullptr;
    return NANORecordPtr(NANOMessageInfo::createIn(arena_, layout));
  }

  // A slot to write; the record's slots are made in the arena when it is the first (null when
  // over budget).
  NANOSlot* writableSlot(NANOMessageInfo& info, uint32_t index) {
    if (!info.hasSlots() && !chargeArena(info.slotCount() * sizeof(NANOSlot))) return nullptr;
    return &info.slotIn(arena_, index);
  }

  // Room for one more element; the lists were reserved at the counted size, so growth (only a
  // singular sub-message that occurs twice causes it) is charged as the list grows.
  bool roomForOne(NANOSlot& slot) {
    if (slot.items.size() < slot.items.capacity()) return true;
    size_t grown = slot.items.empty() ? 1 : 2 * slot.items.size();
    if (!charge(grown * sizeof(NANOCell))) return false;
    slot.items.reserve(grown);
    return true;
  }

  // The fields of one record; its singular sub-messages are read in the same call chain, so
  // their failures are reported under the name of the record decodeMessage was given.
  bool decodeFields(NANOMessageInfo& info, Cursor c, int depth);
  // Logs the failure under that name and answers false.
  bool failed(const char* why);
  bool reserveLists(NANOMessageInfo& info, const DecodePlan& plan, Cursor c);
  bool countLists(NANOMessageInfo& info, const DecodePlan& plan, Cursor c, uint32_t* counts);
  bool decodeString(NANOMessageInfo& info, uint32_t index, Cursor& c);
  bool decodeRepeated(NANOMessageInfo& info, const SlotStep& step, uint32_t index, uint8_t wireType,
                      Cursor& c, int depth);
  bool appendStringCell(NANOSlot& slot, const Cursor& value);

  NANOArena& arena_;
  size_t limit_;
  size_t used_ = 0;
  size_t inputLength_;
  bool exceeded_ = false;
  const char* unitName_ = "";
};

bool Decoder::failed(const char* why) {
  NANOLog("<ERROR> %s decoder failed: %s", unitName_, why != nullptr ? why : "(none)");
  return false;
}

bool stringTooLong(size_t length) {
  if (length <= kNANOMaxStringLength) return false;
  NANOLog("Unable to process proto stream. Buffer is too big. %zu > %d", length,
          static_cast<int>(kNANOMaxStringLength));
  return true;
}

// The counters of the pass below: on the stack for most messages, else on the heap, charged
// while this level is counted.
bool Decoder::reserveLists(NANOMessageInfo& info, const DecodePlan& plan, Cursor c) {
  const NANOMessageLayout& layout = info.layout();
  if (layout.slotCount <= 64) {
    uint32_t counts[64] = {};
    return countLists(info, plan, c, counts);
  }
  size_t bytes = layout.slotCount * sizeof(uint32_t);
  if (!charge(bytes)) return false;
  std::vector<uint32_t> counts(layout.slotCount, 0);
  bool ok = countLists(info, plan, c, counts.data());
  refund(bytes);
  return ok;
}

// A shallow pass over the rest of the level (tags only; sub-messages are skipped by length): the
// elements of each repeated field are counted (packed runs element by element), so that every
// list is allocated once at its final size and charged before it is. Malformed input ends the
// count; the decoding pass reports it.
bool Decoder::countLists(NANOMessageInfo& info, const DecodePlan& plan, Cursor c,
                         uint32_t* counts) {
  const NANOMessageLayout& layout = info.layout();
  while (c.p < c.end) {
    uint32_t tag;
    uint8_t wireType;
    if (!readKey(c, &tag, &wireType)) break;
    int index = layout.slotOfTag(tag);
    Op op = index >= 0 ? plan.slots[index].op : Op::kSkip;
    if (isRepeated(op)) {
      if (wireType == kWireString && isRepeatedScalar(op)) {
        Cursor run;
        if (!readDelimited(c, &run)) break;
        if (op == Op::kRepeatedVarint) {
          for (const uint8_t* b = run.p; b < run.end; ++b) counts[index] += *b < 0x80 ? 1 : 0;
        } else {
          counts[index] += static_cast<uint32_t>(run.left() / (op == Op::kRepeatedFixed32 ? 4 : 8));
        }
        continue;
      }
      ++counts[index];
    }
    if (!skipValue(c, wireType)) break;
  }
  for (uint32_t slot = 0; slot < layout.slotCount; ++slot) {
    if (counts[slot] == 0) continue;
    NANOSlot* writable = writableSlot(info, slot);
    if (writable == nullptr || !charge(counts[slot] * sizeof(NANOCell))) return false;
    writable->items.reserve(writable->items.size() + counts[slot]);
  }
  return true;
}

bool Decoder::appendStringCell(NANOSlot& slot, const Cursor& value) {
  if (stringTooLong(value.left()) || !charge(value.left() + 1) || !roomForOne(slot)) return false;
  slot.items.emplace_back().bytes.assign(reinterpret_cast<const char*>(value.p), value.left());
  return true;
}

// A singular string or bytes field: the first occurrence in the input wins; later ones are
// skipped.
bool Decoder::decodeString(NANOMessageInfo& info, uint32_t index, Cursor& c) {
  Cursor value;
  if (!readDelimited(c, &value)) return failed(c.error);
  NANOSlot* slot = writableSlot(info, index);
  if (slot == nullptr) return failed("out of memory budget");
  if (slot->present) return true;
  if (stringTooLong(value.left())) return failed("callback failed");
  if (!charge(value.left() + 1)) return failed("out of memory budget");  // and a zero
  slot->cell.bytes.assign(reinterpret_cast<const char*>(value.p), value.left());
  slot->present = true;
  return true;
}

// One occurrence of a repeated field: one element, or a packed run of them.
bool Decoder::decodeRepeated(NANOMessageInfo& info, const SlotStep& step, uint32_t index,
                             uint8_t wireType, Cursor& c, int depth) {
  NANOSlot* slot = writableSlot(info, index);
  if (slot == nullptr) return failed("out of memory budget");
  if (step.op == Op::kRepeatedMessage) {
    Cursor value;
    if (!readDelimited(c, &value)) return failed(c.error);
    const NANOMessageLayout& element = *step.message;
    auto record = newRecord(element);
    if (record == nullptr || !roomForOne(*slot)) return failed("out of memory budget");
    if (!decodeMessage(*record, value, depth + 1)) {
      NANOLog("<ERROR> %s decoder failed: Unable to decode repeated %s", element.name,
              element.name);
      return failed("callback failed");
    }
    slot->items.emplace_back().message = std::move(record);
    return true;
  }
  if (step.op == Op::kRepeatedString) {
    Cursor value;
    if (!readDelimited(c, &value)) return failed(c.error);
    if (!appendStringCell(*slot, value)) return failed("callback failed");
    return true;
  }
  // Numbers, one or a packed run. A run is read element by element to its end; an empty one
  // fails, as nanopb reads at least one element from it.
  Cursor run;
  Cursor* from = &c;
  if (wireType == kWireString) {
    if (!readDelimited(c, &run)) return failed(c.error);
    from = &run;
  }
  do {
    uint64_t value = 0;
    bool read = step.op == Op::kRepeatedVarint
                    ? readVarint64(*from, &value)
                    : readFixed(*from, step.op == Op::kRepeatedFixed32 ? 4 : 8, &value);
    if (!read) return failed(from->error);
    if (!roomForOne(*slot)) return failed("out of memory budget");
    slot->items.emplace_back().scalar = value;
  } while (from == &run && run.p < run.end);
  return true;
}

bool Decoder::decodeMessage(NANOMessageInfo& info, Cursor c, int depth) {
  if (depth > kNANOMaxNestingDepth) {
    NANOLog("<ERROR> %s decoder failed: messages nested deeper than %d levels", info.name(),
            kNANOMaxNestingDepth);
    return false;
  }
  const char* outer = unitName_;
  unitName_ = info.name();
  bool decoded = decodeFields(info, c, depth);
  unitName_ = outer;
  return decoded;
}

bool Decoder::decodeFields(NANOMessageInfo& info, Cursor c, int depth) {
  const NANOMessageLayout& layout = info.layout();
  const DecodePlan* plan = planOf(layout);
  if (plan == nullptr) {
    NANOLog("<ERROR> %s decoder failed: Unable to set decoders", unitName_);
    return false;
  }
  // The lists are counted when the first element of any of them comes: none comes before it,
  // and a level without elements (most parameters) is read once.
  bool counted = !plan->hasRepeated;
  while (c.p < c.end) {
    const uint8_t* field = c.p;
    uint32_t tag;
    uint8_t wireType;
    if (!readKey(c, &tag, &wireType)) return failed(c.error);
    int index = layout.slotOfTag(tag);
    if (index < 0 || plan->slots[index].op == Op::kSkip) {
      if (!skipValue(c, wireType)) return failed(c.error);
      continue;
    }
    const SlotStep& step = plan->slots[index];
    auto slotIndex = static_cast<uint32_t>(index);
    // A known field on another wire type fails: nanopb would hand such a value to a string or
    // list callback as if it were its payload, turning a number into text.
    if (wireType != step.wireType && !(wireType == kWireString && isRepeatedScalar(step.op))) {
      return failed("wrong wire type");
    }
    switch (step.op) {
      case Op::kString:
        if (!decodeString(info, slotIndex, c)) return false;
        break;
      case Op::kMessage: {
        Cursor value;
        if (!readDelimited(c, &value)) return failed(c.error);
        NANOSlot* slot = writableSlot(info, slotIndex);
        if (slot == nullptr) return failed("out of memory budget");
        if (slot->cell.message == nullptr) {
          slot->cell.message = newRecord(*step.message);
          if (slot->cell.message == nullptr) return failed("out of memory budget");
        }
        slot->present = true;
        // Its own failure is already the line of this record.
        if (!decodeFields(*slot->cell.message, value, depth)) return false;
        break;
      }
      case Op::kBool:
      case Op::kVarint:
      case Op::kUVarint:
      case Op::kFixed32:
      case Op::kFixed64: {
        uint64_t cell = 0;
        if (step.op == Op::kBool) {
          uint32_t value;
          if (!readVarint32(c, &value)) return failed(c.error);
          cell = value != 0 ? 1 : 0;
        } else if (step.op == Op::kFixed32 || step.op == Op::kFixed64) {
          if (!readFixed(c, step.op == Op::kFixed32 ? 4 : 8, &cell)) return failed(c.error);
        } else {
          uint64_t value;
          if (!readVarint64(c, &value)) return failed(c.error);
          if (!heldVarint(step.op, step.dataSize, value, &cell)) {
            return failed("integer too large");
          }
        }
        NANOSlot* slot = writableSlot(info, slotIndex);
        if (slot == nullptr) return failed("out of memory budget");
        slot->present = true;
        slot->cell.scalar = cell;
        break;
      }
      default:
        if (!counted) {
          counted = true;
          if (!reserveLists(info, *plan, Cursor{field, c.end})) {
            return failed("out of memory budget");
          }
        }
        if (!decodeRepeated(info, step, slotIndex, wireType, c, depth)) return false;
        break;
    }
  }
  return true;
}

}  // namespace

size_t NANODecodeMemoryLimit(size_t length) {
  if (length > (SIZE_MAX - kNANODecodeFixedBytes) / kNANODecodeBytesPerInputByte) return SIZE_MAX;
  return kNANODecodeBytesPerInputByte * length + kNANODecodeFixedBytes;
}

std::unique_ptr<NANOMessageInfo> NANODecode(const NANOMessageLayout& layout, const uint8_t* bytes,
                                            size_t length) {
  static const uint8_t kEmpty = 0;
  if (bytes == nullptr) {
    bytes = &kEmpty;
    length = 0;
  }
  // Declared before the root, so that a root dropped on failure goes before the arena.
  auto arena = std::make_unique<NANOArena>();
  Decoder decoder(*arena, length);
  auto info = decoder.newRoot(layout);
  if (info == nullptr) return nullptr;
  if (!decoder.decodeMessage(*info, Cursor{bytes, bytes + length}, 1)) return nullptr;
  if (arena->blockBytes() > 0) info->adoptArena(std::move(arena));
  return info;
}
