#include "AppMeasurement/script/APMPRuntimeValue.h"

#include <cmath>
#include <typeinfo>

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPStorageLedger.h"
#include "AppMeasurement/script/APMPStringCommandEvaluator.h"
#include "AppMeasurement/script/APMPText.h"

// --- release without recursion ---

void APMPReleaseValues(APMPValueList& values) {
  thread_local APMPValueList pending;
  thread_local bool draining = false;
  for (auto& value : values)
    if (value) pending.push_back(std::move(value));
  values.clear();
  if (draining) return;
  draining = true;
  while (!pending.empty()) {
    APMPValuePtr next = std::move(pending.back());
    pending.pop_back();
    next.reset();  // may append the freed value's contents to `pending`
  }
  draining = false;
}

// --- base ---

std::u16string APMPRuntimeValue::stringValueOrError(APMPErrorSlot* error) const {
  APMPSetError(error, APMPErrorCodeStringConversion);
  return u"";
}

double APMPRuntimeValue::doubleValueOrError(APMPErrorSlot* error) const {
  APMPSetError(error, APMPErrorCodeNumberConversion);
  return std::nan("");
}

bool APMPRuntimeValue::booleanValueOrError(APMPErrorSlot* error) const {
  APMPSetError(error, APMPErrorCodeBooleanConversion);
  return false;
}

APMPValuePtr APMPRuntimeValue::applyWithName(const std::u16string& name,
                                             const APMPValueList& arguments,
                                             const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (name == u"toString") {
    std::u16string text = stringValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
    return APMPStringValue::make(std::move(text));
  }
  APMPSetError(error, APMPErrorCodeUnknownMethod);
  return APMPUndefined();
}

bool APMPRuntimeValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return this == &other;
}

bool APMPRuntimeValue::isSameClass(const APMPRuntimeValue& other) const {
  // The classes that have subclasses (map, function) test with dynamic_cast themselves;
  // for the others the exact type is the class.
  return typeid(*this) == typeid(other);
}

bool APMPRuntimeValue::equalityTooDeep(int delta) {
  // Structural equality of cyclic contents would never end; past this depth two values are
  // taken as unequal.
  thread_local int depth = 0;
  depth += delta;
  return depth > 256;
}

// --- undefined and null ---

const APMPValuePtr& APMPUndefinedValue::sharedInstance() {
  static const APMPValuePtr instance = std::make_shared<APMPUndefinedValue>();
  return instance;
}
std::u16string APMPUndefinedValue::stringValueOrError(APMPErrorSlot*) const { return u"undefined"; }
double APMPUndefinedValue::doubleValueOrError(APMPErrorSlot*) const { return std::nan(""); }
bool APMPUndefinedValue::booleanValueOrError(APMPErrorSlot*) const { return false; }
APMPValuePtr APMPUndefinedValue::applyWithName(const std::u16string&, const APMPValueList&,
                                               const APMPScopePtr&, APMPErrorSlot* error) {
  APMPSetError(error, APMPErrorCodeMethodOfNullOrUndefined);
  return APMPUndefined();
}
bool APMPUndefinedValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return other.kind() == APMPValueKind::Undefined;
}

const APMPValuePtr& APMPNullValue::sharedInstance() {
  static const APMPValuePtr instance = std::make_shared<APMPNullValue>();
  return instance;
}
std::u16string APMPNullValue::stringValueOrError(APMPErrorSlot*) const { return u"null"; }
double APMPNullValue::doubleValueOrError(APMPErrorSlot*) const { return 0; }
bool APMPNullValue::booleanValueOrError(APMPErrorSlot*) const { return false; }
APMPValuePtr APMPNullValue::applyWithName(const std::u16string&, const APMPValueList&,
                                          const APMPScopePtr&, APMPErrorSlot* error) {
  APMPSetError(error, APMPErrorCodeMethodOfNullOrUndefined);
  return APMPUndefined();
}
bool APMPNullValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return other.kind() == APMPValueKind::Null;
}

// --- boolean ---

const APMPValuePtr& APMPBooleanValue::booleanValueWithBool(bool value) {
  static const APMPValuePtr yes = std::make_shared<APMPBooleanValue>(true);
  static const APMPValuePtr no = std::make_shared<APMPBooleanValue>(false);
  return value ? yes : no;
}
std::u16string APMPBooleanValue::stringValueOrError(APMPErrorSlot*) const {
  return value_ ? u"true" : u"false";
}
double APMPBooleanValue::doubleValueOrError(APMPErrorSlot*) const { return value_ ? 1 : 0; }
bool APMPBooleanValue::booleanValueOrError(APMPErrorSlot*) const { return value_; }
bool APMPBooleanValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return other.kind() == APMPValueKind::Boolean &&
         static_cast<const APMPBooleanValue&>(other).value_ == value_;
}

