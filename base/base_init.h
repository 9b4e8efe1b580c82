#pragma once

// Sets up the base library once, in order: the command-line-flag module initialisers, the
// debugger-command setting, Abseil's internal log function, per-thread keys, and the raw-log
// hooks. Runs by static initialisation of base/logging.cc, before main; calling it again is
// harmless (thread-safe; later calls do nothing).
namespace base {

void InitializeBaseLibrary();

}  // namespace base
