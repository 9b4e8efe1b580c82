#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "AppMeasurement/foundation/APMValue.h"
#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/script/APMPEvent.h"

// One logged event: origin, name, time, the time of the previous event of the same name, and
// typed parameters that also carry the flags "_o" (origin), "_c" (conversion), "_r" (real
// time), "_dbg" (debug) and "_err" (error code), and the screen parameters "_sn", "_sc",
// "_si". A value type, owned by whoever holds it (the engine on its worker queue); not
// synchronised.
//
// Every way of making an event runs the creator: the origin, name and parameter rules of
// APMDataTypeValidator and the parameter sanitiser, with the limits in force at that moment.
// copy() and the copyWith... operations do too (with the public flag off); the C++ copy
// constructor is a plain member-wise copy of an event that has already passed them.
class APMEvent {
 public:
  // initWithOrigin:isPublic:name:timestamp:previousTimestamp:parameters:. Nothing when the
  // origin (forwarded "x+otm" first; only when that fails with code 6 the internal-origin
  // rule) or the name (public rule when public, internal rule always) is refused. A previous
  // time after the time logs 16002 and is kept. The parameters are sanitised, "_o" is set to
  // the origin, and a conversion, "ad_impression" or "_ai" event whose value and currency
  // check fails loses "_c".
  static std::optional<APMEvent> create(const std::string& origin, bool isPublic,
                                        const std::string& name, double timestamp,
                                        double previousTimestamp, const APMObjectMap& parameters);
  static std::optional<APMEvent> create(const std::string& origin, bool isPublic,
                                        const std::string& name, double timestamp,
                                        double previousTimestamp, const APMValueMap& parameters);

  // Copying makes a new event through the creator, public flag off. The creator cannot
  // refuse what it accepted before, so these always give an event.
  APMEvent copy() const;
  APMEvent copyWithPreviousTimestamp(double previousTimestamp) const;
  APMEvent copyWithParameters(const APMObjectMap& parameters) const;
  APMEvent copyWithParameters(const APMValueMap& parameters) const;
  // The same event at other times, its parameters as they are: for an event whose parameters
  // came from the creator, which gives its own output back unchanged (the parameters' fuzz
  // target checks it), so that copying it need not sanitise them again. A previous time after
  // the time logs 16002, as the creator does.
  APMEvent copyWithTimestamps(double timestamp, double previousTimestamp) const;

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  double timestamp() const { return timestamp_; }
  double previousTimestamp() const { return previousTimestamp_; }
  const APMValueMap& parameters() const { return parameters_; }
  // The parameter, or nullptr.
  const APMValue* parameter(std::string_view name) const;
  // Direct edits for the engine (backfills, session numbers); no rule runs.
  void setParameter(const std::string& name, APMValue value) {
    parameters_.insert_or_assign(name, std::move(value));
  }
  void removeParameter(std::string_view name);

  // A conversion, or named "ad_impression" or "_ai".
  bool shouldValidateParams() const;

  bool isConversion() const;
  // YES: the value and currency check runs (removing a bad "value" and recording the error);
  // only when it passes "_c" becomes 1 and an "_err" of 10 goes. NO: "_c" goes and "_err"
  // becomes 10 unless an "_err" is present.
  void setConversion(bool conversion);
  // "_r" is the integer 1; a non-integer "_r" logs 16006 and answers NO.
  bool isRealtime() const;
  void setRealtime(bool realtime);
  bool isDebug() const;
  void setDebug(bool debug);

  // Default parameters and backfills: sanitised (no event name), then laid under the
  // event's own parameters (the event's values win). Nothing happens for an empty map.
  void applyParameters(const APMObjectMap& parameters, bool isPublic);

  // Adds "_si", "_sc" and "_sn" from the map; NO (and nothing changes) when the map is
  // empty or lacks "_si", when the event already has a screen parameter, or when a screen
  // value is invalid (16003, 16004).
  bool addScreenParameters(const APMObjectMap& screenParameters);

  // The form handed to the script runtime: public name, plain parameters (arrays of item
  // maps one level deep).
  APMPEvent editEvent() const;
  // Back from the script runtime: internal name, origin from a string "_o" (else "app"),
  // public flag off, previous time 0.
  static std::optional<APMEvent> eventFromEditEvent(const APMPEvent& editEvent);

  // initWithEventProto:. Array parameters are skipped (15002); a non-string "_o" gives
  // nothing (15001).
  static std::optional<APMEvent> createWithEventProto(const APMPBEvent& proto);
  // The upload message: name, times in whole milliseconds (truncated, saturated), the
  // previous time only above DBL_EPSILON, parameters in key order.
  APMPBEvent protoEvent() const;

  bool operator==(const APMEvent&) const = default;

 private:
  // Packs and unpacks an event as it is, no rule running.
  friend class APMPackedEvent;

  APMEvent() = default;

  APMValueMap parameters_;
  std::string origin_;
  std::string name_;
  double timestamp_ = 0;
  double previousTimestamp_ = 0;
};

// The event is named "_err"; an event without a name logs 18004 and is not.
bool APMIsErrorEvent(const APMEvent& event);
// "_assc", "_assr", and "_iap" whose "subscription" is the integer 1.
bool APMIsSubscriptionEvent(const APMEvent& event);
// The element counts of all array parameters, added.
int64_t APMEventArrayElementCount(const APMEvent& event);
