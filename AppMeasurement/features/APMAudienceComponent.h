#pragma once

#include <memory>

#include "AppMeasurement/features/APMAudience.h"
#include "AppMeasurement/features/APMAudienceTimestampsCache.h"
#include "AppMeasurement/engine/APMFeatureServices.h"

// The audience evaluator as the engine sees it: an APMAudience over the engine's database,
// with one timestamp cache per bundle (made when the bundle's pass begins, dropped when its
// results are added). Worker queue only, like the engine calls that reach it.
class APMAudienceComponent : public APMAudienceEvaluating {
 public:
  // `limits` is read at each definition update (the engine's current remote configuration).
  explicit APMAudienceComponent(APMAudience::LimitsProvider limits = nullptr);

  void setDatabase(APMDatabase* database) override;
  bool updateAudiences(const std::vector<APMPBAudience>& audiences) override;
  void beginBundleEvaluation() override;
  bool evaluateFiltersForEvent(const APMEvent& event,
                               const APMEventAggregates& aggregates) override;
  bool evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                      double evaluationTime) override;
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property, bool withBundleCache,
                                          std::optional<double> evaluationTime) override;
  // Stores the audience leaves in field 29 when there are any.
  bool addResultsForBundling(APMPBMeasurementBundle& bundle) override;
  void clearEvaluationResultsForSessionScopedFilters() override;

 private:
  APMAudienceTimestampsCache& bundleCache();

  APMAudience::LimitsProvider limits_;
  std::unique_ptr<APMAudience> audience_;
  std::unique_ptr<APMAudienceTimestampsCache> cache_;
};
