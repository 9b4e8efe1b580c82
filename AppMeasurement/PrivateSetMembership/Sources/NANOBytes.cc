#include "AppMeasurement/PrivateSetMembership/Sources/NANOBytes.h"

#include "AppMeasurement/messages/NANO.h"
#include "AppMeasurement/messages/NANOLog.h"

namespace {

bool isSingularBytes(const NANOMessageInfo& info, uint32_t slot, const char* operation) {
  if (slot >= info.slotCount()) {
    NANOLog("<ERROR> %s: field %u is out of range for %s", operation, slot, info.name());
    return false;
  }
  const uint32_t code = info.codes()[slot];
  if ((code & kNANOCodeRepeated) || !(code & (kNANOCodeBytes | kNANOCodeString))) {
    NANOLog("<Nano/Failure> Field type isn't a scalar BYTES. Message: %s, field ID: %d",
            info.name(), static_cast<int>(slot));
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> NANOGetBytes(const NANOMessageBase& message, uint32_t slot) {
  const NANOMessageInfo* info = message.messageInfo();
  if (info == nullptr) {
    NANOLog("ProtocolBuffer message hasn't been initialized. GetBytes can't be performed");
    return std::nullopt;
  }
  if (!isSingularBytes(*info, slot, "GetBytes") || !info->slot(slot).present) return std::nullopt;
  return info->slot(slot).cell.bytes;
}

void NANOSetBytes(NANOMessageBase& message, uint32_t slot, std::optional<std::string_view> data) {
  NANOMessageInfo* info = message.messageInfo();
  if (info == nullptr) {
    NANOLog("ProtocolBuffer message hasn't been initialized. SetBytes can't be performed");
    return;
  }
  if (!isSingularBytes(*info, slot, "SetBytes")) return;
  if (!data) {
    NANOClearField(message, slot);
    return;
  }
  NANOSlot& cell = info->slot(slot);
  cell.present = true;
  cell.cell.bytes.assign(data->data(), data->size());
}
