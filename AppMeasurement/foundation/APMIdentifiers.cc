#include "AppMeasurement/foundation/APMIdentifiers.h"

#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMMeasurementEngineState.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMNumericUtil.h"

namespace {

APMMonitor& monitor() { return *APMMonitor::monitor(); }

std::shared_ptr<APMIdentity> engineIdentity(bool& engineExists) {
  auto engine = APMMeasurementEngineState::current();
  engineExists = engine != nullptr;
  return engine ? engine->identity() : nullptr;
}

}  // namespace

APMIdentifiers& APMIdentifiers::sharedInstance() {
  static APMIdentifiers& instance = *new APMIdentifiers();
  return instance;
}

std::string APMIdentifiers::orvaneAppID() {
  bool engineExists = false;
  if (auto identity = engineIdentity(engineExists)) {
    auto appID = identity->appIDFromRZQ();
    if (appID && !appID->empty()) return *appID;
    monitor().logWithLevel(2, 37000, "Unable to fetch Orvane App ID from identity");
    return "";
  }
  auto shared = APMIdentity::sharedInstance();
  auto appID = shared ? shared->appIDFromRZQ() : std::nullopt;
  if (appID && !appID->empty()) return *appID;
  monitor().logWithLevel(2, 37001, "Unable to fetch Orvane App ID from default options");
  return "";
}

std::string APMIdentifiers::analyticsAppID() {
  bool engineExists = false;
  auto identity = engineIdentity(engineExists);
  if (!identity) identity = APMIdentity::sharedInstance();
  auto appID = identity ? identity->appIDFromRZQ() : std::nullopt;
  if (appID && !appID->empty()) return *appID;
  monitor().logWithLevel(2, 37005, "Unable to fetch effective App ID from identity");
  return "";
}

std::string APMIdentifiers::appInstanceID() {
  bool engineExists = false;
  if (auto identity = engineIdentity(engineExists)) {
    auto id = identity->appInstanceID();
    if (id && !id->empty()) return *id;
    monitor().logWithLevel(2, 37002, "Unable to fetch App Instance ID from identity");
    return "";
  }
  auto shared = APMIdentity::sharedInstance();
  auto id = shared ? shared->appInstanceID() : std::nullopt;
  if (id && !id->empty()) return *id;
  monitor().logWithLevel(2, 37003, "Unable to fetch App Instance ID from identity shared instance");
  return "";
}

std::string APMIdentifiers::adEventID() {
  // Drawn once; a failed draw (logged by the random source) leaves the ID empty.
  static const std::string& id = *new std::string([] {
    auto value = APMNumericUtil::randomInt64();
    return value ? std::to_string(*value) : std::string();
  }());
  return id;
}

std::string APMIdentifiers::libraryVersion() {
  return std::to_string(APMIdentity::appMeasurementLibraryVersion());
}

std::string APMIdentifiers::origin() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return origin_;
}

void APMIdentifiers::setOrigin(const std::string& origin) {
  if (origin.empty()) {
    monitor().logWithLevel(2, 37004,
                           "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  origin_ = origin;
}
