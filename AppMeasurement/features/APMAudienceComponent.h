#pragma once

#include <memory>

#include "AppMeasurement/features/APMAudience.h"
#include "AppMeasurement/features/APMAudienceTimestampsCache.h"
#include "AppMeasurement/engine/APMFeatureServices.h"

// The audience evaluator as the engine sees it: an APMAudience over the engine's database,
// with one timestamp cache per bundle (made at the bundle's first event, dropped when its
// results are added). Worker queue only, like the engine calls that reach it.
class APMAudienceComponent : public APMAudienceEvaluating {
 public:
  // `limits` is read at each definition update (the engine's current remote configuration).
  explicit APMAudienceComponent(APMAudience::LimitsProvider limits = nullptr);

  void setDatabase(APMDatabase* database) override;
  bool updateAudiences(const std::vector<APMPBAudience>& audiences) override;
  bool evaluateFiltersForEvent(const APMEvent& event,
                               const APMEventAggregates& aggregates) override;
  bool evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                      double evaluationTime) override;
  // Evaluates the bundle's user attributes (after a session start also once without a cache
  // or evaluation time), then stores the audience leaves in field 29 when there are any.
  bool addResultsForBundling(APMPBMeasurementBundle& bundle) override;
  void clearEvaluationResultsForSessionScopedFilters() override;

 private:
  APMAudience::LimitsProvider limits_;
  std::unique_ptr<APMAudience> audience_;
  std::unique_ptr<APMAudienceTimestampsCache> cache_;
  bool sessionCleared_ = false;
};
