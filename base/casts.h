#pragma once

#include <string>
#include <type_traits>
#include <typeinfo>

// Checked down-casts. A failed cast is a program error: it is reported with the cast and the
// object's real type, and the program stops.
namespace base {

// Logs "<description>: down_cast failed (actual type = <actual_type_name>)" at fatal severity.
[[noreturn]] void BadDownCastCrash(const char* description, const char* actual_type_name);

// The readable form of a mangled type name (the mangled name when it cannot be demangled).
std::string Demangle(const char* mangled_name);

// The name a cast report gives a class: its static CastTypeName() when it has one (for names
// that the demangler spells differently from the source), else the demangled type name.
template <typename T>
std::string CastTypeNameOf() {
  if constexpr (requires { T::CastTypeName(); }) {
    return T::CastTypeName();
  } else {
    return Demangle(typeid(T).name());
  }
}

template <typename T>
std::string QualifiedCastTypeName() {
  return std::string(std::is_const_v<T> ? "const " : "") + CastTypeNameOf<std::remove_cv_t<T>>();
}

// dynamic_cast that stops the program when the object is not a To.
template <typename To, typename From>
To down_cast(From* from) {
  static_assert(std::is_pointer_v<To>, "down_cast converts pointers");
  if (from == nullptr) return nullptr;
  To to = dynamic_cast<To>(from);
  if (to == nullptr) {
    std::string description =
        "To down_cast(From *) [To = " + QualifiedCastTypeName<std::remove_pointer_t<To>>() +
        " *, From = " + QualifiedCastTypeName<From>() + "]";
    BadDownCastCrash(description.c_str(), Demangle(typeid(*from).name()).c_str());
  }
  return to;
}

}  // namespace base
