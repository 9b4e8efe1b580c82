#include "AppMeasurement/messages/NANO.h"

#include <bit>
#include <cstring>
#include <utility>

#include "AppMeasurement/messages/NANOLog.h"

namespace {

constexpr char kNotInitialized[] =
    "ProtocolBuffer message hasn't been initialized. %s can't be performed";

// The record of the object, or null after logging that the operation cannot be performed.
template <class Message>
auto* recordFor(Message& message, const char* operation) {
  auto* info = message.messageInfo();
  if (info == nullptr) {
    NANOLog(kNotInitialized, operation);
    return decltype(info)(nullptr);
  }
  return info;
}

bool slotInRange(const NANOMessageInfo& info, uint32_t slot) {
  if (slot < info.slotCount()) return true;
  NANOLog("<Nano/Failure> Field index is out of range. Message: %s, field ID: %d", info.name(),
          static_cast<int>(slot));
  return false;
}

bool checkScalar(const NANOMessageInfo& info, uint32_t slot, bool ok, const char* kind) {
  if (ok) return true;
  NANOLog("<Nano/Failure> Field type isn't a scalar %s. Message: %s, field ID: %d", kind,
          info.name(), static_cast<int>(slot));
  return false;
}

bool isBool(uint32_t code) { return (code & 0x28) == 0x20; }
bool isInt32(uint32_t code) { return (code & 0x1C0) != 0 && !(code & kNANOCodeRepeated); }
bool isInt64(uint32_t code) { return (code & 0x600) != 0 && !(code & kNANOCodeRepeated); }
bool isDouble(uint32_t code) { return (code & 0x1008) == 0x1000; }
bool isString(uint32_t code) { return (code & 0x2008) == 0x2000; }
bool isMessage(uint32_t code) { return (code & 0x4008) == 0x4000; }

// The record of a slot after the record, range and type checks, or null.
template <class Message>
auto* checkedRecord(Message& message, uint32_t slot, const char* operation, bool (*test)(uint32_t),
                    const char* kind) {
  auto* info = recordFor(message, operation);
  if (info == nullptr || !slotInRange(*info, slot)) return decltype(info)(nullptr);
  if (!checkScalar(*info, slot, test(info->codes()[slot]), kind)) return decltype(info)(nullptr);
  return info;
}

template <class Message>
auto* repeatedRecord(Message& message, uint32_t slot, const char* operation) {
  auto* info = recordFor(message, operation);
  if (info == nullptr || !slotInRange(*info, slot)) return decltype(info)(nullptr);
  if (!(info->codes()[slot] & kNANOCodeRepeated)) {
    NANOLog("<Nano/Failure> Field type isn't REPEATED. Message: %s, field ID: %d", info->name(),
            static_cast<int>(slot));
    return decltype(info)(nullptr);
  }
  return info;
}

void setScalar(NANOMessageInfo& info, uint32_t slot, uint64_t value) {
  NANOSlot& s = info.slot(slot);
  s.present = true;
  s.cell.scalar = value;
}

}  // namespace

bool NANOIsValidUTF8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

bool NANOHasField(const NANOMessageBase& message, uint32_t slot) {
  const NANOMessageInfo* info = message.messageInfo();
  if (info == nullptr) {
    NANOLog(
        "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
        "Message name %s",
        message.messageID());
    return false;
  }
  if (!slotInRange(*info, slot)) return false;
  if (info->codes()[slot] & kNANOCodeRepeated) return true;
  return info->slot(slot).present;
}

void NANOClearField(NANOMessageBase& message, uint32_t slot) {
  NANOMessageInfo* info = recordFor(message, "ClearField");
  if (info == nullptr) return;
  NANODeallocField(*info, slot);
}

bool NANOGetBool(const NANOMessageBase& message, uint32_t slot) {
  const auto* info = checkedRecord(message, slot, "GetBool", isBool, "BOOL");
  if (info == nullptr || !info->slot(slot).present) return false;
  return info->slot(slot).cell.scalar != 0;
}

