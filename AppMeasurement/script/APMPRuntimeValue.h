#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/script/APMPBlockStorage.h"
#include "AppMeasurement/script/APMPError.h"
#include "AppMeasurement/script/APMPMarkable.h"

class APMPRuntimeValue;
class APMPScope;

using APMPValuePtr = std::shared_ptr<APMPRuntimeValue>;
using APMPValueList = std::vector<APMPValuePtr>;
using APMPScopePtr = std::shared_ptr<APMPScope>;

// Releases the given values without recursing: a value freed here whose own contents are
// released the same way joins a queue that the outermost call drains. Destroying a chain of
// a million nested values thus uses constant stack. Called by the destructors of every
// container of values.
void APMPReleaseValues(APMPValueList& values);
// The same for one value (emptied).
void APMPReleaseValue(APMPValuePtr& value);

// What a value is, for fast type tests. Subclasses keep their base's kind (a native function
// is a Function, the event object of the editing host is a Map).
enum class APMPValueKind {
  Hole,
  Undefined,
  Null,
  Boolean,
  Number,
  String,
  Map,
  Array,
  Function,
  Statement,
  Control
};

// Every datum a script touches. Values are reference objects: identity matters, and the shared
// instances (undefined, null, the two booleans, break, continue, the hole marker) are compared
// by identity. A bare instance is the hole marker of arrays. Values are used by one thread at
// a time (the runtime's caller).
class APMPRuntimeValue : public APMPMarkable,
                         public std::enable_shared_from_this<APMPRuntimeValue> {
 public:
  APMPRuntimeValue() : kind_(APMPValueKind::Hole) {}
  ~APMPRuntimeValue() override = default;
  APMPRuntimeValue(const APMPRuntimeValue&) = delete;
  APMPRuntimeValue& operator=(const APMPRuntimeValue&) = delete;

  APMPValueKind kind() const { return kind_; }

  // Conversions. The base class (statements, control values, the hole marker) fails with
  // errors 5, 4 and 3 and returns the empty text, NaN and false.
  virtual std::u16string stringValueOrError(APMPErrorSlot* error) const;
  virtual double doubleValueOrError(APMPErrorSlot* error) const;
  virtual bool booleanValueOrError(APMPErrorSlot* error) const;

  // Method call with unevaluated arguments, evaluated in `scope` as the method needs them.
  // The base answers "toString" and fails every other name with error 17.
  virtual APMPValuePtr applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                     const APMPScopePtr& scope, APMPErrorSlot* error);

  // Structural equality of contents (not the script operators'). The base: identity.
  virtual bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const;

  // Collector hooks: the base has nothing to mark or sweep.
  void mark(APMPMarker& marker) override {}
  virtual void sweep() {}
  // The collection that last marked this value; 0 for values that carry no mark.
  virtual uint64_t collectorEpoch() const { return 0; }

 protected:
  explicit APMPRuntimeValue(APMPValueKind kind) : kind_(kind) {}
  // True when `other` is of the receiver's class or a subclass of it.
  bool isSameClass(const APMPRuntimeValue& other) const;
  // A depth guard for structural comparisons of nested contents (cyclic ones included).
  static bool equalityTooDeep(int delta);

 private:
  const APMPValueKind kind_;
};

class APMPUndefinedValue final : public APMPRuntimeValue {
 public:
  // Inline: nearly every evaluation returns or compares with it.
  static const APMPValuePtr& sharedInstance() {
    static const APMPValuePtr& instance = *new APMPValuePtr(std::make_shared<APMPUndefinedValue>());
    return instance;
  }
  APMPUndefinedValue() : APMPRuntimeValue(APMPValueKind::Undefined) {}
  std::u16string stringValueOrError(APMPErrorSlot* error) const override;
  double doubleValueOrError(APMPErrorSlot* error) const override;
  bool booleanValueOrError(APMPErrorSlot* error) const override;
  APMPValuePtr applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopePtr& scope, APMPErrorSlot* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
};

class APMPNullValue final : public APMPRuntimeValue {
 public:
  static const APMPValuePtr& sharedInstance() {
    static const APMPValuePtr& instance = *new APMPValuePtr(std::make_shared<APMPNullValue>());
    return instance;
  }
  APMPNullValue() : APMPRuntimeValue(APMPValueKind::Null) {}
  std::u16string stringValueOrError(APMPErrorSlot* error) const override;
  double doubleValueOrError(APMPErrorSlot* error) const override;
  bool booleanValueOrError(APMPErrorSlot* error) const override;
  APMPValuePtr applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopePtr& scope, APMPErrorSlot* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
};

class APMPBooleanValue final : public APMPRuntimeValue {
 public:
  // One of the two shared instances.
  static const APMPValuePtr& booleanValueWithBool(bool value);
  explicit APMPBooleanValue(bool value) : APMPRuntimeValue(APMPValueKind::Boolean), value_(value) {}
  bool value() const { return value_; }
  std::u16string stringValueOrError(APMPErrorSlot* error) const override;
  double doubleValueOrError(APMPErrorSlot* error) const override;
  bool booleanValueOrError(APMPErrorSlot* error) const override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

