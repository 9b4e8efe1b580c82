#include "base/casts.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include "base/logging.h"

namespace base {

std::string Demangle(const char* mangled_name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled_name, nullptr, nullptr, &status), std::free);
  if (status != 0 || demangled == nullptr) return mangled_name;
  return demangled.get();
}

void BadDownCastCrash(const char* description, const char* actual_type_name) {
  std::string message(description);
  message.append(": down_cast failed (actual type = ");
  message.append(actual_type_name);
  message.append(")");
  LogFatal(__FILE__, __LINE__, message);
}

}  // namespace base
