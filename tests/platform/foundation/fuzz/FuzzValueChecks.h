#pragma once

#include <cstdlib>
#include <string>

#include "platform/foundation/Text.h"
#include "platform/foundation/Value.h"

namespace fuzzchecks {

// Containers nested in the value: a scalar is 0, an array of scalars 1.
inline int depthOf(const platform::Value& value) {
  int deepest = 0;
  if (const auto* array = value.asArray()) {
    for (const auto& item : *array) deepest = std::max(deepest, depthOf(item));
    return deepest + 1;
  }
  if (const auto* dictionary = value.asDictionary()) {
    for (const auto& entry : *dictionary) deepest = std::max(deepest, depthOf(entry.second));
    return deepest + 1;
  }
  return 0;
}

// Every string and key of the value is valid UTF-8.
inline bool textIsValid(const platform::Value& value) {
  if (const auto* text = value.asString()) return platform::Text::isValidUTF8(*text);
  if (const auto* array = value.asArray()) {
    for (const auto& item : *array) {
      if (!textIsValid(item)) return false;
    }
  }
  if (const auto* dictionary = value.asDictionary()) {
    for (const auto& [key, item] : *dictionary) {
      if (!platform::Text::isValidUTF8(key) || !textIsValid(item)) return false;
    }
  }
  return true;
}

// What the foundation's "Untrusted input" section promises of a parsed value.
inline void checkParsed(const platform::Value& value, int maxDepth) {
  if (depthOf(value) > maxDepth) std::abort();
  if (!textIsValid(value)) std::abort();
}

}  // namespace fuzzchecks
