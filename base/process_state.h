#pragma once

#include <string>
#include <string_view>

// The process's debugger-command setting. Running a debugger on a fatal error is not
// supported on this platform: any non-empty command stops the program.
namespace base {

// Defines the setting with its default (empty) value and runs its change callback once.
void DefineDebuggerCommandSetting();

// Changes the setting and runs the change callback.
void SetDebuggerCommand(std::string_view command);

// The command the callback last accepted (always empty in normal operation). Thread-safe.
std::string DebuggerCommand();

}  // namespace base
