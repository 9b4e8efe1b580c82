#include "AppMeasurement/records/APMEventEncoder.h"

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstring>

#include "AppMeasurement/foundation/APMMilliseconds.h"

namespace {

// Wire types of the protocol-buffer encoding.
constexpr uint32_t kVarint = 0;
constexpr uint32_t kFixed64 = 1;
constexpr uint32_t kLengthDelimited = 2;

// Field numbers of MeasurementBundle, Event and EventParam (proto/measurement_upload.proto).
constexpr uint32_t kBundleProtocolVersion = 1;
constexpr uint32_t kBundleEvents = 2;
constexpr uint32_t kEventParams = 1;
constexpr uint32_t kEventName = 2;
constexpr uint32_t kEventTimestampMillis = 3;
constexpr uint32_t kEventPreviousTimestampMillis = 4;
constexpr uint32_t kParamName = 1;
constexpr uint32_t kParamStringValue = 2;
constexpr uint32_t kParamIntValue = 3;
constexpr uint32_t kParamDoubleValue = 5;

size_t varintSize(uint64_t value) {
  size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

void appendVarint(std::string& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

// Every field number here is below 16: its key is one byte.
void appendKey(std::string& out, uint32_t field, uint32_t wireType) {
  out.push_back(static_cast<char>(field << 3 | wireType));
}

void appendBytes(std::string& out, uint32_t field, std::string_view bytes) {
  appendKey(out, field, kLengthDelimited);
  appendVarint(out, bytes.size());
  out.append(bytes);
}

size_t bytesFieldSize(size_t length) { return 1 + varintSize(length) + length; }

// The encoded size of a scalar parameter's message.
size_t paramSize(const std::string& key, const APMValue& value) {
  size_t size = bytesFieldSize(key.size());
  if (value.isDouble()) return size + 1 + 8;
  if (value.isInt64()) return size + 1 + varintSize(static_cast<uint64_t>(value.int64Value()));
  return size + bytesFieldSize(value.stringValue()->size());
}

void appendParam(std::string& out, const std::string& key, const APMValue& value) {
  appendKey(out, kEventParams, kLengthDelimited);
  appendVarint(out, paramSize(key, value));
  appendBytes(out, kParamName, key);
  if (value.isDouble()) {
    appendKey(out, kParamDoubleValue, kFixed64);
    double number = value.doubleValue();
    uint64_t bits = 0;
    std::memcpy(&bits, &number, sizeof bits);
    for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<char>(bits >> shift));
  } else if (value.isInt64()) {
    appendKey(out, kParamIntValue, kVarint);
    appendVarint(out, static_cast<uint64_t>(value.int64Value()));
  } else {
    appendBytes(out, kParamStringValue, *value.stringValue());
  }
}

bool hasOnlyScalars(const APMEvent& event) {
  return std::all_of(event.parameters().begin(), event.parameters().end(), [](const auto& entry) {
    return entry.second.isDouble() || entry.second.isInt64() ||
           entry.second.stringValue() != nullptr;
  });
}

// The encoded size of an event whose parameters are all scalars: what encodedEvent writes.
size_t scalarEventSize(const APMEvent& event) {
  size_t size = bytesFieldSize(event.name().size()) + 1 +
                varintSize(static_cast<uint64_t>(APMMillisecondsFromSeconds(event.timestamp())));
  if (event.previousTimestamp() > DBL_EPSILON) {
    size += 1 + varintSize(
                    static_cast<uint64_t>(APMMillisecondsFromSeconds(event.previousTimestamp())));
  }
  for (const auto& [key, value] : event.parameters()) size += bytesFieldSize(paramSize(key, value));
  return size;
}

// The event's bytes, with or without its name field.
std::string encode(const APMEvent& event, bool withName) {
  if (!hasOnlyScalars(event)) {
    APMPBEvent message = event.protoEvent();
    if (!withName) NANOClearField(message, APMPBEvent::kName);
    return message.protoBuffer().value_or("");
  }
  std::string out;
  out.reserve(scalarEventSize(event));
  for (const auto& [key, value] : event.parameters()) appendParam(out, key, value);
  if (withName) appendBytes(out, kEventName, event.name());
  appendKey(out, kEventTimestampMillis, kVarint);
  appendVarint(out, static_cast<uint64_t>(APMMillisecondsFromSeconds(event.timestamp())));
  if (event.previousTimestamp() > DBL_EPSILON) {
    appendKey(out, kEventPreviousTimestampMillis, kVarint);
    appendVarint(out, static_cast<uint64_t>(APMMillisecondsFromSeconds(event.previousTimestamp())));
  }
  return out;
}

}  // namespace

std::string APMEventEncoder::encodedEvent(const APMEvent& event) { return encode(event, true); }

std::string APMEventEncoder::encodedEventWithoutName(const APMEvent& event) {
  return encode(event, false);
}

size_t APMEventEncoder::encodedEventSize(const APMEvent& event) {
  return hasOnlyScalars(event) ? scalarEventSize(event) : encodedEvent(event).size();
}

bool APMEventEncoder::setEncodedEvents(APMPBMeasurementBundle& bundle,
                                       const std::vector<std::string>& events) {
  APMPBMeasurementBundle withoutEvents = bundle;
  NANOClearField(withoutEvents, APMPBMeasurementBundle::kEvents);
  std::optional<std::string> base = withoutEvents.protoBuffer();
  if (!base) return false;
  // Fields come in ascending number order: only protocol_version (a varint) precedes events.
  size_t at = 0;
  if (!base->empty() &&
      static_cast<uint8_t>((*base)[0]) == (kBundleProtocolVersion << 3 | kVarint)) {
    at = 1;
    while (at < base->size() && (static_cast<uint8_t>((*base)[at]) & 0x80) != 0) ++at;
    ++at;
  }
  size_t size = base->size();
  for (const std::string& event : events) size += bytesFieldSize(event.size());
  std::string bytes;
  bytes.reserve(size);
  bytes.append(*base, 0, at);
  for (const std::string& event : events) appendBytes(bytes, kBundleEvents, event);
  bytes.append(*base, at);
  std::optional<APMPBMeasurementBundle> decoded =
      APMPBMeasurementBundle::initWithBuffer(std::string_view(bytes));
  if (!decoded) return false;
  bundle = std::move(*decoded);
  return true;
}
