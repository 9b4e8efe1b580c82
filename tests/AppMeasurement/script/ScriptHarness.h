#pragma once

// Runs statement lists in a fresh runtime with a "print" function that records a canonical
// text of each value (the same text the JavaScript side of the differential test prints).

#include <memory>
#include <optional>
#include <string>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPText.h"
#include "tests/AppMeasurement/script/ScriptProgram.h"

namespace script_test {

inline std::string JsonQuote(std::u16string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    // A well-formed surrogate pair is one character; only lone surrogates are escaped.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      out += APMPUTF8FromUTF16(text.substr(i, 2));
      ++i;
      continue;
    }
    switch (c) {
      case u'"':
        out += "\\\"";
        break;
      case u'\\':
        out += "\\\\";
        break;
      case u'\n':
        out += "\\n";
        break;
      case u'\r':
        out += "\\r";
        break;
      case u'\t':
        out += "\\t";
        break;
      case u'\b':
        out += "\\b";
        break;
      case u'\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF)) {
          char buffer[8];
          snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
          out += buffer;
        } else {
          out += APMPUTF8FromUTF16(std::u16string(1, c));
        }
    }
  }
  return out + "\"";
}

inline std::string Format(const APMPValuePtr& v, int depth = 0) {
  if (depth > 8) return "...";
  switch (v->kind()) {
    case APMPValueKind::Undefined:
      return "u";
    case APMPValueKind::Null:
      return "null";
    case APMPValueKind::Number:
      return "n:" + APMPUTF8FromUTF16(v->stringValueOrError(nullptr));
    case APMPValueKind::String:
      return "s:" + JsonQuote(static_cast<APMPStringValue&>(*v).value());
    case APMPValueKind::Boolean:
      return std::string("b:") + (static_cast<APMPBooleanValue&>(*v).value() ? "true" : "false");
    case APMPValueKind::Function:
      return "f";
    case APMPValueKind::Array: {
      std::string out = "[";
      const auto& elements = static_cast<APMPArrayValue&>(*v).elements();
      for (size_t i = 0; i < elements.size(); ++i) {
        if (i) out += ",";
        out +=
            elements[i] == APMPArrayValue::emptyValue() ? "hole" : Format(elements[i], depth + 1);
      }
      return out + "]";
    }
    case APMPValueKind::Map: {
      std::string out = "{";
      bool first = true;
      for (const auto& [k, value] : static_cast<APMPMapValue&>(*v).propertyMap().entries()) {
        out += (first ? "" : ",") + JsonQuote(k) + ":" + Format(value, depth + 1);
        first = false;
      }
      return out + "}";
    }
    default:
      return "?";
  }
}

// The JavaScript twin of Format.
inline const char* kJsFormat = R"JS(
function fmt(x, depth) {
  depth = depth || 0;
  if (depth > 8) return "...";
  if (x === undefined) return "u";
  if (x === null) return "null";
  switch (typeof x) {
    case "number": return "n:" + String(x);
    case "string": return "s:" + JSON.stringify(x);
    case "boolean": return "b:" + x;
    case "function": return "f";
  }
  if (Array.isArray(x)) {
    const parts = [];
    for (let i = 0; i < x.length; i++) parts.push(i in x ? fmt(x[i], depth + 1) : "hole");
    return "[" + parts.join(",") + "]";
  }
  return "{" + Object.keys(x).map(k => JSON.stringify(k) + ":" + fmt(x[k], depth + 1)).join(",") + "}";
}
)JS";

class PrintFunction : public APMPFunctionValue {
 public:
  explicit PrintFunction(std::shared_ptr<std::string> out)
      : APMPFunctionValue(u"print", {}, {}, APMPScope::make()), out_(std::move(out)) {}
  APMPValuePtr invokeWithEvaluatedArguments(const APMPValueList& arguments,
                                            APMPErrorSlot*) override {
    *out_ += (arguments.empty() ? "u" : Format(arguments[0])) + "\n";
    return APMPUndefined();
  }

 private:
  std::shared_ptr<std::string> out_;
};

struct RunResult {
  // Keeps the values of the result alive: a runtime empties its values when it ends.
  std::shared_ptr<APMPRuntime> runtime;
  std::string printed;
  std::optional<APMPError> error;
  APMPValuePtr result;
};

inline RunResult RunProgram(APMPRuntime& runtime, const Ns& program) {
  RunResult r;
  auto printed = std::make_shared<std::string>();
  runtime.globalScope()->addValue(std::make_shared<PrintFunction>(printed), u"print");
  APMPValueList statements;
  for (const auto& n : program) statements.push_back(n.value);
  r.result = runtime.executeStatements(statements, &r.error);
  r.printed = *printed;
  return r;
}

inline RunResult RunProgram(const Ns& program) {
  auto runtime = std::make_shared<APMPRuntime>();
  RunResult r = RunProgram(*runtime, program);
  r.runtime = runtime;
  return r;
}

}  // namespace script_test
