#pragma once

// The thread-blocking hooks of the Abseil dependency. Its packaged shared libraries call four
// override points through the dynamic linker: the per-thread semaphore's wait and post, the
// mutex's yield and the sleep. A definition in the program takes their place, so defining them
// (abseil_hooks.cc) is what attaches them; the functions of thread_blocking.h do the work.
namespace base::scheduling {

// Pulls the hooks into every program that sets the base library up (InitializeBaseLibrary
// calls it), and answers whether Abseil's calls reach them: false when the program does not
// export them, in which case Abseil keeps its own implementation. Thread-safe.
bool AttachAbseilHooks();

}  // namespace base::scheduling
