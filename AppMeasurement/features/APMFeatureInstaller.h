#pragma once

// Installs the built measurement features behind the engine's seams (APMFeatureServices): the
// audience evaluator and the lifetime-value recorder (each reading its limits from the engine's
// current remote configuration), the session reporter, the shared screen-view reporter (with the
// view-controller appearance hooks that feed it) and the search-ads reporter. Called once by
// a composition root (the app, the driver) before the engine starts; the seams not built yet
// keep their neutral objects. AdServices ("AAAttribution") is the composition root's to
// register, as it is to link.
void APMInstallMeasurementFeatures();
