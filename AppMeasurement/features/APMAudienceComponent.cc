#include "AppMeasurement/features/APMAudienceComponent.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "AppMeasurement/records/APMEvent.h"

APMAudienceComponent::APMAudienceComponent(APMAudience::LimitsProvider limits)
    : limits_(std::move(limits)) {}

void APMAudienceComponent::setDatabase(APMDatabase* database) {
  audience_ = database ? std::make_unique<APMAudience>(*database, limits_) : nullptr;
  cache_.reset();
}

bool APMAudienceComponent::updateAudiences(const std::vector<APMPBAudience>& audiences) {
  return audience_ ? audience_->updateAudiences(audiences) : true;
}

bool APMAudienceComponent::evaluateFiltersForEvent(const APMEvent& event,
                                                   const APMEventAggregates& aggregates) {
  if (!audience_) return true;
  if (!cache_) cache_ = std::make_unique<APMAudienceTimestampsCache>();
  return audience_->evaluateFiltersForEvent(event, aggregates, cache_.get());
}

bool APMAudienceComponent::evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                                          double evaluationTime) {
  return audience_ ? audience_->evaluateFiltersForUserProperty(property, nullptr, evaluationTime)
                   : true;
}

bool APMAudienceComponent::addResultsForBundling(APMPBMeasurementBundle& bundle) {
  if (!audience_) return true;
  using B = APMPBMeasurementBundle;
  std::unique_ptr<APMAudienceTimestampsCache> cache = std::move(cache_);
  if (!cache) cache = std::make_unique<APMAudienceTimestampsCache>();
  const bool sessionCleared = std::exchange(sessionCleared_, false);
  auto attributes = NANOGetMessageArray<APMPBUserAttribute>(bundle, B::kUserAttributes)
                        .value_or(std::vector<APMPBUserAttribute>{});
  // The events' times, read in place (a bundle holds up to a thousand events).
  auto events =
      NANOViewMessageArray<APMPBEvent>(bundle, B::kEvents).value_or(std::vector<NANOMessageView>{});
  std::optional<double> earliest;
  for (const NANOMessageView& event : events) {
    const double time =
        static_cast<double>(NANOGetInt64(event, APMPBEvent::kTimestampMillis)) / 1000.0;
    earliest = earliest ? std::min(*earliest, time) : time;
  }
  // A property that cannot be converted or evaluated only loses its own evaluation.
  for (const APMPBUserAttribute& attribute : attributes) {
    if (sessionCleared) audience_->evaluateFiltersForNanoUserProperty(attribute, nullptr, {});
    audience_->evaluateFiltersForNanoUserProperty(attribute, cache.get(), earliest);
  }
  std::optional<std::vector<APMPBAudienceLeafFilterResult>> leaves;
  if (!audience_->resultsForBundling(&leaves)) return false;
  if (leaves && !leaves->empty()) {
    NANOSetMessageArray(bundle, B::kAudienceEvaluationResults, *leaves);
  }
  return true;
}

void APMAudienceComponent::clearEvaluationResultsForSessionScopedFilters() {
  if (!audience_) return;
  audience_->clearEvaluationResultsForSessionScopedFilters();
  sessionCleared_ = true;
}
