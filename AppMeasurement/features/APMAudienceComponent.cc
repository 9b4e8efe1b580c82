#include "AppMeasurement/features/APMAudienceComponent.h"

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

void APMAudienceComponent::beginBundleEvaluation() {
  cache_ = std::make_unique<APMAudienceTimestampsCache>();
}

APMAudienceTimestampsCache& APMAudienceComponent::bundleCache() {
  if (!cache_) cache_ = std::make_unique<APMAudienceTimestampsCache>();
  return *cache_;
}

bool APMAudienceComponent::evaluateFiltersForEvent(const APMEvent& event,
                                                   const APMEventAggregates& aggregates) {
  if (!audience_) return true;
  return audience_->evaluateFiltersForEvent(event, aggregates, &bundleCache());
}

bool APMAudienceComponent::evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                                          double evaluationTime) {
  return audience_ ? audience_->evaluateFiltersForUserProperty(property, nullptr, evaluationTime)
                   : true;
}

bool APMAudienceComponent::evaluateFiltersForNanoUserProperty(
    const APMPBUserAttribute& property, bool withBundleCache,
    std::optional<double> evaluationTime) {
  if (!audience_) return true;
  return audience_->evaluateFiltersForNanoUserProperty(
      property, withBundleCache ? &bundleCache() : nullptr, evaluationTime);
}

bool APMAudienceComponent::addResultsForBundling(APMPBMeasurementBundle& bundle) {
  cache_.reset();  // the bundle's pass ends here
  if (!audience_) return true;
  std::optional<std::vector<APMPBAudienceLeafFilterResult>> leaves;
  if (!audience_->resultsForBundling(&leaves)) return false;
  if (leaves && !leaves->empty()) {
    NANOSetMessageArray(bundle, APMPBMeasurementBundle::kAudienceEvaluationResults, *leaves);
  }
  return true;
}

void APMAudienceComponent::clearEvaluationResultsForSessionScopedFilters() {
  if (!audience_) return;
  audience_->clearEvaluationResultsForSessionScopedFilters();
}
