#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "AppMeasurement/messages/NANOMessage.h"

// Bytes accessors of the private-set-membership messages, addressed by slot index like the
// other NANO accessors.
//
// Absent and empty stay apart: NANOGetBytes answers nullopt (nil) for an absent field and ""
// for a present empty one. Only singular bytes (or string) slots are served; any other slot
// logs a line and yields nullopt or changes nothing, so that a bytes cell can never end up in
// a slot the encoder reads as a number or a message.

// A copy of the field's bytes; nullopt when absent. A message without a record logs
// "ProtocolBuffer message hasn't been initialized. GetBytes can't be performed".
std::optional<std::string> NANOGetBytes(const NANOMessageBase& message, uint32_t slot);

// Stores a private copy of data; nullopt clears the field (NANOClearField). A message without a
// record logs "ProtocolBuffer message hasn't been initialized. SetBytes can't be performed".
void NANOSetBytes(NANOMessageBase& message, uint32_t slot, std::optional<std::string_view> data);
