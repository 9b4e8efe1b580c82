// The older on-device conversion flow: a user identifier the app hands in is matched against
// the ad service through a private-set-membership client found by class name; a match is kept
// as "_psmvalue", the row "odm1_value" and a real-time "_fx" event.
#include <cmath>
#include <limits>

#include "AppMeasurement/PrivateSetMembership/Sources/APMPrivateSetMembershipClient.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/engine/APMPSMContext.h"
#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/utilities/OULHTTPURLResponse.h"
#include "platform/utilities/OULNetwork.h"
#include "platform/utilities/OULNetworkConstants.h"

using apm_engine::monitor;

namespace {

constexpr double kPSMValueLifetime = 7776000;  // 90 days
constexpr const char* kCountNames[] = {"_psmcount", "_psmcountph", "_psmcounth", "_psmcounthph"};

const char* countUserPropertyName(int64_t inputType) {
  switch (inputType) {
    case 2:
      return "_psmcountph";
    case 3:
      return "_psmcounth";
    case 4:
      return "_psmcounthph";
    default:
      return "_psmcount";
  }
}

const char* countQueryKey(int64_t inputType) {
  return inputType == 2 || inputType == 4 ? "psm_phone_count" : "psm_count";
}

// The identifier under `key`: text, or the bytes of a hashed identifier.
std::optional<std::string> userDataEntry(const platform::Value::Dictionary& userData,
                                         const char* key) {
  auto found = userData.find(key);
  if (found == userData.end()) return std::nullopt;
  if (const std::string* text = found->second.asString()) return *text;
  if (const platform::Value::Bytes* bytes = found->second.asBytes()) return bytes->data;
  return std::nullopt;
}

bool hasLaunchArgument(const std::string& argument) {
  for (const std::string& given : platform::ProcessInfo::processInfo().arguments()) {
    if (given == argument) return true;
  }
  return false;
}

}  // namespace

// --- Entry ---

void APMMeasurement::setUserData(platform::Value::Dictionary userData) {
  schedule("APMMeasurement:3367", [userData = std::move(userData)](APMMeasurement& engine) {
    engine.setUserDataOnWorkerQueue(userData);
  });
}

void APMMeasurement::setUserDataOnWorkerQueue(const platform::Value::Dictionary& userData) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setUserDataOnWorkerQueue:");
  initiateODM1ProtocolWithUserData(userData);
}

// --- Class lookup ---

std::shared_ptr<APMPrivateSetMembershipClientClass> APMMeasurement::PSMClientClass() {
  platform::ClassRegistry& registry = platform::ClassRegistry::shared();
  for (const char* name : {"APMPrivateSetMembershipClient", "ODCPrivateSetMembershipClient"}) {
    if (auto found = registry.create<APMPrivateSetMembershipClientClass>(name)) return found;
  }
  return nullptr;
}

bool APMMeasurement::isAPMPrivateSetMembershipClientLinked() {
  return platform::ClassRegistry::shared().contains("APMPrivateSetMembershipClient");
}

// --- Start-up ---

void APMMeasurement::checkPSMDependencyOnWorkerQueue() {
  if (PSMClientClass()) {
    ODM1Context_ = std::make_shared<APMPSMContext>();
    monitor().logWithLevel(7, 23253, "On-device conversion measurement is ready to initiate");
    return;
  }
  APMErrorSlot error;
  if (database_->userAttributeWithName("_psmcount", &error) ||
      database_->userAttributeWithName("_psmcountph", &error)) {
    monitor().logWithLevel(4, 23254,
                           "On-device conversion measurement dependency is not currently linked. "
                           "On-device conversion measurement will fail to initiate.");
  }
}

