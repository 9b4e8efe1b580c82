#include "OrvaneAdsOnDeviceConversion/Sources/ODCAsyncTask.h"

#include <limits>

#include "AppMeasurement/PrivateSetMembership/Sources/ODCServiceHost.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCLogger.h"
#include "platform/utilities/OULNetworkConstants.h"

std::string ODCPercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

namespace {

// Why an exchange failed, in a line of its own: a transport failure (refused by the transport
// rule, no connection, time-out) reaches the handlers as an error the module's own codes do not
// describe, and the status check's error (4000) does not name the status.
void logFailedExchange(const std::string& url, const std::optional<OULHTTPURLResponse>& response,
                       const std::optional<OULError>& error) {
  if (error) {
    ODCLogWarning(kODCExchangeFailedCode, "Request to %s failed: %s (%s %lld)", url.c_str(),
                  error->description.c_str(), error->domain.c_str(),
                  static_cast<long long>(error->code));
  } else if (response && response->statusCode != kOULNetworkHTTPStatusOK &&
             response->statusCode != kOULNetworkHTTPStatusNoContent) {
    ODCLogWarning(kODCExchangeFailedCode, "Request to %s answered HTTP status %lld", url.c_str(),
                  static_cast<long long>(response->statusCode));
  }
}

}  // namespace

ODCAsyncTask::ODCAsyncTask(std::shared_ptr<ODCContext> context) : context_(std::move(context)) {}

void ODCAsyncTask::startTaskWithCompletion(Completion completion) {
  completion_ = std::move(completion);
  retryCount_ = 0;
  executeTask();
}

void ODCAsyncTask::executeTask() { finishTaskWithError(std::nullopt); }

void ODCAsyncTask::finishTaskWithError(const std::optional<OULError>& error) {
  if (!error && nextTask_) {
    nextTask_->startTaskWithCompletion(completion_);
    return;
  }
  if (error && retryCount_ < kMaximumRetries) {
    const double delay = kFirstRetryDelay * static_cast<double>(int64_t{1} << retryCount_);
    context_->serialQueue->after(delay, [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->executeTask();
    });
    ++retryCount_;
    return;
  }
  finishTaskChainWithError(error);
}

void ODCAsyncTask::finishTaskChainWithError(const std::optional<OULError>& error) {
  if (completion_) completion_(error);
}

std::string ODCAsyncTask::commonQueryParameters() const {
  int64_t odm2Count = 0;
  if (context_->conversionStore)
    odm2Count = context_->conversionStore->odm2RetryCount().value_or(0);
  // Printed as 32-bit numbers: saturate rather than wrap.
  auto clamp = [](int64_t v) {
    return std::to_string(
        std::max<int64_t>(std::numeric_limits<int32_t>::min(),
                          std::min<int64_t>(std::numeric_limits<int32_t>::max(), v)));
  };
  return "version=1.1&bundle_id=" + ODCPercentEncode(context_->bundleID) +
         "&app_version=" + ODCPercentEncode(context_->appVersion) + "&sdk_version=odm-sdk-i-v" +
         ODCPercentEncode(context_->SDKVersion) + "&retry_count=" + clamp(retryCount_) +
         "&odm2_count=" + clamp(odm2Count) +
         "&source=" + (context_->isSourceOA4K ? "oa4k" : "aaps");
}

bool ODCAsyncTask::checkHTTPResponse(const OULHTTPURLResponse& response,
                                     std::optional<OULError>* error) {
  if (response.statusCode == kOULNetworkHTTPStatusOK ||
      response.statusCode == kOULNetworkHTTPStatusNoContent) {
    return true;
  }
  *error = ODCErrorWithCode(4000, "HTTP status code is not OK or NO_CONTENT.");
  return false;
}

void ODCAsyncTask::request(const std::string& pathAndQuery, std::optional<std::string> body,
                           Handler handler) {
  const std::string url = ODCServiceHost::baseURL() + pathAndQuery;
  auto completion = [weak = weak_from_this(), handler, url](const auto& response, const auto& data,
                                                            const auto& error) {
    logFailedExchange(url, response, error);
    if (auto self = weak.lock()) ((*self).*handler)(response, data, error);
  };
  if (body) {
    context_->network->postURL(url, *std::move(body), context_->serialQueue, false, completion);
  } else {
    context_->network->getURL(url, {}, context_->serialQueue, false, completion);
  }
}
