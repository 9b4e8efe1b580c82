#pragma once

#include <string>
#include <string_view>

// The registry of named module initialisers: each (type, name) pair has one initialiser
// object. Registering a second object under a name, or the same object twice, stops the
// program. Thread-safe.
namespace base {

class OrvaneInitializer {
 public:
  using Function = void (*)();

  // Fills the object and registers it under (type, name).
  OrvaneInitializer(std::string type, std::string name, Function function);
  OrvaneInitializer(const OrvaneInitializer&) = delete;
  OrvaneInitializer& operator=(const OrvaneInitializer&) = delete;

  const std::string& type() const { return type_; }
  const std::string& name() const { return name_; }
  Function function() const { return function_; }
  bool done() const { return done_; }

  // Runs the function unless it has run; not thread-safe (initialisers run during start-up).
  void Run();

 private:
  friend void RegisterInitializer(OrvaneInitializer* init, std::string type, std::string name,
                                  OrvaneInitializer::Function function);
  OrvaneInitializer() = default;

  std::string type_;
  std::string name_;
  Function function_ = nullptr;
  bool done_ = false;
};

// Fills init with (type, name, function, not done) and records it in the registry.
void RegisterInitializer(OrvaneInitializer* init, std::string type, std::string name,
                         OrvaneInitializer::Function function);

// The object registered under (type, name), or nullptr.
OrvaneInitializer* FindInitializer(std::string_view type, std::string_view name);

// Whether the process is inside, respectively after, command-line flag parsing. Nothing in
// this program parses flags, so both stay false.
bool DoingCommandLineFlagsParsing();
bool AfterCommandLineFlagsParsing();

// Registers the two "module" initialisers "command_line_flags_parsing" and
// "command_line_flags_parsed" (once; later calls do nothing).
void RegisterCommandLineFlagsModules();

}  // namespace base
