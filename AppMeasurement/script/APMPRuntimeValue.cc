#include "AppMeasurement/script/APMPRuntimeValue.h"

#include <cmath>
#include <typeinfo>

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPStorageLedger.h"
#include "AppMeasurement/script/APMPStringCommandEvaluator.h"
#include "AppMeasurement/script/APMPText.h"

// --- release without recursion ---

namespace {

// The values whose last reference is being dropped on this thread, and whether an outer call
// is already draining them.
struct ReleaseQueue {
  APMPValueList pending;
  bool draining = false;
};
thread_local ReleaseQueue gReleaseQueue;

// Queues the value when this is its last reference; a value that others still hold is only
// dropped, which frees nothing and so cannot recurse.
void Enqueue(ReleaseQueue& queue, APMPValuePtr& value) {
  if (!value) return;
  if (value.use_count() > 1) {
    value.reset();
    return;
  }
  queue.pending.push_back(std::move(value));
}

void Drain(ReleaseQueue& queue) {
  if (queue.draining) return;
  queue.draining = true;
  while (!queue.pending.empty()) {
    APMPValuePtr next = std::move(queue.pending.back());
    queue.pending.pop_back();
    next.reset();  // may append the freed value's contents to `pending`
  }
  queue.draining = false;
}

}  // namespace

void APMPReleaseValues(APMPValueList& values) {
  ReleaseQueue& queue = gReleaseQueue;
  for (auto& value : values) Enqueue(queue, value);
  values.clear();
  Drain(queue);
}

void APMPReleaseValue(APMPValuePtr& value) {
  ReleaseQueue& queue = gReleaseQueue;
  Enqueue(queue, value);
  Drain(queue);
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
  static const APMPValuePtr& yes = *new APMPValuePtr(std::make_shared<APMPBooleanValue>(true));
  static const APMPValuePtr& no = *new APMPValuePtr(std::make_shared<APMPBooleanValue>(false));
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

namespace {

constexpr int64_t kStringValueBytes =
    static_cast<int64_t>(sizeof(APMPStringValue)) + APMPStorageLedger::kSharedObjectBytes;

}  // namespace

APMPStringValue::APMPStringValue(std::u16string value)
    : APMPRuntimeValue(APMPValueKind::String),
      own_(std::move(value)),
      data_(own_.data()),
      length_(own_.size()),
      accounted_(kStringValueBytes + APMPStorageLedger::textStorageBytes(own_.capacity())) {
  APMPStorageLedger::add(accounted_);
  APMPChargeWork(length_);
}

APMPStringValue::APMPStringValue(Shared, std::shared_ptr<std::u16string> storage, size_t length)
    : APMPRuntimeValue(APMPValueKind::String),
      storage_(std::move(storage)),
      data_(storage_->data()),
      length_(length),
      accounted_(kStringValueBytes) {
  APMPStorageLedger::add(accounted_);
}

APMPStringValue::~APMPStringValue() { APMPStorageLedger::add(-accounted_); }

APMPValuePtr APMPStringValue::appending(const std::shared_ptr<APMPStringValue>& left,
                                        std::u16string_view right, APMPErrorSlot* error) {
  size_t length = left->length_ + right.size();
  if (length > kAPMPMaximumStringLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return APMPUndefined();
  }
  // The storage `left` reads from: its own (shared from now on, the aliasing pointer keeping
  // `left` alive) or the one it shares.
  std::shared_ptr<std::u16string> storage =
      left->storage_ ? left->storage_ : std::shared_ptr<std::u16string>(left, &left->own_);
  // Append in place when `left` reads to the end of its storage and the storage has room:
  // the code units that other values read stay where they are, unchanged.
  if (storage->size() == left->length_ && storage->capacity() >= length) {
    if (!APMPChargeWork(right.size(), error)) return APMPUndefined();
    storage->append(right);
    return std::make_shared<APMPStringValue>(Shared{}, std::move(storage), length);
  }
  if (!APMPChargeWork(length, error)) return APMPUndefined();
  // Room to grow: a loop of appends copies each code unit a bounded number of times.
  std::u16string text;
  text.reserve(std::min(kAPMPMaximumStringLength, length + length / 2));
  text.append(left->value());
  text.append(right);
  return APMPMakeRecycled<APMPStringValue>(std::move(text));
}

const std::u16string& APMPStringValue::text(std::u16string& scratch) const {
  if (const std::u16string* own = ownText()) return *own;
  scratch.assign(value());
  return scratch;
}

std::u16string APMPStringValue::stringValueOrError(APMPErrorSlot*) const {
  APMPChargeWork(length_);
  return std::u16string(value());
}
double APMPStringValue::doubleValueOrError(APMPErrorSlot*) const {
  APMPChargeWork(length_);
  return APMPStringToNumber(value());
}
bool APMPStringValue::booleanValueOrError(APMPErrorSlot*) const { return length_ != 0; }
APMPValuePtr APMPStringValue::applyWithName(const std::u16string& name,
                                            const APMPValueList& arguments,
                                            const APMPScopePtr& scope, APMPErrorSlot* error) {
  // The text is read in place: keep this value (and so its storage) alive for the call, which
  // may run callbacks that drop every other reference to it.
  APMPValuePtr keep = shared_from_this();
  return APMPStringCommandEvaluator::sharedInstance().evaluateCommand(name, value(), arguments,
                                                                      scope, error);
}
bool APMPStringValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  return other.kind() == APMPValueKind::String &&
         static_cast<const APMPStringValue&>(other).value() == value();
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
  static const APMPValuePtr& instance =
      *new APMPValuePtr(std::make_shared<APMPControlValue>(u"break", nullptr));
  return instance;
}

const APMPValuePtr& APMPControlValue::continueValue() {
  static const APMPValuePtr& instance =
      *new APMPValuePtr(std::make_shared<APMPControlValue>(u"continue", nullptr));
  return instance;
}

APMPValuePtr APMPControlValue::returnValueWithData(APMPValuePtr data) {
  return APMPMakeRecycled<APMPControlValue>(u"return", std::move(data));
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