void APMMeasurement::maybeDeleteExpiredPSMValueOnWorkerQueue() {
  double now = apm_engine::now();
  APMErrorSlot error;
  std::optional<APMSqliteRecord> row = database_->ODMValueWithName("odm1_value", &error);
  if (row) {
    auto set = row->find("set_timestamp");
    double setTime = set != row->end() ? set->second.numberAsDouble().value_or(0) : 0;
    if (std::fabs(now - setTime) >= kPSMValueLifetime) {
      error.reset();
      if (!database_->deleteODMValueWithName("odm1_value", &error)) {
        monitor().logWithLevel(4, 23289, "Failed to delete ODM value. Error",
                               error ? APMLogContext(*error) : APMLogContext());
      }
    }
  }
  error.reset();
  std::optional<APMUserAttribute> value = database_->userAttributeWithName("_psmvalue", &error);
  if (!value) return;
  if (std::fabs(now - value->lastSetTimestamp()) >= kPSMValueLifetime) {
    removeUserAttributeOnWorkerQueue(*value);
    for (const char* name : kCountNames) {
      if (std::optional<APMUserAttribute> count = database_->userAttributeWithName(name, &error)) {
        removeUserAttributeOnWorkerQueue(*count);
      }
    }
    return;
  }
  // A failed restore is tried again at the next start, while the property lives.
  if (!row) {
    database_->updateODMValue(value->value().description(), "odm1_value", value->lastSetTimestamp(),
                              nullptr);
  }
}

// --- Initiation and gates ---

void APMMeasurement::initiateODM1ProtocolWithUserData(const platform::Value::Dictionary& userData) {
  std::shared_ptr<APMPrivateSetMembershipClient> client;
  if (auto email = userDataEntry(userData, "email_address");
      email && shouldRetrievePSMResponseWithEmailAddress(*email)) {
    client = PSMClientWithEmailAddress(*email);
  }
  if (!client) {
    if (auto phone = userDataEntry(userData, "phone_number");
        phone && shouldRetrievePSMResponseWithPhoneNumber(*phone)) {
      client = PSMClientWithPhoneNumber(*phone);
    }
  }
  if (!client) {
    if (auto digest = userDataEntry(userData, "hashed_email_address");
        digest && shouldRetrievePSMResponseWithHashedIdentifier(*digest)) {
      client = PSMClientWithHashedEmailAddress(*digest);
    }
  }
  if (!client) {
    if (auto digest = userDataEntry(userData, "hashed_phone_number");
        digest && shouldRetrievePSMResponseWithHashedIdentifier(*digest)) {
      client = PSMClientWithHashedPhoneNumber(*digest);
    }
  }
  // Without a context no client is kept: the refusals above were all there is to do.
  if (!client || !ODM1Context_) return;
  ODM1Context_->PSMClient = std::move(client);
  monitor().logWithLevel(7, 23225, "Initiated on-device conversion measurement");
  ODM1Context_->PSMRetryCount = 0;
  ++ODM1Context_->PSMStartCount;
  ODM1Context_->sessionStartTimestamp = 0;
  retrievePSMResponse();
}