// --- number ---

std::u16string APMPNumberValue::stringValueOrError(APMPErrorSlot*) const {
  return APMPNumberToString(value_);
}
double APMPNumberValue::doubleValueOrError(APMPErrorSlot*) const { return value_; }
bool APMPNumberValue::booleanValueOrError(APMPErrorSlot*) const { return value_ > 0 || value_ < 0; }
bool APMPNumberValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (other.kind() != APMPValueKind::Number) return false;
  double o = static_cast<const APMPNumberValue&>(other).value_;
  return o == value_ || (std::isnan(o) && std::isnan(value_));
}

// --- string ---

APMPStringValue::APMPStringValue(std::u16string value)
    : APMPRuntimeValue(APMPValueKind::String), value_(std::move(value)) {
  APMPStorageLedger::add(static_cast<int64_t>(value_.size()));
  APMPChargeWork(value_.size());
}

APMPStringValue::~APMPStringValue() {
  APMPStorageLedger::add(-static_cast<int64_t>(value_.size()));
}

std::u16string APMPStringValue::stringValueOrError(APMPErrorSlot*) const {
  APMPChargeWork(value_.size());
  return value_;
}
double APMPStringValue::doubleValueOrError(APMPErrorSlot*) const {
  APMPChargeWork(value_.size());
  return APMPStringToNumber(value_);
}
bool APMPStringValue::booleanValueOrError(APMPErrorSlot*) const { return !value_.empty(); }
APMPValuePtr APMPStringValue::applyWithName(const std::u16string& name,
                                            const APMPValueList& arguments,
                                            const APMPScopePtr& scope, APMPErrorSlot* error) {
  return APMPStringCommandEvaluator::sharedInstance().evaluateCommand(name, value_, arguments,
                                                                      scope, error);
}
bool APMPStringValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return other.kind() == APMPValueKind::String &&
         static_cast<const APMPStringValue&>(other).value_ == value_;
}

// --- statement ---

namespace {

int CommandCodeOf(const std::u16string& name) {
  if (name.empty() || name.size() > 2) return -1;
  int code = 0;
  for (char16_t c : name) {
    if (c < u'0' || c > u'9') return -1;
    code = code * 10 + (c - u'0');
  }
  // "07" is not the code "7": only the canonical spelling names a command.
  if (name.size() == 2 && name[0] == u'0') return -1;
  return code;
}

}  // namespace

APMPStatementValue::APMPStatementValue(std::u16string functionName, APMPValueList arguments)
    : APMPRuntimeValue(APMPValueKind::Statement),
      functionName_(std::move(functionName)),
      arguments_(std::move(arguments)),
      commandCode_(CommandCodeOf(functionName_)) {}

bool APMPStatementValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  if (other.kind() != APMPValueKind::Statement) return false;
  const auto& o = static_cast<const APMPStatementValue&>(other);
  if (o.functionName_ != functionName_ || o.arguments_.size() != arguments_.size()) return false;
  bool equal = !equalityTooDeep(1);
  for (size_t i = 0; equal && i < arguments_.size(); ++i)
    equal = arguments_[i]->isEqualToRuntimeValue(*o.arguments_[i]);
  equalityTooDeep(-1);
  return equal;
}

// --- control ---

APMPControlValue::APMPControlValue(std::u16string type, APMPValuePtr data)
    : APMPRuntimeValue(APMPValueKind::Control),
      type_(std::move(type)),
      data_(data ? std::move(data) : APMPUndefined()),
      isReturn_(type_ == u"return") {}

const APMPValuePtr& APMPControlValue::breakValue() {
  static const APMPValuePtr instance = std::make_shared<APMPControlValue>(u"break", nullptr);
  return instance;
}

const APMPValuePtr& APMPControlValue::continueValue() {
  static const APMPValuePtr instance = std::make_shared<APMPControlValue>(u"continue", nullptr);
  return instance;
}

APMPValuePtr APMPControlValue::returnValueWithData(APMPValuePtr data) {
  return std::make_shared<APMPControlValue>(u"return", std::move(data));
}

bool APMPControlValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  if (other.kind() != APMPValueKind::Control) return false;
  const auto& o = static_cast<const APMPControlValue&>(other);
  if (o.type_ != type_) return false;
  bool equal = !equalityTooDeep(1) && data_->isEqualToRuntimeValue(*o.data_);
  equalityTooDeep(-1);
  return equal;
}