void NANOSetBool(NANOMessageBase& message, uint32_t slot, bool value) {
  auto* info = checkedRecord(message, slot, "SetBool", isBool, "BOOL");
  if (info != nullptr) setScalar(*info, slot, value ? 1 : 0);
}

int32_t NANOGetInt32(const NANOMessageBase& message, uint32_t slot) {
  const auto* info = checkedRecord(message, slot, "GetInt32", isInt32, "INT32");
  if (info == nullptr || !info->slot(slot).present) return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(info->slot(slot).cell.scalar));
}

void NANOSetInt32(NANOMessageBase& message, uint32_t slot, int32_t value) {
  auto* info = checkedRecord(message, slot, "SetInt32", isInt32, "INT32");
  if (info != nullptr) setScalar(*info, slot, static_cast<uint32_t>(value));
}

int64_t NANOGetInt64(const NANOMessageBase& message, uint32_t slot) {
  const auto* info = checkedRecord(message, slot, "GetInt64", isInt64, "INT64");
  if (info == nullptr || !info->slot(slot).present) return 0;
  return static_cast<int64_t>(info->slot(slot).cell.scalar);
}

void NANOSetInt64(NANOMessageBase& message, uint32_t slot, int64_t value) {
  auto* info = checkedRecord(message, slot, "SetInt64", isInt64, "INT64");
  if (info != nullptr) setScalar(*info, slot, static_cast<uint64_t>(value));
}

double NANOGetDouble(const NANOMessageBase& message, uint32_t slot) {
  const auto* info = checkedRecord(message, slot, "GetDouble", isDouble, "DOUBLE");
  if (info == nullptr || !info->slot(slot).present) return 0.0;
  return std::bit_cast<double>(info->slot(slot).cell.scalar);
}

void NANOSetDouble(NANOMessageBase& message, uint32_t slot, double value) {
  auto* info = checkedRecord(message, slot, "SetDouble", isDouble, "DOUBLE");
  if (info != nullptr) setScalar(*info, slot, std::bit_cast<uint64_t>(value));
}

std::optional<std::string> NANOGetString(const NANOMessageBase& message, uint32_t slot) {
  const auto* info = checkedRecord(message, slot, "GetString", isString, "STRING");
  if (info == nullptr || !info->slot(slot).present) return std::nullopt;
  const std::string& bytes = info->slot(slot).cell.bytes;
  if (!NANOIsValidUTF8(bytes)) return std::nullopt;
  return bytes;
}

void NANOSetString(NANOMessageBase& message, uint32_t slot, std::optional<std::string_view> value) {
  auto* info = checkedRecord(message, slot, "SetString", isString, "STRING");
  if (info == nullptr) return;
  if (!value) {
    NANODeallocField(*info, slot);
    return;
  }
  NANOSlot& s = info->slot(slot);
  s.present = true;
  s.cell.bytes.assign(value->data(), value->size());
}

const NANOMessageInfo* nano_detail::subMessageRecord(const NANOMessageBase& message,
                                                     uint32_t slot) {
  const auto* info = checkedRecord(message, slot, "GetMessage", isMessage, "MESSAGE");
  if (info == nullptr || !info->slot(slot).present) return nullptr;
  return info->slot(slot).cell.message.get();
}

std::shared_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase& message, uint32_t slot,
                                                const NANOMessageClass* messageClass) {
  const NANOMessageInfo* record = nano_detail::subMessageRecord(message, slot);
  if (record == nullptr) return nullptr;
  if (messageClass == nullptr || messageClass->initWithMessageInfo == nullptr) {
    NANOLog("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
            messageClass != nullptr && messageClass->className ? messageClass->className : "nil");
    return nullptr;
  }
  return messageClass->initWithMessageInfo(record);
}

void NANOSetMessage(NANOMessageBase& message, uint32_t slot, const NANOMessageBase& value) {
  auto* info = checkedRecord(message, slot, "SetMessage", isMessage, "MESSAGE");
  if (info == nullptr) return;
  const NANOMessageInfo* from = value.messageInfo();
  const NANOMessageLayout* expected = info->layout().fields[slot].message;
  if (from == nullptr || &from->layout() != expected) {
    NANOLog("<ERROR> Invalid object type. Message fields expect %s. Type: %s",
            expected ? expected->className : "?", value.className());
    return;
  }
  auto copy = std::make_unique<NANOMessageInfo>(*from);
  NANOSlot& s = info->slot(slot);
  s.cell = NANOCell();
  s.cell.message = std::move(copy);
  s.present = true;
}

