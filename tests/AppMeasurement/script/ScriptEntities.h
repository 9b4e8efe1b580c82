#pragma once

// Test-only: statement-value trees written as program entities (RuntimeEntity messages), as
// the remote configuration delivers them.

#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/script/APMPText.h"
#include "tests/AppMeasurement/script/ScriptProgram.h"

namespace script_test {

inline APMPBRuntimeEntity ToEntity(const APMPValuePtr& value) {
  APMPBRuntimeEntity entity;
  switch (value->kind()) {
    case APMPValueKind::String:
      NANOSetInt32(entity, APMPBRuntimeEntity::kType, 1);
      NANOSetString(entity, APMPBRuntimeEntity::kStringValue,
                    APMPUTF8FromUTF16(static_cast<APMPStringValue&>(*value).value()));
      break;
    case APMPValueKind::Number:
      NANOSetInt32(entity, APMPBRuntimeEntity::kType, 2);
      NANOSetDouble(entity, APMPBRuntimeEntity::kNumberValue,
                    static_cast<APMPNumberValue&>(*value).value());
      break;
    case APMPValueKind::Boolean:
      NANOSetInt32(entity, APMPBRuntimeEntity::kType, 3);
      NANOSetBool(entity, APMPBRuntimeEntity::kBooleanValue,
                  static_cast<APMPBooleanValue&>(*value).value());
      break;
    default: {
      auto& statement = static_cast<APMPStatementValue&>(*value);
      NANOSetInt32(entity, APMPBRuntimeEntity::kType, 4);
      NANOSetString(entity, APMPBRuntimeEntity::kStatement,
                    APMPUTF8FromUTF16(statement.functionName()));
      std::vector<APMPBRuntimeEntity> children;
      for (const auto& argument : statement.arguments()) children.push_back(ToEntity(argument));
      NANOSetMessageArray(entity, APMPBRuntimeEntity::kValue, children);
    }
  }
  return entity;
}

inline std::vector<APMPBRuntimeEntity> ToEntities(const Ns& program) {
  std::vector<APMPBRuntimeEntity> out;
  for (const auto& n : program) out.push_back(ToEntity(n.value));
  return out;
}

// A program of instructions and activities (name, rule entities).
inline APMPBProgram MakeProgram(const Ns& instructions,
                                const std::vector<std::pair<std::string, Ns>>& activities) {
  APMPBProgram program;
  NANOSetMessageArray(program, APMPBProgram::kInstructions, ToEntities(instructions));
  APMPBOgtActivities list;
  std::vector<APMPBOgtActivity> items;
  for (const auto& [name, data] : activities) {
    APMPBOgtActivity activity;
    NANOSetString(activity, APMPBOgtActivity::kName, name);
    NANOSetMessageArray(activity, APMPBOgtActivity::kData, ToEntities(data));
    items.push_back(std::move(activity));
  }
  NANOSetMessageArray(list, APMPBOgtActivities::kActivities, items);
  NANOSetMessage(program, APMPBProgram::kOgtActivities, list);
  return program;
}

}  // namespace script_test
