#pragma once

#include <cstdint>
#include <string>

// One audience filter on a user-property name, as the database stores it: audience id, filter id,
// the property name it applies to, the encoded PropertyFilter message and three flags read from
// that message. A value object that copies what it is given and never fails.
class APMPropertyFilter {
 public:
  APMPropertyFilter(int32_t audienceID, int32_t filterID, std::string propertyName,
                    std::string data, bool sessionScoped, bool dynamic, bool sequence)
      : audienceID_(audienceID),
        filterID_(filterID),
        propertyName_(std::move(propertyName)),
        data_(std::move(data)),
        sessionScoped_(sessionScoped),
        dynamic_(dynamic),
        sequence_(sequence) {}

  int32_t audienceID() const { return audienceID_; }
  int32_t filterID() const { return filterID_; }
  const std::string& propertyName() const { return propertyName_; }
  const std::string& data() const { return data_; }
  bool isSessionScoped() const { return sessionScoped_; }
  bool isDynamic() const { return dynamic_; }
  bool isSequence() const { return sequence_; }

  bool operator==(const APMPropertyFilter&) const = default;

 private:
  int32_t audienceID_;
  int32_t filterID_;
  std::string propertyName_;
  std::string data_;
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
};
