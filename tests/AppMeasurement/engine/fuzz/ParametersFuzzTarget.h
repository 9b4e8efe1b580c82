#pragma once

// One fuzz input through the parameter sanitiser, the validator and the event model. The
// bytes are read as a small program that builds names, limits and a parameter tree of any
// shape: text of any bytes (invalid UTF-8 too), integers, doubles from raw bits (NaN,
// infinities), booleans, nulls, bytes, typed values, lists and maps nested a few levels.
// Invariants that must hold for every input abort the process when broken.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMNameUtil.h"
#include "AppMeasurement/foundation/APMNumericUtil.h"
#include "AppMeasurement/foundation/APMParameterLimits.h"
#include "AppMeasurement/foundation/APMSanitizedEventParameters.h"
#include "AppMeasurement/records/APMEvent.h"

namespace parametersfuzz {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }
  bool done() const { return offset_ >= size_; }
  std::string text() {
    size_t length = byte();
    if (length > 200) length = (length - 200) * 1000;  // now and then a long text
    std::string out;
    for (size_t i = 0; i < length && !done(); ++i) out += static_cast<char>(byte());
    if (out.size() < length && length > 256) out.append(length - out.size(), 'x');
    return out;
  }
  template <typename T>
  T raw() {
    T value{};
    unsigned char bytes[sizeof(T)];
    for (auto& b : bytes) b = byte();
    std::memcpy(&value, bytes, sizeof(T));
    return value;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

// A loose object; containers only while depth remains.
inline APMObject object(Reader& in, int depth);

inline platform::Value plain(Reader& in, int depth) {
  switch (in.byte() % 9) {
    case 0:
      return platform::Value(in.text());
    case 1:
      return platform::Value(static_cast<long long>(in.raw<int64_t>()));
    case 2:
      return platform::Value(in.raw<double>());
    case 3:
      return platform::Value(in.byte() % 2 == 0);
    case 4:
      return platform::Value();
    case 5:
      return platform::Value::bytes(in.text());
    case 6: {
      platform::Value::Array array;
      size_t count = depth > 0 ? in.byte() % 8 : 0;
      if (count == 7) count = 210;  // past the item limit
      for (size_t i = 0; i < count; ++i) array.push_back(plain(in, depth - 1));
      return platform::Value(std::move(array));
    }
    case 7: {
      platform::Value::Dictionary map;
      size_t count = depth > 0 ? in.byte() % 8 : 0;
      for (size_t i = 0; i < count; ++i) map[in.text()] = plain(in, depth - 1);
      return platform::Value(std::move(map));
    }
    default:
      return platform::Value::date(in.raw<double>());
  }
}

inline APMObject object(Reader& in, int depth) {
  switch (in.byte() % 4) {
    case 0:
      return APMObject();
    case 1: {
      // A typed value as code hands them in.
      switch (in.byte() % 4) {
        case 0:
          return APMObject(APMValue(in.raw<double>()));
        case 1:
          return APMObject(APMValue(in.raw<int64_t>()));
        case 2:
          return APMObject(APMValue(in.text()));
        default: {
          APMValue::Array elements;
          size_t count = depth > 0 ? in.byte() % 4 : 0;
          for (size_t i = 0; i < count; ++i) elements.push_back(object(in, depth - 1));
          return APMObject(APMValue(std::move(elements)));
        }
      }
    }
    case 2: {
      APMObjectMap map;
      size_t count = depth > 0 ? in.byte() % 6 : 0;
      for (size_t i = 0; i < count; ++i) map[in.text()] = object(in, depth - 1);
      return APMObject(std::move(map));
    }
    default:
      return APMObject(plain(in, depth));
  }
}

class FuzzLimits : public APMParameterLimits {
 public:
  int64_t params = 100, item = 27, length = 500;
  int64_t maxPublicEventParams() const override { return params; }
  int64_t maxItemScopedCustomParameters() const override { return item; }
  int64_t maxPublicEventParameterValueLength() const override { return length; }
  int64_t maxInternalEventParameterValueLength() const override {
    return internalValueLengthForPublicLength(length);
  }
};

inline void check(bool condition) {
  if (!condition) std::abort();
}

inline void fuzzOne(const uint8_t* data, size_t size) {
  Reader in(data, size);
  auto limits = std::make_shared<FuzzLimits>();
  limits->params = in.byte() % 8;
  limits->item = in.byte() % 4;
  limits->length = in.byte() % 2 ? 500 : in.byte();
  APMParameterLimits::install(limits);
  // Taken out on every way out, so that the runs do not pile their providers up.
  struct Installed {
    const APMParameterLimits* limits;
    ~Installed() { APMParameterLimits::remove(limits); }
  } installed{limits.get()};

  static const char* kNames[] = {"purchase",      "level_up", "_vs",       "screen_view",
                                 "ad_impression", "_ai",      "view_item", ""};
  std::string name = in.byte() % 2 ? kNames[in.byte() % 8] : in.text();
  std::string origin = in.byte() % 2 ? "app" : in.text();
  bool isPublic = in.byte() % 2;
  bool itemScope = in.byte() % 4 == 0;

  APMObjectMap parameters;
  size_t count = in.byte() % 16;
  for (size_t i = 0; i < count && !in.done(); ++i) parameters[in.text()] = object(in, 3);

  // The validator answers every kind of item.
  APMObject nameObject = parameters.empty() ? APMObject(name) : parameters.begin()->second;
  APMDataTypeValidator::isValidPublicEventName(nameObject);
  APMDataTypeValidator::isValidForwardedEventOrigin(nameObject);
  APMDataTypeValidator::isValidPublicUserAttributeName(nameObject);
  APMDataTypeValidator::isValidInternalUserAttributeValue(nameObject, name);
  APMDataTypeValidator::isValidCurrencyCode(nameObject);
  APMDataTypeValidator::isValidArrayParamItem(nameObject);
  APMDecimalNumberFromString(name);

  auto sanitized = APMSanitizedEventParameters(parameters, name, isPublic, itemScope);
  check(sanitized.has_value() == !parameters.empty());
  if (sanitized) {
    int64_t limit = itemScope ? limits->item : limits->params;
    check(APMPublicParameterCount(*sanitized, itemScope) <= limit);
    for (const auto& [key, value] : *sanitized) {
      APMValue copy = value;
      check(copy == value && copy.hash() == value.hash());
      if (const APMValue::Array* items = value.arrayValue()) check(items->size() <= 200);
    }
  }

  // What the creator makes of the parameters under the internal rules (as stored rows are
  // read back) it gives back unchanged: a copy of such an event need not run it again.
  if (auto stored = APMEvent::create(origin, false, name, 1, 0, parameters)) {
    auto again = APMEvent::create(origin, false, name, 1, 0, stored->parameters());
    check(again && again->parameters() == stored->parameters());
  }

  auto event =
      APMEvent::create(origin, isPublic, name, in.raw<double>(), in.raw<double>(), parameters);
  if (!event) return;
  check(event->parameter("_o") && *event->parameter("_o")->stringValue() == origin);
  event->setConversion(in.byte() % 2);
  event->isRealtime();
  event->addScreenParameters(parameters);
  APMPBEvent proto = event->protoEvent();
  check(proto.protoBuffer().has_value());
  auto back = APMEvent::createWithEventProto(proto);
  check(back.has_value());
  (void)APMEvent::eventFromEditEvent(event->editEvent());
  APMEvent copy = event->copy();
  check(copy.name() == event->name());
}

}  // namespace parametersfuzz
