#pragma once

#include <cstdint>
#include <string>

// One audience filter on an event name, as the database stores it: audience id, filter id,
// the event name it applies to, the encoded EventFilter message and three flags read from
// that message. A value object that copies what it is given and never fails.
class APMEventFilter {
 public:
  APMEventFilter(int32_t audienceID, int32_t filterID, std::string eventName, std::string data,
                 bool sessionScoped, bool dynamic, bool sequence)
      : audienceID_(audienceID),
        filterID_(filterID),
        eventName_(std::move(eventName)),
        data_(std::move(data)),
        sessionScoped_(sessionScoped),
        dynamic_(dynamic),
        sequence_(sequence) {}

  int32_t audienceID() const { return audienceID_; }
  int32_t filterID() const { return filterID_; }
  const std::string& eventName() const { return eventName_; }
  const std::string& data() const { return data_; }
  bool isSessionScoped() const { return sessionScoped_; }
  bool isDynamic() const { return dynamic_; }
  bool isSequence() const { return sequence_; }

  bool operator==(const APMEventFilter&) const = default;

 private:
  int32_t audienceID_;
  int32_t filterID_;
  std::string eventName_;
  std::string data_;
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
};
