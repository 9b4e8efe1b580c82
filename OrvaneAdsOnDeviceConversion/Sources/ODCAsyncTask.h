#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneAdsOnDeviceConversion/Sources/ODCContext.h"
#include "platform/utilities/OULError.h"
#include "platform/utilities/OULHTTPURLResponse.h"

// One HTTP step of a matching attempt, chained to the next. A failed step retries itself after
// 60 s x 2^retries (60, 120, 240, 480, 960 s of platform::Clock, on the context's queue) up to
// five times; then the chain completes with the step's last error. Every method runs on the
// context's serial queue; network completions and retry timers come back there and reach a task
// only while it exists.
class ODCAsyncTask : public std::enable_shared_from_this<ODCAsyncTask> {
 public:
  using Completion = std::function<void(const std::optional<OULError>& error)>;
  static constexpr int64_t kMaximumRetries = 5;
  static constexpr double kFirstRetryDelay = 60.0;

  explicit ODCAsyncTask(std::shared_ptr<ODCContext> context);
  virtual ~ODCAsyncTask() = default;

  // Keeps the completion, resets the retry count and executes.
  void startTaskWithCompletion(Completion completion);
  // The step itself; the base class finishes at once without error.
  virtual void executeTask();
  void finishTaskWithError(const std::optional<OULError>& error);
  void finishTaskChainWithError(const std::optional<OULError>& error);

  const std::shared_ptr<ODCContext>& context() const { return context_; }
  void setNextTask(std::shared_ptr<ODCAsyncTask> next) { nextTask_ = std::move(next); }
  const std::shared_ptr<ODCAsyncTask>& nextTask() const { return nextTask_; }

  // "version=1.1&bundle_id=...&app_version=...&sdk_version=odm-sdk-i-v...&retry_count=..&
  // odm2_count=..&source=oa4k|aaps", values percent-encoded outside RFC 3986's unreserved set.
  std::string commonQueryParameters() const;
  // 200 and 204 pass; anything else sets error 4000.
  static bool checkHTTPResponse(const OULHTTPURLResponse& response, std::optional<OULError>* error);

 protected:
  using Handler = void (ODCAsyncTask::*)(const std::optional<OULHTTPURLResponse>&,
                                         const std::optional<std::string>&,
                                         const std::optional<OULError>&);
  // GET (no body) or POST to the service path; the answer goes to `handler` of this task
  // while it exists.
  void request(const std::string& pathAndQuery, std::optional<std::string> body, Handler handler);

  int64_t retryCount_ = 0;

 private:
  std::shared_ptr<ODCContext> context_;
  Completion completion_;
  std::shared_ptr<ODCAsyncTask> nextTask_;
};

// Percent-encodes every byte outside RFC 3986's unreserved characters.
std::string ODCPercentEncode(std::string_view text);