 private:
  bool value_;
};

class APMPNumberValue final : public APMPRuntimeValue {
 public:
  explicit APMPNumberValue(double value) : APMPRuntimeValue(APMPValueKind::Number), value_(value) {}
  static APMPValuePtr make(double value) { return APMPMakeRecycled<APMPNumberValue>(value); }
  double value() const { return value_; }
  std::u16string stringValueOrError(APMPErrorSlot* error) const override;
  double doubleValueOrError(APMPErrorSlot* error) const override;
  bool booleanValueOrError(APMPErrorSlot* error) const override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

 private:
  double value_;
};

// A string value. Its text never changes. Appending to a text (`s = s + "ab"` in a loop) must
// not copy what is appended to: a value made by `appending` may share the storage of its left
// operand, which then holds more code units than that operand reads, and the storage grows
// geometrically when it must be copied, so a loop of appends costs the length appended, not
// the length appended to.
class APMPStringValue final : public APMPRuntimeValue {
 public:
  explicit APMPStringValue(std::u16string value);
  ~APMPStringValue() override;
  static APMPValuePtr make(std::u16string value) {
    return APMPMakeRecycled<APMPStringValue>(std::move(value));
  }
  // `left` followed by `right`, charging the code units copied (error 18 when that spends the
  // budget) and failing with error 20 past kAPMPMaximumStringLength.
  static APMPValuePtr appending(const std::shared_ptr<APMPStringValue>& left,
                                std::u16string_view right, APMPErrorSlot* error);

  // The text; valid as long as the value lives.
  std::u16string_view value() const { return {data_, length_}; }
  // The text as a std::u16string when this value owns exactly its text (every value not made
  // by `appending`, program literals among them); null otherwise.
  const std::u16string* ownText() const {
    return !storage_ && own_.size() == length_ ? &own_ : nullptr;
  }
  // ownText(), or else a copy of the text in `scratch`.
  const std::u16string& text(std::u16string& scratch) const;

  std::u16string stringValueOrError(APMPErrorSlot* error) const override;
  double doubleValueOrError(APMPErrorSlot* error) const override;
  bool booleanValueOrError(APMPErrorSlot* error) const override;
  // Handed to the string methods with the receiver's text.
  APMPValuePtr applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopePtr& scope, APMPErrorSlot* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

  // A value over the first `length` code units of storage shared with other values (made by
  // `appending` only; the tag keeps it out of other hands).
  struct Shared {};
  APMPStringValue(Shared, std::shared_ptr<std::u16string> storage, size_t length);

 private:
  // The storage this value made (empty for a value that shares another's storage).
  std::u16string own_;
  // The storage shared with the value that made it, when this value did not make its own.
  std::shared_ptr<std::u16string> storage_;
  const char16_t* data_;
  size_t length_;
  // What this value added to the storage ledger.
  int64_t accounted_;
};

// A statement of a program: a command code or function name and its unevaluated arguments.
// Never changed after construction.
class APMPStatementValue final : public APMPRuntimeValue {
 public:
  APMPStatementValue(std::u16string functionName, APMPValueList arguments);
  ~APMPStatementValue() override { APMPReleaseValues(arguments_); }
  const std::u16string& functionName() const { return functionName_; }
  const APMPValueList& arguments() const { return arguments_; }
  // The command code when the name is one of the decimal codes "0" to "99", else -1; saves
  // the registrar a text lookup per evaluation.
  int commandCode() const { return commandCode_; }
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

 private:
  std::u16string functionName_;
  APMPValueList arguments_;
  int commandCode_;
};

// "break", "continue" or "return" with its data.
class APMPControlValue final : public APMPRuntimeValue {
 public:
  APMPControlValue(std::u16string type, APMPValuePtr data);
  static const APMPValuePtr& breakValue();
  static const APMPValuePtr& continueValue();
  static APMPValuePtr returnValueWithData(APMPValuePtr data);
  const std::u16string& type() const { return type_; }
  const APMPValuePtr& data() const { return data_; }
  bool isReturn() const { return isReturn_; }
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;

 private:
  std::u16string type_;
  APMPValuePtr data_;
  bool isReturn_;
};

// Hands `value` to the marker when it can hold other values (maps, arrays and functions,
// native ones included); the other kinds have nothing to mark.
inline void APMPMarkValue(APMPMarker& marker, const APMPValuePtr& value) {
  if (!value) return;
  switch (value->kind()) {
    case APMPValueKind::Map:
    case APMPValueKind::Array:
    case APMPValueKind::Function:
      marker.add(value.get());
      break;
    default:
      break;
  }
}

// The shared undefined value, for brevity.
inline const APMPValuePtr& APMPUndefined() { return APMPUndefinedValue::sharedInstance(); }
inline const APMPValuePtr& APMPNull() { return APMPNullValue::sharedInstance(); }
