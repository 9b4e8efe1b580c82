#include "base/base_init.h"

#include <mutex>

#include "base/log_hooks.h"
#include "base/orvaneinit.h"
#include "base/per_thread.h"
#include "base/process_state.h"
#include "base/scheduling/abseil_hooks.h"

namespace base {

void InitializeBaseLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterCommandLineFlagsModules();
    DefineDebuggerCommandSetting();
    InstallInternalLogFunction();
    PerThread::Init();
    InstallRawLogHooks();
    scheduling::AttachAbseilHooks();
  });
}

}  // namespace base
