#pragma once

// Sets up the base library once, in order: the command-line-flag module initialisers, the
// debugger-command setting, Abseil's internal log function, per-thread keys, and the raw-log
// hooks. Called from the composition roots (the app's main and test mains) rather than from
// static initialisers, which a static library may drop. Thread-safe; later calls do nothing.
namespace base {

void InitializeBaseLibrary();

}  // namespace base