const std::vector<NANOCell>* nano_detail::repeatedItems(const NANOMessageBase& message,
                                                        uint32_t slot) {
  const auto* info = repeatedRecord(message, slot, "GetArray");
  if (info == nullptr) return nullptr;
  return &info->slot(slot).items;
}

std::optional<std::vector<NANOObject>> NANOGetArray(const NANOMessageBase& message, uint32_t slot,
                                                    const NANOMessageClass* elementClass) {
  const auto* info = repeatedRecord(message, slot, "GetArray");
  if (info == nullptr) return std::nullopt;
  uint32_t code = info->codes()[slot];
  std::vector<NANOObject> result;
  const auto& items = info->slot(slot).items;
  result.reserve(items.size());
  for (const NANOCell& item : items) {
    uint64_t v = item.scalar;
    if (code & kNANOCodeBool) {
      result.emplace_back(NANONumber::fromBool(v != 0));
    } else if (code & kNANOCodeInt32) {
      result.emplace_back(NANONumber::fromInt32(static_cast<int32_t>(static_cast<uint32_t>(v))));
    } else if (code & kNANOCodeUInt32) {
      result.emplace_back(NANONumber::fromUInt32(static_cast<uint32_t>(v)));
    } else if (code & kNANOCodeInt64) {
      result.emplace_back(NANONumber::fromInt64(static_cast<int64_t>(v)));
    } else if (code & kNANOCodeUInt64) {
      result.emplace_back(NANONumber::fromUInt64(v));
    } else if (code & kNANOCodeFloat) {
      result.emplace_back(NANONumber::fromFloat(std::bit_cast<float>(static_cast<uint32_t>(v))));
    } else if (code & kNANOCodeDouble) {
      result.emplace_back(NANONumber::fromDouble(std::bit_cast<double>(v)));
    } else if (code & kNANOCodeEnum) {
      result.emplace_back(NANONumber::fromInt32(static_cast<int32_t>(static_cast<uint32_t>(v))));
    } else if (code & kNANOCodeString) {
      if (NANOIsValidUTF8(item.bytes)) result.emplace_back(item.bytes);
    } else if (code & kNANOCodeBytes) {
      result.emplace_back(NANOData{item.bytes});
    } else if (code & kNANOCodeMessage) {
      if (elementClass == nullptr || elementClass->initWithMessageInfo == nullptr) {
        NANOLog(
            "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s",
            elementClass != nullptr && elementClass->className ? elementClass->className : "nil");
        continue;
      }
      if (auto object = elementClass->initWithMessageInfo(item.message.get());
          object && item.message) {
        result.emplace_back(std::move(object));
      }
    } else {
      NANOLog("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d",
              static_cast<int>(code));
    }
  }
  return result;
}

