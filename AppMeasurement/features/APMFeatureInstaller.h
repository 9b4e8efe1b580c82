#pragma once

// Installs the built measurement features behind the engine's seams (APMFeatureServices):
// today the audience evaluator, reading its limits from the engine's current remote
// configuration, and the lifetime-value recorder. Called once by a composition root (the app, the driver) before the engine
// starts; the seams not built yet keep their neutral objects.
void APMInstallMeasurementFeatures();
