#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/records/APMConditionalUserProperty.h"
#include "AppMeasurement/records/APMEvent.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/foundation/Value.h"

class APMMeasurement;

// Conditional user properties: user properties that other libraries ask to be set once a
// trigger event is logged, removed when their time to live runs out, with the events logged
// when they are triggered, time out or expire. The properties live in the database's
// "conditional_properties" table; every event the engine writes passes processEventOnWorker-
// Queue first, which (in one transaction) drops timed-out and expired properties and
// activates the ones that waited for that event.
//
// Timeouts and times to live are checked only when an event is processed, against the
// installed clock's wall time. A row that cannot be decoded is deleted (logged, 10012) inside
// the transaction that met it, so one damaged row never blocks every later event.
//
// Threads: set, clear and the query may be called from any thread; the query waits at most
// 30 s (installed clock) for the worker queue and runs inline when called on it. Every
// ...OnWorkerQueue operation and the three processing steps run on the engine's worker queue.
// The controller holds the engine only through its provider; without an engine nothing runs.
class APMConditionalUserPropertyController {
 public:
  using EngineProvider = std::function<std::shared_ptr<APMMeasurement>()>;

  // Longest trigger timeout and time to live: 180 days; the shortest is 1 ms. Both inclusive.
  static constexpr double kMinimumInterval = 0.001;
  static constexpr double kMaximumInterval = 15552000;

  // The controller of the process's shared engine.
  static std::shared_ptr<APMConditionalUserPropertyController> sharedInstance();
  explicit APMConditionalUserPropertyController(EngineProvider engine);

  // Validates a copy named `name`, stamps its creation time and hands it to the worker queue;
  // a property without a value removes the stored one (its expiredEvent is the clear event).
  // Null logs 11002. NaN or out-of-range intervals log 11000 / 11001.
  void setConditionalUserProperty(const APMConditionalUserProperty* property,
                                  const std::string& name);
  // Removes the stored property of that name, logging the clear event (if any) when one was
  // stored.
  void clearConditionalUserPropertyWithClearEvent(std::optional<APMEvent> clearEvent,
                                                  const std::string& name);
  // The stored properties whose name starts with the prefix and, when given, of that origin
  // (null values mean "not given"); nullopt on a failure, a disabled engine or after 30 s.
  std::optional<std::vector<APMConditionalUserProperty>> conditionalUserPropertiesWithNamePrefix(
      const platform::Value& prefix, const platform::Value& origin);

  // --- Worker queue ---

  void setConditionalUserPropertyOnWorkerQueue(const APMConditionalUserProperty* property);
  void removeConditionalUserPropertyOnWorkerQueue(const APMConditionalUserProperty* property);
  // Writes the timed-out and expired events at once and answers the triggered ones, which the
  // caller writes after the event itself; nullopt when the transaction rolled back.
  std::optional<std::vector<APMEvent>> processEventOnWorkerQueue(const APMEvent* event);
  // The three steps of processEventOnWorkerQueue; each runs inside the caller's transaction.
  bool removeTimedOutCUPWithTimedOutEvents(std::vector<APMEvent>* timedOutEvents);
  bool removeExpiredCUPWithExpiredEvents(std::vector<APMEvent>* expiredEvents);
  std::optional<std::vector<APMEvent>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
      const std::string& eventName);

 private:
  using ListQuery = std::function<std::optional<std::vector<APMConditionalUserProperty>>(
      APMErrorSlot*, APMUnreadableRows*)>;

  // The list the query answers after deleting the rows it could not decode (then asked
  // again); nullopt on a database failure. Worker queue, inside a transaction.
  std::optional<std::vector<APMConditionalUserProperty>> readDeletingUnreadableRows(
      APMDatabase& database, const ListQuery& query, APMErrorSlot* error);
  // The same, logging a failure with the step's code and message.
  std::optional<std::vector<APMConditionalUserProperty>> readLoggingFailure(APMDatabase& database,
                                                                            const ListQuery& query,
                                                                            int64_t code,
                                                                            const char* message);
  // What one event meets, read in one pass over the table.
  struct MetProperties {
    std::vector<APMConditionalUserProperty> timedOut;
    std::vector<APMConditionalUserProperty> expired;
    // Waiting for the event's name, else (when none does) for its internal name.
    std::vector<APMConditionalUserProperty> waiting;
  };
  std::optional<MetProperties> propertiesMetByEvent(APMDatabase& database,
                                                    const std::string& eventName,
                                                    APMErrorSlot* error);
  // The three steps with the properties already read; inside the caller's transaction.
  bool removeTimedOut(APMDatabase& database,
                      const std::vector<APMConditionalUserProperty>& properties,
                      std::vector<APMEvent>* timedOutEvents);
  bool removeExpired(APMDatabase& database,
                     const std::vector<APMConditionalUserProperty>& properties,
                     std::vector<APMEvent>* expiredEvents);
  std::optional<std::vector<APMEvent>> activate(APMDatabase& database,
                                                std::vector<APMConditionalUserProperty> properties);
  // The stored property of that name (none when absent); false on a database failure.
  bool storedProperty(APMDatabase& database, const std::string& name,
                      std::optional<APMConditionalUserProperty>* stored, APMErrorSlot* error);

  EngineProvider engine_;
};