namespace {

// Converts one list element into a cell of a field with the given code; false (after logging
// why) when the element does not fit.
bool cellFromObject(const NANOObject& object, uint32_t code, const NANOMessageLayout* element,
                    NANOCell& cell) {
  const auto* number = std::get_if<NANONumber>(&object);
  auto expectNumber = [&](const char* kind) {
    if (number != nullptr) return true;
    NANOLog("<ERROR> Invalid object type. %s fields expect NSNumber. Type: %s", kind,
            NANOObjectTypeName(object).c_str());
    return false;
  };
  if (code & kNANOCodeBool) {
    if (!expectNumber("Boolean")) return false;
    cell.scalar = number->boolValue() ? 1 : 0;
  } else if (code & kNANOCodeInt32) {
    // Zero-extended, as the singular setters store it: elements are written as held, so a
    // negative one takes the five-byte form, which every protobuf reader truncates back to the
    // same 32 bits.
    if (!expectNumber("Int32")) return false;
    cell.scalar = static_cast<uint32_t>(number->intValue());
  } else if (code & kNANOCodeUInt32) {
    if (!expectNumber("Int32")) return false;
    cell.scalar = static_cast<uint32_t>(number->intValue());
  } else if (code & (kNANOCodeInt64 | kNANOCodeUInt64)) {
    if (!expectNumber("Int64")) return false;
    cell.scalar = static_cast<uint64_t>(number->longLongValue());
  } else if (code & kNANOCodeFloat) {
    if (!expectNumber("Float")) return false;
    cell.scalar = std::bit_cast<uint32_t>(number->floatValue());
  } else if (code & kNANOCodeDouble) {
    if (!expectNumber("Double")) return false;
    cell.scalar = std::bit_cast<uint64_t>(number->doubleValue());
  } else if (code & kNANOCodeEnum) {
    if (!expectNumber("Enum")) return false;
    cell.scalar = static_cast<uint32_t>(number->intValue());
  } else if (code & kNANOCodeString) {
    const auto* text = std::get_if<std::string>(&object);
    if (text == nullptr) {
      NANOLog("<ERROR> Invalid object type. String fields expect NSString. Type: %s",
              NANOObjectTypeName(object).c_str());
      return false;
    }
    cell.bytes = *text;
  } else if (code & kNANOCodeBytes) {
    const auto* data = std::get_if<NANOData>(&object);
    if (data == nullptr) {
      NANOLog("<ERROR> Invalid object type. Bytes fields expect NSData. Type: %s",
              NANOObjectTypeName(object).c_str());
      return false;
    }
    cell.bytes = data->bytes;
  } else if (code & kNANOCodeMessage) {
    const auto* message = std::get_if<std::shared_ptr<NANOMessageBase>>(&object);
    // Read through the const interface: a read-only view is a valid source.
    const NANOMessageInfo* record =
        message != nullptr && *message ? std::as_const(**message).messageInfo() : nullptr;
    if (record == nullptr || &record->layout() != element) {
      NANOLog("<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: %s",
              NANOObjectTypeName(object).c_str());
      return false;
    }
    cell.message = std::make_unique<NANOMessageInfo>(*record);
  } else {
    NANOLog("<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d",
            static_cast<int>(code));
    return false;
  }
  return true;
}

}  // namespace

void NANOSetArray(NANOMessageBase& message, uint32_t slot,
                  const std::optional<std::vector<NANOObject>>& list) {
  auto* info = repeatedRecord(message, slot, "SetArray");
  if (info == nullptr) return;
  if (!list || list->empty()) {
    NANODeallocField(*info, slot);
    return;
  }
  uint32_t code = info->codes()[slot];
  const NANOMessageLayout* element = info->layout().fields[slot].message;
  // The new elements are made before the old ones are released: a list element may be a view
  // of this very field.
  std::vector<NANOCell> items(list->size());
  for (size_t i = 0; i < list->size(); ++i) {
    if (!cellFromObject((*list)[i], code, element, items[i])) {
      NANODeallocField(*info, slot);  // all or nothing: the field ends empty
      return;
    }
  }
  NANODeallocField(*info, slot);
  info->slot(slot).items = std::move(items);
}

void nano_detail::setMessageArray(NANOMessageBase& message, uint32_t slot,
                                  const std::vector<const NANOMessageBase*>& elements) {
  auto* info = repeatedRecord(message, slot, "SetArray");
  if (info == nullptr) return;
  uint32_t code = info->codes()[slot];
  const NANOMessageLayout* element = info->layout().fields[slot].message;
  // Copied before the old elements are released, as in NANOSetArray.
  std::vector<NANOCell> items(elements.size());
  for (size_t i = 0; i < elements.size(); ++i) {
    const NANOMessageInfo* record = elements[i] ? elements[i]->messageInfo() : nullptr;
    if (!(code & kNANOCodeMessage) || record == nullptr || &record->layout() != element) {
      NANOLog("<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: %s",
              elements[i] ? elements[i]->className() : "nil");
      NANODeallocField(*info, slot);
      return;
    }
    items[i].message = std::make_unique<NANOMessageInfo>(*record);
  }
  NANODeallocField(*info, slot);
  info->slot(slot).items = std::move(items);
}