bool APMMeasurement::shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress) {
  if (emailAddress.empty()) {
    monitor().logWithLevel(1, 23234,
                           "Failed to initiate on-device conversion measurement. Email address was "
                           "empty.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

bool APMMeasurement::shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber) {
  if (phoneNumber.empty()) {
    monitor().logWithLevel(1, 23239,
                           "Failed to initiate on-device conversion measurement. Phone number was "
                           "empty.");
    return false;
  }
  // A missing class answers no initialiser: refused here, before the gate's own 23233.
  std::shared_ptr<APMPrivateSetMembershipClientClass> clientClass = PSMClientClass();
  if (!clientClass || !clientClass->instancesRespondToSelector("initWithPhoneNumber:appID:")) {
    monitor().logWithLevel(1, 23262,
                           "Failed to initiate on-device conversion measurement. Linked on-device "
                           "conversion measurement dependency does not support phone numbers.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

bool APMMeasurement::shouldRetrievePSMResponseWithHashedIdentifier(
    const std::string& hashedIdentifier) {
  if (hashedIdentifier.empty()) {
    monitor().logWithLevel(1, 23264,
                           "Failed to initiate on-device conversion measurement. Hashed identifier "
                           "was empty.");
    return false;
  }
  std::shared_ptr<APMPrivateSetMembershipClientClass> clientClass = PSMClientClass();
  if (!clientClass || (!clientClass->instancesRespondToSelector(
                           "initWithHashedEmailAddress:appID:prefixBitLength:") &&
                       !clientClass->instancesRespondToSelector(
                           "initWithHashedPhoneNumber:appID:prefixBitLength:"))) {
    monitor().logWithLevel(
        1, 23265,
        "Failed to initiate on-device conversion measurement. Linked on-device "
        "conversion measurement dependency does not support hashed identifiers.");
    return false;
  }
  return shouldRetrievePSMResponse();
}

bool APMMeasurement::shouldRetrievePSMResponse() {
  if (!PSMClientClass()) {
    monitor().logWithLevel(1, 23233,
                           "Failed to initiate on-device conversion measurement. On-device "
                           "conversion measurement dependency not linked in.");
    return false;
  }
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  double firstOpen = firstOpenSeconds();
  if (firstOpen == 0) firstOpen = initTimestamp_;
  if (std::fabs(apm_engine::now() - firstOpen) > config->maxSignInDelayInDays() * 86400.0) {
    monitor().logWithLevel(1, 23261,
                           "Failed to initiate on-device conversion measurement. Attempted to "
                           "initiate outside the first open window.");
    return false;
  }
  if (ODM1Context_ && ODM1Context_->isPSMRequestInProgress) {
    monitor().logWithLevel(1, 23235,
                           "Failed to initiate on-device conversion measurement. Request to query "
                           "data set for on-device conversion measurement already in progress.");
    return false;
  }
  int32_t maxStarts = monitor().isDebugModeEnabled() ? 10 : config->maxPSMStartCount();
  if (ODM1Context_ && ODM1Context_->PSMStartCount >= maxStarts) {
    monitor().logWithLevel(1, 23236,
                           "Failed to initiate on-device conversion measurement. Exceeded limit "
                           "per app run.");
    return false;
  }
  APMErrorSlot error;
  if (database_->userAttributeWithName("_psmvalue", &error)) {
    monitor().logWithLevel(1, 23237,
                           "Failed to initiate on-device conversion measurement. Found existing "
                           "match.");
    return false;
  }
  if (ODM1Context_ && ODM1Context_->PSMRetryCount >= config->maxPSMRetryCount()) {
    monitor().logWithLevel(1, 23238,
                           "Failed to initiate on-device conversion measurement. Exceeded retry "
                           "limit.");
    return false;
  }
  return true;
}

// --- Clients ---

std::shared_ptr<APMPrivateSetMembershipClient> APMMeasurement::PSMClientWithEmailAddress(
    const std::string& e) {
  std::shared_ptr<APMPrivateSetMembershipClientClass> clientClass = PSMClientClass();
  if (!clientClass) return nullptr;
  if (clientClass->instancesRespondToSelector("initWithEmailAddress:appID:prefixBitLength:")) {
    return clientClass->initWithEmailAddress(e, appID_,
                                             currentConfig()->hashPrefixBitLengthEmail());
  }
  return clientClass->initWithEmailAddress(e, appID_);
}

std::shared_ptr<APMPrivateSetMembershipClient> APMMeasurement::PSMClientWithPhoneNumber(
    const std::string& p) {
  std::shared_ptr<APMPrivateSetMembershipClientClass> clientClass = PSMClientClass();
  if (!clientClass) return nullptr;
  if (clientClass->instancesRespondToSelector("initWithPhoneNumber:appID:prefixBitLength:")) {
    return clientClass->initWithPhoneNumber(p, appID_, currentConfig()->hashPrefixBitLengthPhone());
  }
  return clientClass->initWithPhoneNumber(p, appID_);
}

std::shared_ptr<APMPrivateSetMembershipClient> APMMeasurement::PSMClientWithHashedEmailAddress(
    const std::string& digest) {
  std::shared_ptr<APMPrivateSetMembershipClientClass> clientClass = PSMClientClass();
  if (!clientClass || !clientClass->instancesRespondToSelector(
                          "initWithHashedEmailAddress:appID:prefixBitLength:")) {
    return nullptr;
  }
  return clientClass->initWithHashedEmailAddress(digest, appID_,
                                                 currentConfig()->hashPrefixBitLengthEmail());
}

std::shared_ptr<APMPrivateSetMembershipClient> APMMeasurement::PSMClientWithHashedPhoneNumber(
    const std::string& digest) {
  std::shared_ptr<APMPrivateSetMembershipClientClass> clientClass = PSMClientClass();
  if (!clientClass || !clientClass->instancesRespondToSelector(
                          "initWithHashedPhoneNumber:appID:prefixBitLength:")) {
    return nullptr;
  }
  return clientClass->initWithHashedPhoneNumber(digest, appID_,
                                                currentConfig()->hashPrefixBitLengthPhone());
}

// --- The request ---

std::optional<std::string> APMMeasurement::PSMRequestURL() {
  if (!ODM1Context_ || !ODM1Context_->PSMClient) return std::nullopt;
  APMPrivateSetMembershipClient& client = *ODM1Context_->PSMClient;
  std::string url = client.PSMRequestURLWithRetryCount(ODM1Context_->PSMRetryCount);
  if (url.empty()) return std::nullopt;
  auto append = [&url](const std::string& key, const std::string& value) {
    if (!key.empty() && !value.empty()) url += "&" + key + "=" + value;
  };
  APMErrorSlot error;
  int64_t count = 0;
  if (std::optional<APMUserAttribute> stored =
          database_->userAttributeWithName(countUserPropertyName(client.inputType()), &error)) {
    if (stored->value().isInt64()) {
      count = stored->value().int64Value();
    } else if (stored->value().isDouble()) {
      count = static_cast<int64_t>(stored->value().doubleValue());
    }
  }
  append(countQueryKey(client.inputType()), std::to_string(count));
  double firstOpen = firstOpenSeconds();
  if (firstOpen > 0 && !(ODM1Context_->sessionStartTimestamp > 0)) {
    int64_t minutes = static_cast<int64_t>(firstOpen) / 60;
    append("timestamp_first_open", std::to_string(minutes * 60 + 60));
  }
  auto* debug = dynamic_cast<APMPrivateSetMembershipClientDebugKey*>(&client);
  if (!APMAEU::isFAS() && (monitor().isDebugModeEnabled() || monitor().isVerboseLoggingEnabled()) &&
      debug && hasLaunchArgument("-DebugOnDeviceConversionMeasurement")) {
    append("debug_psm_key", debug->debugKey().value_or(""));
  }
  return url;
}

void APMMeasurement::retrievePSMResponse() {
  if (!ODM1Context_ || !ODM1Context_->PSMClient || !network_) return;
  std::shared_ptr<APMPrivateSetMembershipClient> client = ODM1Context_->PSMClient;
  std::optional<std::string> payload = client->payloadWithPSMRequest();
  if (!payload || payload->empty()) {
    monitor().logWithLevel(1, 23293,
                           "Payload to query data set for on-device conversion measurement is "
                           "invalid");
    return;
  }
  std::optional<std::string> url = PSMRequestURL();
  if (!url) {
    monitor().logWithLevel(1, 23227,
                           "URL to query data set for on-device conversion measurement is invalid");
    return;
  }
  if (!isNetworkReadyForRequest()) {
    monitor().logWithLevel(7, 23232,
                           "Network operation is pending. Request to query data set for on-device "
                           "conversion measurement postponed.");
    ODM1Context_->isPSMRequestPostponed = true;
    return;
  }
  if (ODM1Context_->PSMRetryAlarm) ODM1Context_->PSMRetryAlarm->cancel();
  ODM1Context_->isPSMRequestPostponed = false;
  ODM1Context_->isPSMRequestInProgress = true;
  bool isSessionValue = ODM1Context_->sessionStartTimestamp > 0;
  uint64_t serial = beginNetworkRequest();
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  network_->setTimeoutInterval(config->networkTimeout());
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  // A request that cannot start is answered with an error through the same completion, so it
  // counts and retries like any failed answer.
  network_->postURL(
      *url, OULNetwork::Headers{}, std::move(*payload), scheduler_->workerQueue(),
      shouldUseBackgroundSession(),
      [weak, serial, client, isSessionValue](const std::optional<OULHTTPURLResponse>& response,
                                             const std::optional<std::string>& data,
                                             const std::optional<OULError>& error) {
        std::shared_ptr<APMMeasurement> engine = weak.lock();
        if (!engine || !engine->endNetworkRequest(serial)) return;
        engine->handlePSMAnswer(*client, isSessionValue, response ? response->statusCode : 0, data,
                                error);
      });
}

void APMMeasurement::handlePSMAnswer(APMPrivateSetMembershipClient& client, bool isSessionValue,
                                     int64_t status, const std::optional<std::string>& data,
                                     const std::optional<OULError>& error) {
  // The client stays the context's until its answer; another one means a reset replaced the
  // context while the request was out, and nothing of the wiped data's attempt is kept.
  if (!ODM1Context_ || ODM1Context_->PSMClient.get() != &client) {
    updateSchedule();
    return;
  }
  incrementPSMCountOnWorkerQueueWithName(countUserPropertyName(client.inputType()));
  bool answered = !error && (status == kOULNetworkHTTPStatusOK ||
                             status == kOULNetworkHTTPStatusCodeNotModified ||
                             status == kOULNetworkHTTPStatusNoContent);
  if (answered) {
    std::optional<std::string> value = client.parsedPSMValueFromResponse(
        data ? std::optional<std::string_view>(*data) : std::nullopt);
    if (value && !value->empty()) {
      monitor().logWithLevel(7, 23229, "On-device conversion measurement found a match");
      handlePSMValueOnWorkerQueue(*value, isSessionValue);
    } else {
      monitor().logWithLevel(7, 23230,
                             "On-device conversion measurement did not find a match. Will try "
                             "again given new user data.");
    }
    if (ODM1Context_) {
      ODM1Context_->isPSMRequestInProgress = false;
      ODM1Context_->PSMClient.reset();
    }
    updateSchedule();
    return;
  }
  monitor().logWithLevel(1, 23228,
                         "Failed to query data set for on-device conversion measurement. Will "
                         "retry later. Code, error",
                         status, error ? APMLogContext(error->description) : APMLogContext());
  if (ODM1Context_) ODM1Context_->isPSMRequestInProgress = false;
  maybeSchedulePSMRetry();
  updateSchedule();
}

void APMMeasurement::maybeSchedulePSMRetry() {
  if (!ODM1Context_) return;
  int32_t retries = ODM1Context_->PSMRetryCount;
  ODM1Context_->PSMRetryCount = retries + 1;
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  if (retries + 1 >= config->maxPSMRetryCount()) {
    monitor().logWithLevel(4, 23231,
                           "On-device conversion measurement failed to find a match. Reached "
                           "retry limit.");
    return;
  }
  if (!ODM1Context_->PSMRetryAlarm) {
    ODM1Context_->PSMRetryAlarm =
        APMAlarm::create(scheduler_->workerQueue(), "On-device conversion measurement timer");
  }
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  ODM1Context_->PSMRetryAlarm->runAfterDelay(
      config->PSMRetryInterval() * std::pow(2.0, retries), [weak] {
        if (std::shared_ptr<APMMeasurement> engine = weak.lock()) engine->retrievePSMResponse();
      });
}

// --- Results ---

void APMMeasurement::handlePSMValueOnWorkerQueue(const std::string& value, bool isSessionValue) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "handlePSMValueOnWorkerQueue:isSessionValue:");
  if (value.empty()) return;
  double now = apm_engine::now();
  APMErrorSlot error;
  if (!database_->updateODMValue(value, isSessionValue ? "odm1_session_value" : "odm1_value", now,
                                 &error)) {
    monitor().logWithLevel(1, 23286, "Failed to update ODM value. Error",
                           error ? APMLogContext(*error) : APMLogContext());
  }
  if (std::optional<APMUserAttribute> attribute =
          APMUserAttribute::create("auto", "_psmvalue", APMValue(value), now)) {
    setUserAttributeOnWorkerQueue(*attribute);
  }
  std::optional<APMEvent> event =
      APMEvent::create("auto", false, "_fx", now, 0, APMValueMap{{"_fxs", APMValue("psm")}});
  if (!event) return;
  event->setRealtime(true);
  writeEventOnWorkerQueue(std::move(*event));
}

void APMMeasurement::incrementPSMCountOnWorkerQueueWithName(const std::string& name) {
  APMErrorSlot error;
  int64_t count = 0;
  if (std::optional<APMUserAttribute> stored = database_->userAttributeWithName(name, &error)) {
    if (stored->value().isInt64()) count = stored->value().int64Value();
  }
  if (count < std::numeric_limits<int64_t>::max()) ++count;
  if (std::optional<APMUserAttribute> attribute =
          APMUserAttribute::create("auto", name, APMValue(count), apm_engine::now())) {
    setUserAttributeOnWorkerQueue(*attribute);
  }
}
