#pragma once

#include <string>

namespace platform {

// Return types of a plug-in method as web code sees them.
inline constexpr const char* CAPPluginReturnPromise = "promise";
inline constexpr const char* CAPPluginReturnNone = "none";
inline constexpr const char* CAPPluginReturnCallback = "callback";

// One entry of a plug-in's method table: the name web code calls and its return type.
struct CAPPluginMethod {
  CAPPluginMethod(std::string name, std::string returnType)
      : name(std::move(name)), returnType(std::move(returnType)) {}
  std::string name;
  std::string returnType;
};

}  // namespace platform
