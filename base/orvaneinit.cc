#include "base/orvaneinit.h"

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

#include "base/logging.h"

namespace base {
namespace {

struct InitializerData {
  OrvaneInitializer* initializer_obj = nullptr;
  bool initializer_obj_constructed = false;
};

struct TypeData {
  std::map<std::string, InitializerData, std::less<>> initializers;
};

// Made on first use. The map stays for the life of the process (objects may register from
// anywhere during start-up); the mutex guarding it is destroyed at exit.
std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, TypeData, std::less<>>& Registry() {
  static auto* registry = new std::map<std::string, TypeData, std::less<>>();
  return *registry;
}

std::atomic<bool> doing_command_line_flags_parsing{false};
std::atomic<bool> after_command_line_flags_parsing{false};

void CommandLineFlagsParsingModule() {
  KVL_CHECK(doing_command_line_flags_parsing)
      << "Can't call REQUIRE_MODULE_INITIALIZED(command_line_flags_parsing): InitOrvane does it "
         "for you.";
}

void CommandLineFlagsParsedModule() {
  KVL_CHECK(after_command_line_flags_parsing)
      << "Can't call REQUIRE_MODULE_INITIALIZED(command_line_flags_parsed): InitOrvane does it "
         "for you.";
}

}  // namespace

OrvaneInitializer::OrvaneInitializer(std::string type, std::string name, Function function) {
  RegisterInitializer(this, std::move(type), std::move(name), function);
}

void OrvaneInitializer::Run() {
  if (done_) return;
  done_ = true;
  if (function_ != nullptr) function_();
}

void RegisterInitializer(OrvaneInitializer* init, std::string type, std::string name,
                         OrvaneInitializer::Function function) {
  init->type_ = type;
  init->name_ = name;
  init->function_ = function;
  init->done_ = false;

  std::lock_guard<std::mutex> lock(RegistryMutex());
  InitializerData* idata = &Registry()[type].initializers[name];
  if (idata->initializer_obj != nullptr) {
    KVL_CHECK(idata->initializer_obj == init)
        << "There is more than one initializer with name '" + name + "'";
  }
  idata->initializer_obj = init;
  KVL_CHECK(!idata->initializer_obj_constructed)
      << ": Multiple occurrences of initializer '" + name + "'";
  idata->initializer_obj_constructed = true;
}

OrvaneInitializer* FindInitializer(std::string_view type, std::string_view name) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto type_it = Registry().find(type);
  if (type_it == Registry().end()) return nullptr;
  auto it = type_it->second.initializers.find(name);
  return it == type_it->second.initializers.end() ? nullptr : it->second.initializer_obj;
}

bool DoingCommandLineFlagsParsing() { return doing_command_line_flags_parsing; }
bool AfterCommandLineFlagsParsing() { return after_command_line_flags_parsing; }

void RegisterCommandLineFlagsModules() {
  static std::once_flag once;
  std::call_once(once, [] {
    static OrvaneInitializer parsing("module", "command_line_flags_parsing",
                                     &CommandLineFlagsParsingModule);
    static OrvaneInitializer parsed("module", "command_line_flags_parsed",
                                    &CommandLineFlagsParsedModule);
  });
}

}  // namespace base
