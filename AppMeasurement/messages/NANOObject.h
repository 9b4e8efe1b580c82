#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

class NANOMessageBase;

// A number as the accessors hand it over: it remembers which kind of field value it came
// from (or was made as), so that booleans, integers and floating-point values stay apart.
class NANONumber {
 public:
  enum class Kind : uint8_t { Bool, Int32, UInt32, Int64, UInt64, Float, Double };

  static NANONumber fromBool(bool v);
  static NANONumber fromInt32(int32_t v);
  static NANONumber fromUInt32(uint32_t v);
  static NANONumber fromInt64(int64_t v);
  static NANONumber fromUInt64(uint64_t v);
  static NANONumber fromFloat(float v);
  static NANONumber fromDouble(double v);

  Kind kind() const { return kind_; }
  bool isFloatingPoint() const { return kind_ == Kind::Float || kind_ == Kind::Double; }

  // Conversions as a number object answers them. Floating-point values convert to integers
  // by truncation, saturating at the limits of the target (NaN gives 0).
  bool boolValue() const;
  int32_t intValue() const;
  int64_t longLongValue() const;
  uint64_t unsignedLongLongValue() const;
  float floatValue() const;
  double doubleValue() const;

  bool operator==(const NANONumber& other) const;

 private:
  Kind kind_ = Kind::Int64;
  union {
    int64_t i_;
    uint64_t u_;
    double d_;
  };
};

// Raw bytes, kept apart from text.
struct NANOData {
  std::string bytes;
  bool operator==(const NANOData&) const = default;
};

// One element of a list given to or returned by the array accessors: nil, a number, a text,
// byte data or a message object.
using NANOObject = std::variant<std::monostate, NANONumber, std::string, NANOData,
                                std::shared_ptr<NANOMessageBase>>;

// The type name of an object, for log lines ("NSNumber", "NSString", "NSData", "nil", or the
// message class name).
std::string NANOObjectTypeName(const NANOObject& object);
