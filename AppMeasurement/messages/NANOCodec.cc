#include "AppMeasurement/messages/NANOCodec.h"

#include <pb_common.h>
#include <pb_decode.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "AppMeasurement/messages/NANOLog.h"

namespace {

// Nesting depth of the decode running on this thread; each message level counts one.
thread_local int tNestingDepth = 0;

// The memory the decode running on this thread may still take (see kNANODecodeBytesPerInputByte).
// Every allocation is charged before it is made: records, slot arrays, lists and string bytes
// for as long as they are kept, nanopb's structures and field counters of large messages while
// their level is decoded. Only the log lines of a failure are not counted.
struct DecodeBudget {
  size_t limit = 0;
  size_t used = 0;
  size_t inputLength = 0;
  bool exceeded = false;
};
thread_local DecodeBudget* tBudget = nullptr;

// Charges bytes to the running decode; false (logged once per decode) when over the limit.
bool charge(size_t bytes) {
  DecodeBudget* budget = tBudget;
  if (budget == nullptr) return true;
  if (!budget->exceeded && bytes <= budget->limit - budget->used) {
    budget->used += bytes;
    return true;
  }
  if (!budget->exceeded) {
    budget->exceeded = true;
    NANOLog(
        "Unable to process proto stream. Decoding needs more than %zu bytes of memory for %zu "
        "bytes of input",
        budget->limit, budget->inputLength);
  }
  return false;
}

void refund(size_t bytes) {
  if (tBudget != nullptr) tBudget->used -= bytes;
}

// A new empty record, charged to the decode (null when over budget).
std::unique_ptr<NANOMessageInfo> newRecord(const NANOMessageLayout& layout) {
  if (!charge(sizeof(NANOMessageInfo))) return nullptr;
  return std::make_unique<NANOMessageInfo>(layout);
}

// A slot to write, charging the record's slot array when it is the first (null when over
// budget).
NANOSlot* writableSlot(NANOMessageInfo& info, uint32_t index) {
  if (!info.hasSlots() && !charge(NANOMessageInfo::slotBytes(info.layout()))) return nullptr;
  return &info.slot(index);
}

// What setDecoders charged for a record and the nested records it made for singular
// sub-messages, refunded when nanopb found the sub-message absent and the records are dropped.
size_t unusedRecordBytes(const NANOMessageInfo& info) {
  size_t bytes = sizeof(NANOMessageInfo);
  if (!info.hasSlots()) return bytes;
  bytes += NANOMessageInfo::slotBytes(info.layout());
  for (uint32_t i = 0; i < info.slotCount(); ++i) {
    if (const NANOMessageInfo* nested = info.slot(i).cell.message.get()) {
      bytes += unusedRecordBytes(*nested);
    }
  }
  return bytes;
}

class DepthGuard {
 public:
  DepthGuard() : ok_(++tNestingDepth <= kNANOMaxNestingDepth) {}
  ~DepthGuard() { --tNestingDepth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// A zeroed nanopb structure of a message: small ones live on the stack, large ones are charged
// to the running decode while they live. data() is null when the budget refused it.
class StructBuffer {
 public:
  explicit StructBuffer(size_t size) {
    if (size <= sizeof(local_)) {
      std::memset(local_, 0, size);
      data_ = local_;
    } else if (charge(size)) {
      charged_ = size;
      heap_.reset(new unsigned char[size]());
      data_ = heap_.get();
    }
  }
  ~StructBuffer() { refund(charged_); }
  StructBuffer(const StructBuffer&) = delete;
  StructBuffer& operator=(const StructBuffer&) = delete;
  void* data() { return data_; }

 private:
  alignas(16) unsigned char local_[384];
  std::unique_ptr<unsigned char[]> heap_;
  void* data_ = nullptr;
  size_t charged_ = 0;
};

const pb_msgdesc_t* descriptorOf(const NANOMessageLayout& layout) {
  return reinterpret_cast<const pb_msgdesc_t*>(layout.nanopbFields);
}

bool decodeInto(NANOMessageInfo& info, pb_istream_t* stream);

// Reads the rest of a string substream into a cell.
bool decodeStringCell(pb_istream_t* stream, NANOCell& cell) {
  size_t length = stream->bytes_left;
  if (length > kNANOMaxStringLength) {
    NANOLog("Unable to process proto stream. Buffer is too big. %zu > %d", length,
            static_cast<int>(kNANOMaxStringLength));
    return false;
  }
  if (!charge(length + 1)) return false;  // and the terminating zero
  cell.bytes.resize(length);
  if (!pb_read(stream, reinterpret_cast<pb_byte_t*>(cell.bytes.data()), length)) {
    cell.bytes.clear();
    return false;
  }
  return true;
}

NANOSlot* slotOfField(NANOMessageInfo* info, const pb_field_t* field, uint32_t* code) {
  int slot = info->layout().slotOfTag(field->tag);
  if (slot < 0) return nullptr;
  *code = info->codes()[slot];
  return writableSlot(*info, static_cast<uint32_t>(slot));
}

// A singular string or bytes field. The first occurrence in the input wins; later ones are
// skipped.
bool decodeSingularString(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  uint32_t code = 0;
  NANOSlot* slot = slotOfField(static_cast<NANOMessageInfo*>(*arg), field, &code);
  if (slot == nullptr) return false;
  if (slot->present) return pb_read(stream, nullptr, stream->bytes_left);
  if (!decodeStringCell(stream, slot->cell)) return false;
  slot->present = true;
  return true;
}

// One element of a repeated field (nanopb calls it once per element, packed or not).
bool decodeRepeated(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  auto* info = static_cast<NANOMessageInfo*>(*arg);
  uint32_t code = 0;
  NANOSlot* slot = slotOfField(info, field, &code);
  if (slot == nullptr) return false;
  // The list was reserved at the size the first pass counted; growth past it (which only a
  // malformed count could cause) is charged as the vector grows.
  if (slot->items.size() == slot->items.capacity()) {
    size_t grown = slot->items.empty() ? 1 : 2 * slot->items.size();
    if (!charge(grown * sizeof(NANOCell))) return false;
    slot->items.reserve(grown);
  }
  if (code & kNANOCodeMessage) {
    const NANOMessageLayout* element =
        info->layout().fields[info->layout().slotOfTag(field->tag)].message;
    auto record = newRecord(*element);
    if (record == nullptr) return false;
    if (!decodeInto(*record, stream)) {
      NANOLog("<ERROR> %s decoder failed: Unable to decode repeated %s", element->name,
              element->name);
      return false;
    }
    slot->items.emplace_back().message = std::move(record);
    return true;
  }
  if (code & (kNANOCodeString | kNANOCodeBytes)) {
    NANOCell cell;
    if (!decodeStringCell(stream, cell)) return false;
    slot->items.push_back(std::move(cell));
    return true;
  }
  uint64_t value = 0;
  if (code & kNANOCodeFloat) {
    uint32_t bits = 0;
    if (!pb_decode_fixed32(stream, &bits)) return false;
    value = bits;
  } else if (code & kNANOCodeDouble) {
    if (!pb_decode_fixed64(stream, &value)) return false;
  } else if (!pb_decode_varint(stream, &value)) {
    return false;
  }
  slot->items.emplace_back().scalar = value;
  return true;
}

bool isStringKind(uint32_t code) { return (code & (kNANOCodeString | kNANOCodeBytes)) != 0; }

// One field of nanopb's structure of a message, as the decoder uses it: where its member and
// presence flag are, and which slot of the record it fills.
struct FieldStep {
  enum Kind : uint8_t { kRepeatedCallback, kStringCallback, kSubMessage, kScalar };
  Kind kind;
  uint8_t ltype;     // nanopb's PB_LTYPE of a scalar
  uint8_t dataSize;  // bytes of a scalar's member
  uint32_t slot;
  size_t dataOffset;  // of the member (the callback, the nested structure, the value)
  size_t flagOffset;  // of the presence flag of a sub-message or scalar
  const NANOMessageLayout* sub;
};

// The fields of one message in nanopb's order. Null when nanopb's field table and the layout
// disagree, which fails every decode of the message.
struct DecodePlan {
  std::vector<FieldStep> steps;
};

const DecodePlan* makePlan(const NANOMessageLayout& layout) {
  auto plan = std::make_unique<DecodePlan>();
  std::vector<unsigned char> structure(layout.nanopbStructSize + 1);
  auto* base = structure.data();
  pb_field_iter_t it;
  if (!pb_field_iter_begin(&it, descriptorOf(layout), base)) return nullptr;
  do {
    int index = layout.slotOfTag(it.tag);
    if (index < 0) return nullptr;
    uint32_t code = layout.codes[index];
    FieldStep step{};
    step.slot = static_cast<uint32_t>(index);
    step.dataOffset = static_cast<size_t>(static_cast<unsigned char*>(it.pData) - base);
    if (PB_ATYPE(it.type) == PB_ATYPE_CALLBACK) {
      if (code & kNANOCodeRepeated) {
        step.kind = FieldStep::kRepeatedCallback;
      } else if (isStringKind(code)) {
        step.kind = FieldStep::kStringCallback;
      } else {
        return nullptr;
      }
    } else if (PB_ATYPE(it.type) != PB_ATYPE_STATIC || PB_HTYPE(it.type) != PB_HTYPE_OPTIONAL ||
               (code & kNANOCodeRepeated) || isStringKind(code)) {
      return nullptr;
    } else if (PB_LTYPE_IS_SUBMSG(it.type)) {
      const NANOMessageLayout* sub = layout.fields[index].message;
      if (!(code & kNANOCodeMessage) || sub == nullptr || descriptorOf(*sub) != it.submsg_desc) {
        return nullptr;
      }
      step.kind = FieldStep::kSubMessage;
      step.sub = sub;
      step.flagOffset = static_cast<size_t>(static_cast<unsigned char*>(it.pSize) - base);
    } else if (code & kNANOCodeMessage) {
      return nullptr;
    } else {
      step.kind = FieldStep::kScalar;
      step.ltype = static_cast<uint8_t>(PB_LTYPE(it.type));
      step.dataSize = static_cast<uint8_t>(it.data_size);
      step.flagOffset = static_cast<size_t>(static_cast<unsigned char*>(it.pSize) - base);
    }
    plan->steps.push_back(step);
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

// Points nanopb's structure at the record: callbacks for strings and repeated fields, and a
// fresh nested record for each singular sub-message. Fails when nanopb's field table and the
// layout disagree.
bool setDecoders(NANOMessageInfo& info, void* structure) {
  const DecodePlan* plan = planOf(info.layout());
  if (plan == nullptr) return false;
  auto* base = static_cast<unsigned char*>(structure);
  for (const FieldStep& step : plan->steps) {
    switch (step.kind) {
      case FieldStep::kRepeatedCallback:
      case FieldStep::kStringCallback: {
        auto* callback = reinterpret_cast<pb_callback_t*>(base + step.dataOffset);
        callback->funcs.decode =
            step.kind == FieldStep::kRepeatedCallback ? decodeRepeated : decodeSingularString;
        callback->arg = &info;
        break;
      }
      case FieldStep::kSubMessage: {
        // nanopb decodes singular sub-messages inline, so their records must exist beforehand;
        // copyScalars drops (and refunds) the ones that stay absent.
        NANOSlot* slot = writableSlot(info, step.slot);
        if (slot == nullptr) return false;
        slot->present = false;
        slot->cell = NANOCell();
        slot->cell.message = newRecord(*step.sub);
        if (slot->cell.message == nullptr ||
            !setDecoders(*slot->cell.message, base + step.dataOffset)) {
          return false;
        }
        break;
      }
      case FieldStep::kScalar:
        break;
    }
  }
  return true;
}

uint64_t readScalar(const FieldStep& step, const unsigned char* data) {
  switch (step.ltype) {
    case PB_LTYPE_BOOL:
      return *reinterpret_cast<const bool*>(data) ? 1 : 0;
    case PB_LTYPE_FIXED32: {
      uint32_t bits;
      std::memcpy(&bits, data, sizeof bits);
      return bits;
    }
    case PB_LTYPE_FIXED64: {
      uint64_t bits;
      std::memcpy(&bits, data, sizeof bits);
      return bits;
    }
    default:
      break;
  }
  // Varints: 32-bit values are kept zero-extended.
  switch (step.dataSize) {
    case 1:
      return static_cast<uint32_t>(static_cast<int32_t>(*reinterpret_cast<const int8_t*>(data)));
    case 2: {
      int16_t v;
      std::memcpy(&v, data, sizeof v);
      return static_cast<uint32_t>(static_cast<int32_t>(v));
    }
    case 4: {
      uint32_t v;
      std::memcpy(&v, data, sizeof v);
      return v;
    }
    default: {
      uint64_t v;
      std::memcpy(&v, data, sizeof v);
      return v;
    }
  }
}

// After decoding: present scalars into their cells, present sub-messages' scalars into the
// nested records, absent sub-messages released. False when the budget runs out.
bool copyScalars(NANOMessageInfo& info, const void* structure) {
  const DecodePlan* plan = planOf(info.layout());  // made by setDecoders
  const auto* base = static_cast<const unsigned char*>(structure);
  for (const FieldStep& step : plan->steps) {
    if (step.kind != FieldStep::kSubMessage && step.kind != FieldStep::kScalar) continue;
    bool has = *reinterpret_cast<const bool*>(base + step.flagOffset);
    if (step.kind == FieldStep::kSubMessage) {
      NANOSlot& slot = info.slot(step.slot);  // allocated by setDecoders
      if (has) {
        slot.present = true;
        if (!copyScalars(*slot.cell.message, base + step.dataOffset)) return false;
      } else {
        slot.present = false;
        if (slot.cell.message) refund(unusedRecordBytes(*slot.cell.message));
        slot.cell = NANOCell();
      }
    } else if (has) {
      NANOSlot* slot = writableSlot(info, step.slot);
      if (slot == nullptr) return false;
      slot->present = true;
      slot->cell.scalar = readScalar(step, base + step.dataOffset);
    }
  }
  return true;
}

// Whether the wire type can carry a field of the code. Repeated scalars may also come packed.
bool wireTypeFits(uint32_t code, pb_wire_type_t wireType) {
  if (code & (kNANOCodeString | kNANOCodeBytes | kNANOCodeMessage)) return wireType == PB_WT_STRING;
  if ((code & kNANOCodeRepeated) && wireType == PB_WT_STRING) return true;
  if (code & kNANOCodeFloat) return wireType == PB_WT_32BIT;
  if (code & kNANOCodeDouble) return wireType == PB_WT_64BIT;
  return wireType == PB_WT_VARINT;
}

bool isLengthDelimited(uint32_t code) {
  return (code & (kNANOCodeString | kNANOCodeBytes | kNANOCodeMessage)) != 0;
}

// Adds the number of elements of a packed run to *count (a varint ends at each byte under 0x80).
bool countPacked(uint32_t code, pb_istream_t* run, uint32_t* count) {
  if (code & (kNANOCodeFloat | kNANOCodeDouble)) {
    *count += static_cast<uint32_t>(run->bytes_left / ((code & kNANOCodeFloat) ? 4 : 8));
    return pb_read(run, nullptr, run->bytes_left);
  }
  pb_byte_t chunk[256];
  while (run->bytes_left > 0) {
    size_t n = run->bytes_left < sizeof chunk ? run->bytes_left : sizeof chunk;
    if (!pb_read(run, chunk, n)) return false;
    for (size_t i = 0; i < n; ++i) *count += chunk[i] < 0x80 ? 1 : 0;
  }
  return true;
}

// The first pass reads every tag of a level once more than nanopb does. nanopb reads a byte
// at a time through its stream's callback; on the memory streams every decode here runs on, the
// common cases (tags and lengths of up to four bytes, values to skip) are read from the bytes
// directly. Anything else goes to nanopb's own functions, so both read the input alike.
bool isMemoryStream(const pb_istream_t& stream) {
  static const auto kBufferRead = pb_istream_from_buffer(nullptr, 0).callback;
  return stream.callback == kBufferRead;
}

const uint8_t* streamBytes(const pb_istream_t& stream) {
  return static_cast<const uint8_t*>(stream.state);
}

void advance(pb_istream_t& stream, size_t count) {
  stream.state = const_cast<uint8_t*>(streamBytes(stream) + count);
  stream.bytes_left -= count;
}

// A varint of at most four bytes (under 2^28) read straight from a memory stream; false, with
// the stream unchanged, for any other.
bool shortVarint(pb_istream_t& stream, uint32_t* value) {
  if (!isMemoryStream(stream)) return false;
  const uint8_t* bytes = streamBytes(stream);
  size_t available = stream.bytes_left < 4 ? stream.bytes_left : 4;
  uint32_t result = 0;
  for (size_t i = 0; i < available; ++i) {
    result |= static_cast<uint32_t>(bytes[i] & 0x7F) << (7 * i);
    if ((bytes[i] & 0x80) == 0) {
      advance(stream, i + 1);
      *value = result;
      return true;
    }
  }
  return false;
}

// pb_decode_tag: a tag of 0 ends the message.
bool scanTag(pb_istream_t& stream, pb_wire_type_t* wireType, uint32_t* tag, bool* eof) {
  uint32_t value;
  if (!shortVarint(stream, &value)) return pb_decode_tag(&stream, wireType, tag, eof);
  *eof = value == 0;
  if (*eof) return false;
  *wireType = static_cast<pb_wire_type_t>(value & 7);
  *tag = value >> 3;
  return true;
}

// pb_skip_field.
bool scanSkip(pb_istream_t& stream, pb_wire_type_t wireType) {
  if (!isMemoryStream(stream)) return pb_skip_field(&stream, wireType);
  const uint8_t* bytes = streamBytes(stream);
  size_t count = 0;
  switch (wireType) {
    case PB_WT_VARINT:
      while (count < stream.bytes_left && (bytes[count] & 0x80) != 0) ++count;
      if (count == stream.bytes_left) return false;
      ++count;
      break;
    case PB_WT_64BIT:
      count = 8;
      break;
    case PB_WT_32BIT:
      count = 4;
      break;
    case PB_WT_STRING: {
      uint32_t length;
      if (!shortVarint(stream, &length)) return pb_skip_field(&stream, wireType);
      count = length;
      break;
    }
    default:
      return false;
  }
  if (stream.bytes_left < count) return false;
  advance(stream, count);
  return true;
}

bool countAndReserve(NANOMessageInfo& info, pb_istream_t stream, uint32_t* counts);

// The pass below with its per-slot counters: on the stack for most messages, else on the heap,
// charged while this level is scanned.
bool scanFields(NANOMessageInfo& info, pb_istream_t stream) {
  const NANOMessageLayout& layout = info.layout();
  if (layout.slotCount <= 64) {
    uint32_t counts[64];
    std::fill_n(counts, layout.slotCount, 0u);
    return countAndReserve(info, stream, counts);
  }
  size_t bytes = layout.slotCount * sizeof(uint32_t);
  if (!charge(bytes)) return false;
  std::vector<uint32_t> counts(layout.slotCount, 0);
  bool ok = countAndReserve(info, stream, counts.data());
  refund(bytes);
  return ok;
}

// A first, shallow pass over a copy of the stream (tags only; repeated sub-messages are skipped
// by length, singular ones are entered since nanopb decodes them inline):
//  - a known field on the wrong wire type fails the decode. nanopb would hand such a value to
//    a string or list callback as if it were its payload, turning a number into text;
//  - the elements of each repeated field are counted (packed runs element by element), so that
//    every list is allocated once at its final size and charged to the budget before it is.
bool countAndReserve(NANOMessageInfo& info, pb_istream_t stream, uint32_t* counts) {
  const NANOMessageLayout& layout = info.layout();
  while (stream.bytes_left > 0) {
    pb_wire_type_t wireType;
    uint32_t tag;
    bool eof;
    if (!scanTag(stream, &wireType, &tag, &eof) || eof) break;
    int slot = layout.slotOfTag(tag);
    if (slot >= 0) {
      uint32_t code = layout.codes[slot];
      if (!wireTypeFits(code, wireType)) {
        NANOLog("<ERROR> %s decoder failed: wrong wire type for field %s", info.name(),
                layout.fields[slot].name);
        return false;
      }
      if ((code & kNANOCodeRepeated) && wireType == PB_WT_STRING && !isLengthDelimited(code)) {
        pb_istream_t substream;
        if (!pb_make_string_substream(&stream, &substream)) break;
        if (!countPacked(code, &substream, &counts[slot])) break;
        if (!pb_close_string_substream(&stream, &substream)) break;
        continue;
      }
      if (code & kNANOCodeRepeated) {
        ++counts[slot];
      } else if (code & kNANOCodeMessage) {
        NANOMessageInfo* nested = info.slot(static_cast<uint32_t>(slot)).cell.message.get();
        pb_istream_t substream;
        if (!pb_make_string_substream(&stream, &substream)) break;  // pb_decode reports it
        if (nested != nullptr && !scanFields(*nested, substream)) return false;
        if (!pb_close_string_substream(&stream, &substream)) break;
        continue;
      }
    }
    if (!scanSkip(stream, wireType)) break;  // malformed: pb_decode reports it
  }
  for (uint32_t slot = 0; slot < layout.slotCount; ++slot) {
    if (counts[slot] > 0) {
      NANOSlot* writable = writableSlot(info, slot);
      if (writable == nullptr || !charge(counts[slot] * sizeof(NANOCell))) return false;
      writable->items.reserve(writable->items.size() + counts[slot]);
    }
  }
  return true;
}

bool decodeInto(NANOMessageInfo& info, pb_istream_t* stream) {
  DepthGuard depth;
  if (!depth.ok()) {
    NANOLog("<ERROR> %s decoder failed: messages nested deeper than %d levels", info.name(),
            kNANOMaxNestingDepth);
    return false;
  }
  StructBuffer structure(info.layout().nanopbStructSize);
  if (structure.data() == nullptr) return false;
  if (!setDecoders(info, structure.data())) {
    NANOLog("<ERROR> %s decoder failed: Unable to set decoders", info.name());
    return false;
  }
  if (!scanFields(info, *stream)) return false;
  if (!pb_decode_ex(stream, descriptorOf(info.layout()), structure.data(), PB_DECODE_NOINIT)) {
    NANOLog("<ERROR> %s decoder failed: %s", info.name(), PB_GET_ERROR(stream));
    return false;
  }
  if (!copyScalars(info, structure.data())) {
    NANOLog("<ERROR> %s decoder failed: out of memory budget", info.name());
    return false;
  }
  // A record whose fields all stayed absent (slots made only for the records of singular
  // sub-messages) gives its slots back.
  if (info.releaseSlotsIfEmpty()) refund(NANOMessageInfo::slotBytes(info.layout()));
  return true;
}

}  // namespace

size_t NANODecodeMemoryLimit(size_t length) {
  if (length > (SIZE_MAX - kNANODecodeFixedBytes) / kNANODecodeBytesPerInputByte) return SIZE_MAX;
  return kNANODecodeBytesPerInputByte * length + kNANODecodeFixedBytes;
}

std::unique_ptr<NANOMessageInfo> NANODecode(const NANOMessageLayout& layout, const uint8_t* bytes,
                                            size_t length) {
  if (bytes == nullptr) length = 0;
  DecodeBudget budget;
  budget.inputLength = length;
  budget.limit = NANODecodeMemoryLimit(length);
  DecodeBudget* outer = tBudget;
  tBudget = &budget;
  struct Restore {
    DecodeBudget* outer;
    ~Restore() { tBudget = outer; }
  } restore{outer};
  auto info = newRecord(layout);
  if (info == nullptr) return nullptr;
  static const uint8_t kEmpty = 0;
  pb_istream_t stream = pb_istream_from_buffer(bytes != nullptr ? bytes : &kEmpty, length);
  if (!decodeInto(*info, &stream)) return nullptr;
  return info;
}
