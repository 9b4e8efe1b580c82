#pragma once

#include <memory>

class APMExperimentManaging;

// Installs the built measurement features behind the engine's seams (APMFeatureServices): the
// audience evaluator and the lifetime-value recorder (each reading its limits from the engine's
// current remote configuration), the session reporter, the shared screen-view reporter (with the
// view-controller appearance hooks that feed it), the search-ads reporter, the purchase
// reporter with the App Store receipt, and the experiment manager. Called once by a
// composition root (the app, the driver) before the engine starts; the seams not built yet
// keep their neutral objects. AdServices ("AAAttribution") is the composition root's to
// register, as it is to link.
//
// The experiment manager is the process's shared one (its task manager starts at once: call
// this after the app's container and the service hosts are set).
void APMInstallMeasurementFeatures();
// The same with another experiment manager (tests; null: no experiments).
void APMInstallMeasurementFeatures(std::shared_ptr<APMExperimentManaging> experimentManager);
