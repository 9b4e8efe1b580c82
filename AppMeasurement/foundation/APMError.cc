#include "AppMeasurement/foundation/APMError.h"

#include "AppMeasurement/foundation/APMLogContext.h"

namespace {

std::string stringEntry(const platform::Value::Dictionary& userInfo, std::string_view key) {
  auto it = userInfo.find(key);
  if (it == userInfo.end() || !it->second.isString()) return {};
  return *it->second.asString();
}

}  // namespace

std::string APMError::localizedDescription() const {
  return stringEntry(userInfo_, kAPMLocalizedDescriptionKey);
}

std::string APMError::monitorContext() const {
  return stringEntry(userInfo_, kAPMMonitorContextKey);
}

std::string APMError::description() const {
  std::string out = "Error Domain=" + domain_ + " Code=" + std::to_string(code_);
  std::string localized = localizedDescription();
  if (!localized.empty()) out += " \"" + localized + "\"";
  out += " UserInfo=" + platform::Value(userInfo_).description();
  return out;
}

APMError apm_errorWithCode(int64_t code, std::string_view description) {
  return apm_errorWithCode(code, description, {});
}

APMError apm_errorWithCode(int64_t code, std::string_view description,
                           std::string_view monitorContext) {
  platform::Value::Dictionary userInfo;
  if (!description.empty()) {
    userInfo.emplace(kAPMLocalizedDescriptionKey, platform::Value(description));
  }
  if (!monitorContext.empty()) {
    userInfo.emplace(kAPMMonitorContextKey, platform::Value(monitorContext));
  }
  return APMError(std::string(kAPMErrorDomain), code, std::move(userInfo));
}

void APMSetError(APMErrorSlot* error, int64_t code, std::string_view description) {
  if (error) *error = apm_errorWithCode(code, description);
}

void APMSetErrorWithMonitorContext(APMErrorSlot* error, int64_t code, std::string_view description,
                                   std::string_view monitorContext) {
  if (error) *error = apm_errorWithCode(code, description, monitorContext);
}

bool APMCheckResult(bool result, APMErrorSlot* error, int64_t code, std::string_view description) {
  if (!result) APMSetError(error, code, description);
  return result;
}

std::string APMMonitorContextsFromErrors(const std::vector<APMLogContext>& contexts) {
  std::string joined;
  for (const auto& context : contexts) {
    const APMError* error = context.asError();
    if (!error || error->domain() != kAPMErrorDomain) continue;
    std::string monitorContext = error->monitorContext();
    if (monitorContext.empty()) continue;
    if (!joined.empty()) joined += ",";
    joined += monitorContext;
  }
  return joined;
}
