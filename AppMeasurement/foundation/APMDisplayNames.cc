#include "AppMeasurement/foundation/APMDisplayNames.h"

#include <algorithm>
#include <vector>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/foundation/Text.h"
#include "platform/runtime/ClassRegistry.h"

namespace {

bool debugDisplay() {
  return APMMonitor::monitor()->isDebugModeEnabled() &&
         platform::ClassRegistry::shared().contains("KVLAnalytics");
}

bool isInternalName(const std::string* text) { return text && !text->empty() && (*text)[0] == '_'; }

std::string valueText(std::string_view key, const APMObject& value);

std::string renderArray(const std::vector<APMObject>& elements) {
  std::string out = "[\n";
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i) out += ",\n";
    out += APMDescriptionForLogWithIndent(elements[i], "    ");
  }
  return out + "\n    ]";
}

std::string valueText(std::string_view key, const APMObject& value) {
  const APMValue* typed = value.asValue();
  if (typed && typed->arrayValue()) return renderArray(*typed->arrayValue());
  if (const platform::Value::Array* plain = value.asPlainArray()) {
    return renderArray(std::vector<APMObject>(plain->begin(), plain->end()));
  }
  if (key == "_err" && typed && typed->isInt64()) {
    auto name = APMErrorCodeNames().find(typed->int64Value());
    std::string number = std::to_string(typed->int64Value());
    return name == APMErrorCodeNames().end() ? number : name->second + " (" + number + ")";
  }
  return value.description();
}

}  // namespace

std::string APMDisplayNameFromMap(const APMObject& name, const APMNameTable& table) {
  const std::string* text = name.asText();
  if (text == nullptr) return name.description();
  if (table.empty() || !isInternalName(text) || !debugDisplay()) return *text;
  const std::string* found = nullptr;
  for (const auto& [publicName, internalName] : table) {
    if (internalName != *text) continue;
    found = &publicName;
    if (!publicName.starts_with("kavrelin_")) break;
  }
  return found ? *found + " (" + *text + ")" : *text;
}

std::string APMEventNameForDisplay(const APMObject& name) {
  return APMDisplayNameFromMap(name, APMEventNameMap());
}

std::string APMParameterNameForDisplay(const APMObject& name) {
  return APMDisplayNameFromMap(name, APMEventParameterNameMap());
}

std::string APMUserPropertyNameForDisplay(const APMObject& name) {
  const std::string* text = name.asText();
  if (text && text->starts_with("_exp_")) {
    return "experiment_id (" + *text + ")";
  }
  return APMDisplayNameFromMap(name, APMUserPropertyPublicToInternalNames());
}

std::string APMDescriptionForLog(const APMObject& object) {
  return APMDescriptionForLogWithIndent(object, "");
}

std::string APMDescriptionForLog(const APMValueMap& parameters) {
  return APMDescriptionForLog(APMObject(parameters));
}

std::string APMDescriptionForLogWithIndent(const APMObject& object, std::string_view indent) {
  if (!object.isMap() || !APMMonitor::monitor()->isDebugModeEnabled()) {
    return object.description();
  }
  std::vector<std::pair<std::string, APMObject>> entries;
  if (const APMObjectMap* map = object.asMap()) {
    entries.assign(map->begin(), map->end());
  } else if (const APMValueMap* typed = object.asValueMap()) {
    for (const auto& [key, value] : *typed) entries.emplace_back(key, APMObject(value));
  } else {
    for (const auto& [key, value] : *object.asPlain()->asDictionary()) {
      entries.emplace_back(key, APMObject(value));
    }
  }
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return platform::Text::caseInsensitiveCompare(a.first, b.first) < 0;
  });
  std::string out = std::string(indent) + "{\n";
  for (const auto& [key, value] : entries) {
    out += std::string(indent) + "    " + APMParameterNameForDisplay(APMObject(key)) + " = " +
           valueText(key, value) + ";\n";
  }
  return out + std::string(indent) + "}";
}
