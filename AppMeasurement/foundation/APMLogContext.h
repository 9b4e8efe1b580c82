#pragma once

#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "AppMeasurement/foundation/APMError.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Value.h"

// One context object of a monitor log call: the null object, a plain value (string,
// number, date, collection), an error object, an exception, any other object known by its
// class name and (optional) description, or a text built only when a line shows it. A value
// type, cheap to build.
class APMLogContext {
 public:
  // What the monitor needs of a caught exception.
  struct ExceptionInfo {
    std::string name;
    std::string reason;
    // Symbol lines of the call stack where it was raised; empty when unknown.
    std::vector<std::string> callStackSymbols;
  };
  // Any other object: its class name, its description when it has a usable one, and an
  // address for the "<class address>" fallback.
  struct ObjectInfo {
    std::string className;
    std::optional<std::string> description;
    const void* address = nullptr;
  };

  APMLogContext() = default;  // the null object
  // Plain values; a null Value is the null object.
  template <typename T>
  requires std::is_constructible_v<platform::Value, T&&> APMLogContext(T&& value)
      : storage_(platform::Value(std::forward<T>(value))) {}
  APMLogContext(APMError error) : storage_(std::move(error)) {}
  APMLogContext(const platform::Exception& exception)
      : storage_(ExceptionInfo{exception.name(), exception.reason(), {}}) {}
  APMLogContext(ExceptionInfo exception) : storage_(std::move(exception)) {}
  APMLogContext(ObjectInfo object) : storage_(std::move(object)) {}

  // A text that is built only when a console line showing it is written: never for a level
  // that is not printed, and not for encoded contexts (where it counts as a string, "-").
  // Written, it reads exactly as the string context of the built text would. The builder runs
  // on the logging thread inside the log call, so it may refer to the caller's locals; such a
  // context must not outlive the statement that logs it.
  using TextBuilder = std::function<std::string()>;
  static APMLogContext deferredText(TextBuilder build) {
    APMLogContext context;
    context.storage_ = DeferredText{std::move(build)};
    return context;
  }

  static APMLogContext object(std::string className, std::optional<std::string> description,
                              const void* address = nullptr) {
    return APMLogContext(ObjectInfo{std::move(className), std::move(description), address});
  }

  bool isNull() const {
    const auto* value = std::get_if<platform::Value>(&storage_);
    return std::holds_alternative<std::monostate>(storage_) || (value && value->isNull());
  }
  const platform::Value* asValue() const { return std::get_if<platform::Value>(&storage_); }
  const APMError* asError() const { return std::get_if<APMError>(&storage_); }
  const ExceptionInfo* asException() const { return std::get_if<ExceptionInfo>(&storage_); }
  const ObjectInfo* asObject() const { return std::get_if<ObjectInfo>(&storage_); }
  const TextBuilder* asDeferredText() const {
    const auto* deferred = std::get_if<DeferredText>(&storage_);
    return deferred ? &deferred->build : nullptr;
  }

 private:
  struct DeferredText {
    TextBuilder build;
  };
  std::variant<std::monostate, platform::Value, APMError, ExceptionInfo, ObjectInfo, DeferredText>
      storage_;
};
