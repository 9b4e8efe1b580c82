#include "AppMeasurement/messages/NANOObject.h"

#include <cmath>
#include <limits>

#include "AppMeasurement/messages/NANOMessage.h"

namespace {

template <typename T>
T saturate(double d) {
  if (std::isnan(d)) return 0;
  if (d <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (d >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(d);
}

}  // namespace

NANONumber NANONumber::fromBool(bool v) {
  NANONumber n;
  n.kind_ = Kind::Bool;
  n.i_ = v ? 1 : 0;
  return n;
}
NANONumber NANONumber::fromInt32(int32_t v) {
  NANONumber n;
  n.kind_ = Kind::Int32;
  n.i_ = v;
  return n;
}
NANONumber NANONumber::fromUInt32(uint32_t v) {
  NANONumber n;
  n.kind_ = Kind::UInt32;
  n.i_ = v;
  return n;
}
NANONumber NANONumber::fromInt64(int64_t v) {
  NANONumber n;
  n.kind_ = Kind::Int64;
  n.i_ = v;
  return n;
}
NANONumber NANONumber::fromUInt64(uint64_t v) {
  NANONumber n;
  n.kind_ = Kind::UInt64;
  n.u_ = v;
  return n;
}
NANONumber NANONumber::fromFloat(float v) {
  NANONumber n;
  n.kind_ = Kind::Float;
  n.d_ = v;
  return n;
}
NANONumber NANONumber::fromDouble(double v) {
  NANONumber n;
  n.kind_ = Kind::Double;
  n.d_ = v;
  return n;
}

bool NANONumber::boolValue() const {
  if (isFloatingPoint()) return d_ != 0;
  return u_ != 0;
}

int32_t NANONumber::intValue() const {
  if (isFloatingPoint()) return saturate<int32_t>(d_);
  return static_cast<int32_t>(static_cast<uint32_t>(u_));
}

int64_t NANONumber::longLongValue() const {
  if (isFloatingPoint()) return saturate<int64_t>(d_);
  return i_;
}

uint64_t NANONumber::unsignedLongLongValue() const {
  if (isFloatingPoint())
    return d_ < 0 ? static_cast<uint64_t>(saturate<int64_t>(d_)) : saturate<uint64_t>(d_);
  return u_;
}

float NANONumber::floatValue() const {
  // Converting a finite double beyond float's range is undefined; the number's float reading
  // is the infinity of its sign there.
  double d = doubleValue();
  if (d > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
  if (d < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

double NANONumber::doubleValue() const {
  if (isFloatingPoint()) return d_;
  if (kind_ == Kind::UInt64) return static_cast<double>(u_);
  return static_cast<double>(i_);
}

bool NANONumber::operator==(const NANONumber& other) const {
  if (kind_ != other.kind_) return false;
  if (isFloatingPoint()) return d_ == other.d_;
  return u_ == other.u_;
}

std::string NANOObjectTypeName(const NANOObject& object) {
  switch (object.index()) {
    case 0:
      return "nil";
    case 1:
      return "NSNumber";
    case 2:
      return "NSString";
    case 3:
      return "NSData";
    default: {
      const auto& message = std::get<std::shared_ptr<NANOMessageBase>>(object);
      return message ? message->className() : "nil";
    }
  }
}
