#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/messages/NANOMessage.h"
#include "AppMeasurement/messages/NANOMessageView.h"
#include "AppMeasurement/messages/NANOObject.h"

// The accessors through which every field of every message is read and written, addressed by
// slot index (the Slot constants of the message classes).
//
// They never fail loudly: misuse (an object without a record, a slot of another type, a list
// element of the wrong kind, a slot index beyond the message) writes one line to the platform
// log and yields the neutral value (false, 0, 0.0, nullopt) or leaves the message unchanged.
// Sub-messages are copied on the way in and on the way out: changing a returned sub-message
// does not change its parent; set it back to store the change. Code that only reads a deep
// message walks it with the views (NANOViewMessage, NANOViewMessageArray), which copy nothing.

// Whether the field is present; a repeated field always answers true.
bool NANOHasField(const NANOMessageBase& message, uint32_t slot);
// Makes a singular field absent or a repeated field empty.
void NANOClearField(NANOMessageBase& message, uint32_t slot);

bool NANOGetBool(const NANOMessageBase& message, uint32_t slot);
void NANOSetBool(NANOMessageBase& message, uint32_t slot, bool value);

// enum, int32 and uint32 slots; the value is stored zero-extended and read back as its low
// 32 bits.
int32_t NANOGetInt32(const NANOMessageBase& message, uint32_t slot);
void NANOSetInt32(NANOMessageBase& message, uint32_t slot, int32_t value);

// int64 and uint64 slots.
int64_t NANOGetInt64(const NANOMessageBase& message, uint32_t slot);
void NANOSetInt64(NANOMessageBase& message, uint32_t slot, int64_t value);

double NANOGetDouble(const NANOMessageBase& message, uint32_t slot);
void NANOSetDouble(NANOMessageBase& message, uint32_t slot, double value);

// The text of a string field: nullopt when absent or not valid UTF-8; "" for a present empty
// string.
std::optional<std::string> NANOGetString(const NANOMessageBase& message, uint32_t slot);
// nullopt clears the field; any text (the empty one too) makes it present.
void NANOSetString(NANOMessageBase& message, uint32_t slot, std::optional<std::string_view> value);

// A copy of a singular sub-message as an object of the given class; null when absent, when the
// class is null or has no initWithMessageInfo, or when the class is of another message.
std::shared_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase& message, uint32_t slot,
                                                const NANOMessageClass* messageClass);
// Stores a copy of value. The value must be a message of the slot's message type; another
// message type is refused with a log line and changes nothing.
void NANOSetMessage(NANOMessageBase& message, uint32_t slot, const NANOMessageBase& value);

// The elements of a repeated field, in order: numbers for scalar fields, texts for strings,
// byte data for bytes, objects of elementClass (copies) for messages. nullopt only on misuse.
std::optional<std::vector<NANOObject>> NANOGetArray(const NANOMessageBase& message, uint32_t slot,
                                                    const NANOMessageClass* elementClass = nullptr);
// Replaces a repeated field, all or nothing: nullopt or an empty list empties it; an element
// that does not fit the field's type logs the reason and leaves the field empty. Numbers are
// converted to the field's type.
void NANOSetArray(NANOMessageBase& message, uint32_t slot,
                  const std::optional<std::vector<NANOObject>>& list);

namespace nano_detail {
// The nested record of a present singular sub-message after the checks of NANOGetMessage, or
// null (logging as NANOGetMessage does).
const NANOMessageInfo* subMessageRecord(const NANOMessageBase& message, uint32_t slot);
// The element records of a repeated message field after the checks of NANOGetArray, or null.
const std::vector<NANOCell>* repeatedItems(const NANOMessageBase& message, uint32_t slot);
// NANOSetArray for a list of messages.
void setMessageArray(NANOMessageBase& message, uint32_t slot,
                     const std::vector<const NANOMessageBase*>& elements);
}  // namespace nano_detail

// Typed forms for message fields.
template <class M>
std::optional<M> NANOGetMessage(const NANOMessageBase& message, uint32_t slot) {
  const NANOMessageInfo* record = nano_detail::subMessageRecord(message, slot);
  if (record == nullptr) return std::nullopt;
  return M::initWithMessageInfo(record);
}

// The elements of a repeated message field as objects of M; elements of another message are
// left out. nullopt only on misuse.
template <class M>
std::optional<std::vector<M>> NANOGetMessageArray(const NANOMessageBase& message, uint32_t slot) {
  const std::vector<NANOCell>* items = nano_detail::repeatedItems(message, slot);
  if (items == nullptr) return std::nullopt;
  std::vector<M> result;
  result.reserve(items->size());
  for (const NANOCell& item : *items) {
    if (auto element = M::initWithMessageInfo(item.message.get()); element && item.message) {
      result.push_back(std::move(*element));
    }
  }
  return result;
}

template <class M>
void NANOSetMessageArray(NANOMessageBase& message, uint32_t slot, const std::vector<M>& list) {
  std::vector<const NANOMessageBase*> elements;
  elements.reserve(list.size());
  for (const M& element : list) elements.push_back(&element);
  nano_detail::setMessageArray(message, slot, elements);
}

// Read-only views instead of copies (see NANOMessageView): same checks and log lines as
// NANOGetMessage<M> and NANOGetMessageArray<M>, no copy of any record. The views are valid while
// `message` is alive and the field is unchanged.
template <class M>
std::optional<NANOMessageView> NANOViewMessage(const NANOMessageBase& message, uint32_t slot) {
  const NANOMessageInfo* record = nano_detail::subMessageRecord(message, slot);
  if (record == nullptr || &record->layout() != &M::layout()) return std::nullopt;
  return NANOMessageView(*record);
}

template <class M>
std::optional<std::vector<NANOMessageView>> NANOViewMessageArray(const NANOMessageBase& message,
                                                                 uint32_t slot) {
  const std::vector<NANOCell>* items = nano_detail::repeatedItems(message, slot);
  if (items == nullptr) return std::nullopt;
  std::vector<NANOMessageView> result;
  result.reserve(items->size());
  for (const NANOCell& item : *items) {
    if (item.message && &item.message->layout() == &M::layout()) result.emplace_back(*item.message);
  }
  return result;
}

// Whether the bytes are valid UTF-8 (what makes a text value of them).
bool NANOIsValidUTF8(std::string_view bytes);
