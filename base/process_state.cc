#include "base/process_state.h"

#include <cstring>
#include <mutex>

#include "base/logging.h"
#include "base/spinlock.h"

namespace base {
namespace {

SpinLock debugger_command_lock;
char debugger_command[1024];

// Function-local, so that the setting is usable from static initialisers of other files.
std::mutex& SettingMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& DebuggerCommandSetting() {
  static auto* setting = new std::string();
  return *setting;
}

void DebuggerCommandChanged() {
  std::string cmd;
  {
    std::lock_guard<std::mutex> lock(SettingMutex());
    cmd = DebuggerCommandSetting();
  }
  KVL_CHECK(cmd.empty()) << "--debugger_command is not supported on this platform";
  std::lock_guard<SpinLock> lock(debugger_command_lock);
  KVL_CHECK(cmd.size() < sizeof(debugger_command));
  std::memcpy(debugger_command, cmd.c_str(), cmd.size() + 1);
}

}  // namespace

void DefineDebuggerCommandSetting() { SetDebuggerCommand(""); }

void SetDebuggerCommand(std::string_view command) {
  {
    std::lock_guard<std::mutex> lock(SettingMutex());
    DebuggerCommandSetting().assign(command);
  }
  DebuggerCommandChanged();
}

std::string DebuggerCommand() {
  std::lock_guard<SpinLock> lock(debugger_command_lock);
  return std::string(debugger_command);
}

}  // namespace base
