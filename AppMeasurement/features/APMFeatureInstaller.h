#pragma once

// Installs the built measurement features behind the engine's seams (APMFeatureServices): the
// audience evaluator and the lifetime-value recorder, each reading its limits from the engine's
// current remote configuration. Called once by a composition root (the app, the driver) before
// the engine starts; the seams not built yet keep their neutral objects.
void APMInstallMeasurementFeatures();
