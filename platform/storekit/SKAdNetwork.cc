#include "platform/storekit/SKAdNetwork.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace {

struct State {
  std::mutex mutex;
  std::vector<SKAdNetwork::Record> records;   // guarded by mutex
  std::vector<double> registrations;          // guarded by mutex
  std::string recordFile;                     // guarded by mutex
  std::optional<SKTransactionError> failure;  // guarded by mutex
  int failures = 0;                           // guarded by mutex
};

State& state() {
  static State* instance = new State;  // never destroyed: completions may run at exit
  return *instance;
}

const std::shared_ptr<platform::DispatchQueue>& queue() {
  static auto* instance = new std::shared_ptr<platform::DispatchQueue>(
      platform::DispatchQueue::createSerial("com.apple.storekit.skadnetwork"));
  return *instance;
}

std::string jsonLine(const SKAdNetwork::Record& record) {
  char line[256];
  std::snprintf(line, sizeof line, "{\"fine\":%lld,\"coarse\":\"%s\",\"lock\":%s,\"time\":%.3f}\n",
                static_cast<long long>(record.fineValue), record.coarseValue.c_str(),
                record.lockWindow ? "true" : "false", record.timestamp);
  return line;
}

}  // namespace

void SKAdNetwork::updatePostbackConversionValue(int64_t fineValue, const std::string& coarseValue,
                                                bool lockWindow, Completion completion) {
  std::optional<SKTransactionError> error;
  if (!OULAppEnvironmentUtil::isSystemVersionAtLeast(16, 1)) {
    error = SKTransactionError{SKANErrorDomain, SKANErrorUnsupported};
  } else {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().failures > 0) {
      --state().failures;
      error = state().failure;
    } else {
      // Only the three coarse values the framework defines are kept as given.
      std::string coarse = coarseValue == SKAdNetworkCoarseConversionValueHigh ||
                                   coarseValue == SKAdNetworkCoarseConversionValueMedium
                               ? coarseValue
                               : SKAdNetworkCoarseConversionValueLow;
      Record record{fineValue, coarse, lockWindow, platform::Clock::current()->now()};
      state().records.push_back(record);
      if (!state().recordFile.empty()) {
        std::ofstream(state().recordFile, std::ios::app) << jsonLine(record);
      }
    }
  }
  if (!completion) return;
  queue()->async([completion = std::move(completion), error] { completion(error); });
}

void SKAdNetwork::registerAppForAdNetworkAttribution() {
  double now = platform::Clock::current()->now();
  std::lock_guard<std::mutex> lock(state().mutex);
  state().registrations.push_back(now);
  if (!state().recordFile.empty()) {
    char line[64];
    std::snprintf(line, sizeof line, "{\"register\":true,\"time\":%.3f}\n", now);
    std::ofstream(state().recordFile, std::ios::app) << line;
  }
}

std::vector<double> SKAdNetwork::registrations() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().registrations;
}

std::vector<SKAdNetwork::Record> SKAdNetwork::records() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().records;
}

void SKAdNetwork::setRecordFile(std::string path) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().recordFile = std::move(path);
}

void SKAdNetwork::failNextUpdates(std::string domain, int64_t code, int count) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().failure = SKTransactionError{std::move(domain), code};
  state().failures = count;
}

void SKAdNetwork::waitUntilIdle() {
  auto done = std::make_shared<platform::DispatchSemaphore>(0);
  queue()->async([done] { done->signal(); });
  done->wait();
}

void SKAdNetwork::resetForTesting() {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().records.clear();
  state().registrations.clear();
  state().recordFile.clear();
  state().failure.reset();
  state().failures = 0;
}
