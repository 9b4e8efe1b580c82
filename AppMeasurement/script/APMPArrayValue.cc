#include "AppMeasurement/script/APMPArrayValue.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <unordered_set>

#include "AppMeasurement/script/APMPArrayCommandEvaluator.h"
#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPStorageLedger.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

// The arrays whose join is in progress on this thread: an array that contains itself joins
// as the empty text at the inner occurrence, and nesting deeper than the bound fails with
// error 19, instead of recursing without end.
struct JoinGuard {
  static constexpr size_t kMaximumNesting = 256;
  thread_local static std::vector<const APMPArrayValue*> active;
};
thread_local std::vector<const APMPArrayValue*> JoinGuard::active;

// The work of one comparison of a sort, beyond the code units it compares, and of converting
// two elements to text for it.
constexpr size_t kWorkPerComparison = 8;
constexpr size_t kWorkPerConversion = 32;

bool IsHole(const APMPValuePtr& value) { return value.get() == APMPArrayValue::emptyValue().get(); }

// The position of an array index (APMPIsArrayIndex holds), as an integer.
uint64_t IndexPosition(const APMPRuntimeValue& property) {
  double d = property.doubleValueOrError(nullptr);
  if (d >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(d);
}

}  // namespace

APMPArrayValue::APMPArrayValue() : APMPRuntimeValue(APMPValueKind::Array) { accountElements(); }

APMPArrayValue::APMPArrayValue(APMPValueList elements)
    : APMPRuntimeValue(APMPValueKind::Array), elements_(std::move(elements)) {
  accountElements();
}

APMPArrayValue::~APMPArrayValue() {
  APMPStorageLedger::add(-accountedBytes_);
  APMPReleaseValues(elements_);
}

void APMPArrayValue::accountElements() {
  mark_.noteWrite();
  size_t slots = elements_.size();
  if (slots > accountedSlots_) APMPChargeWork(slots - accountedSlots_);
  accountedSlots_ = slots;
  // The list's storage is what its capacity holds, whatever the count.
  size_t capacity = elements_.capacity();
  int64_t bytes =
      static_cast<int64_t>(sizeof(APMPArrayValue)) + APMPStorageLedger::kSharedObjectBytes +
      (capacity == 0 ? 0
                     : static_cast<int64_t>(capacity) * APMPStorageLedger::kArraySlotBytes +
                           APMPStorageLedger::kAllocationBytes);
  APMPStorageLedger::add(bytes - accountedBytes_);
  accountedBytes_ = bytes;
}

std::u16string APMPArrayValue::stringValueWithSeparator(const std::u16string& separator,
                                                        APMPErrorSlot* error) const {
  if (elements_.empty()) return u"";
  auto& active = JoinGuard::active;
  if (std::find(active.begin(), active.end(), this) != active.end()) return u"";
  if (active.size() >= JoinGuard::kMaximumNesting) {
    APMPSetError(error, APMPErrorCodeNestingTooDeep);
    return u"";
  }
  active.push_back(this);
  std::u16string out;
  bool failed = false;
  APMPWorkMeter meter;
  // Iterate over a copy: a conversion cannot change the list, but stay safe if it does.
  APMPValueList elements = elements_;
  for (size_t i = 0; i < elements.size() && !failed; ++i) {
    size_t before = out.size();
    if (i > 0) out += separator;
    const APMPValuePtr& element = elements[i];
    APMPValueKind kind = element->kind();
    if (kind != APMPValueKind::Hole && kind != APMPValueKind::Undefined &&
        kind != APMPValueKind::Null) {
      out += element->stringValueOrError(error);
      if (APMPHasError(error)) failed = true;
    }
    if (!failed && out.size() > kAPMPMaximumStringLength) {
      APMPSetError(error, APMPErrorCodeTooLarge);
      failed = true;
    }
    // Each element visited and each code unit appended.
    if (!failed && !meter.charge(1 + out.size() - before, error)) failed = true;
  }
  active.pop_back();
  return failed ? u"" : out;
}

std::u16string APMPArrayValue::stringValueOrError(APMPErrorSlot* error) const {
  return stringValueWithSeparator(u",", error);
}

double APMPArrayValue::doubleValueOrError(APMPErrorSlot* error) const {
  std::u16string text = stringValueOrError(error);
  if (APMPHasError(error)) return std::nan("");
  return APMPStringToNumber(text);
}

bool APMPArrayValue::booleanValueOrError(APMPErrorSlot*) const { return true; }

APMPValuePtr APMPArrayValue::valueForProperty(const APMPValuePtr& property,
                                              APMPErrorSlot* error) const {
  std::u16string name = property->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  if (property->kind() == APMPValueKind::String && name == u"length")
    return APMPNumberValue::make(static_cast<double>(elements_.size()));
  if (APMPIsArrayIndex(*property)) {
    uint64_t position = IndexPosition(*property);
    if (position >= elements_.size() || IsHole(elements_[position])) return APMPUndefined();
    return elements_[position];
  }
  return propertyMap_.valueForName(name);
}

void APMPArrayValue::setValue(APMPValuePtr value, const APMPValuePtr& property,
                              APMPErrorSlot* error) {
  std::u16string name = property->stringValueOrError(error);
  if (APMPHasError(error)) return;
  if (property->kind() == APMPValueKind::String && name == u"length") {
    if (!APMPIsArrayIndex(*value)) {
      APMPSetError(error, APMPErrorCodeInvalidLength);
      return;
    }
    setLength(IndexPosition(*value), error);
    return;
  }
  if (APMPIsArrayIndex(*property)) {
    uint64_t position = IndexPosition(*property);
    if (position >= kMaximumLength) {
      APMPSetError(error, APMPErrorCodeTooLarge);
      return;
    }
    if (position + 1 > elements_.size() && !setLength(position + 1, error)) return;
    mark_.noteWrite();
    elements_[position] = std::move(value);
    return;
  }
  propertyMap_.setValue(std::move(value), name);
}

void APMPArrayValue::removeValueForProperty(const APMPValuePtr& property, APMPErrorSlot* error) {
  if (APMPIsArrayIndex(*property)) {
    uint64_t position = IndexPosition(*property);
    if (position < elements_.size()) {
      mark_.noteWrite();
      elements_[position] = emptyValue();
    }
    return;
  }
  std::u16string name = property->stringValueOrError(error);
  if (APMPHasError(error)) return;
  propertyMap_.removeValueForName(name);
}

bool APMPArrayValue::hasProperty(const APMPValuePtr& property, APMPErrorSlot* error) const {
  if (APMPIsArrayIndex(*property)) {
    uint64_t position = IndexPosition(*property);
    return position < elements_.size() && !IsHole(elements_[position]);
  }
  std::u16string name = property->stringValueOrError(error);
  if (APMPHasError(error)) return false;
  return propertyMap_.hasName(name);
}

APMPValueList APMPArrayValue::allPropertyNames() const {
  APMPChargeWork(elements_.size());
  APMPValueList names;
  for (const auto& entry : propertyMap_.entries())
    names.push_back(APMPStringValue::make(entry.first));
  for (size_t i = 0; i < elements_.size(); ++i)
    if (!IsHole(elements_[i]))
      names.push_back(APMPStringValue::make(APMPNumberToString(static_cast<double>(i))));
  return names;
}

APMPValueList APMPArrayValue::allElements() const {
  APMPChargeWork(elements_.size());
  APMPValueList out = elements_;
  for (auto& element : out)
    if (IsHole(element)) element = APMPUndefined();
  return out;
}

bool APMPArrayValue::setLength(uint64_t length, APMPErrorSlot* error) {
  if (length > kMaximumLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return false;
  }
  if (length < elements_.size()) {
    // Release the dropped elements only after the list is consistent.
    APMPValueList dropped(elements_.begin() + static_cast<std::ptrdiff_t>(length), elements_.end());
    elements_.resize(length);
    accountElements();
    APMPReleaseValues(dropped);
  } else {
    elements_.resize(length, emptyValue());
    accountElements();
  }
  return true;
}

std::shared_ptr<APMPArrayValue> APMPArrayValue::subarrayWithRange(uint64_t location,
                                                                  uint64_t length) const {
  uint64_t start = std::min<uint64_t>(location, elements_.size());
  uint64_t n = std::min<uint64_t>(length, elements_.size() - start);
  auto begin = elements_.begin() + static_cast<std::ptrdiff_t>(start);
  return std::make_shared<APMPArrayValue>(
      APMPValueList(begin, begin + static_cast<std::ptrdiff_t>(n)));
}

APMPValueList APMPArrayValue::spliceFrom(int64_t from, int64_t deleteCount,
                                         const APMPValueList& values, APMPErrorSlot* error) {
  if (!APMPChargeWork(elements_.size() + values.size(), error)) return {};
  int64_t count = static_cast<int64_t>(elements_.size());
  int64_t start = std::clamp<int64_t>(from, 0, count);
  int64_t deleted = std::clamp<int64_t>(deleteCount, 0, count - start);
  if (static_cast<uint64_t>(count - deleted) + values.size() > kMaximumLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return {};
  }
  auto begin = elements_.begin() + start;
  APMPValueList removed(begin, begin + deleted);
  elements_.erase(begin, begin + deleted);
  elements_.insert(elements_.begin() + start, values.begin(), values.end());
  accountElements();
  return removed;
}

void APMPArrayValue::concat(const APMPValuePtr& value, APMPErrorSlot* error) {
  if (value->kind() == APMPValueKind::Control) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return;
  }
  if (value->kind() == APMPValueKind::Array) {
    // Copy first: the argument may be the receiver.
    const APMPValueList& source = static_cast<const APMPArrayValue&>(*value).elements_;
    if (elements_.size() + source.size() > kMaximumLength) {
      APMPSetError(error, APMPErrorCodeTooLarge);
      return;
    }
    if (!APMPChargeWork(source.size(), error)) return;
    APMPValueList other = source;
    elements_.insert(elements_.end(), other.begin(), other.end());
    accountElements();
    return;
  }
  if (elements_.size() + 1 > kMaximumLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return;
  }
  elements_.push_back(value);
  accountElements();
}

void APMPArrayValue::reverse() {
  APMPChargeWork(elements_.size());
  mark_.noteWrite();
  std::reverse(elements_.begin(), elements_.end());
}

APMPValuePtr APMPArrayValue::removeFirstElement() {
  APMPChargeWork(elements_.size());
  if (elements_.empty()) return APMPUndefined();
  APMPValuePtr first = elements_.front();
  elements_.erase(elements_.begin());
  accountElements();
  // A hole reads as undefined here as everywhere else: the marker never reaches scripts.
  return IsHole(first) ? APMPUndefined() : first;
}

APMPValuePtr APMPArrayValue::removeLastElement() {
  if (elements_.empty()) return APMPUndefined();
  APMPValuePtr last = elements_.back();
  elements_.pop_back();
  accountElements();
  return IsHole(last) ? APMPUndefined() : last;
}

size_t APMPArrayValue::appendElements(const APMPValueList& values, APMPErrorSlot* error) {
  if (elements_.size() + values.size() > kMaximumLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return elements_.size();
  }
  if (!APMPChargeWork(values.size(), error)) return elements_.size();
  elements_.insert(elements_.end(), values.begin(), values.end());
  accountElements();
  return elements_.size();
}

size_t APMPArrayValue::prependElements(const APMPValueList& values, APMPErrorSlot* error) {
  if (!APMPChargeWork(elements_.size() + values.size(), error)) return elements_.size();
  if (elements_.size() + values.size() > kMaximumLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return elements_.size();
  }
  elements_.insert(elements_.begin(), values.begin(), values.end());
  accountElements();
  return elements_.size();
}

int64_t APMPArrayValue::indexOfValue(const APMPValuePtr& value, uint64_t fromIndex,
                                     APMPErrorSlot* error) const {
  APMPWorkMeter meter;
  for (uint64_t i = fromIndex; i < elements_.size(); ++i) {
    if (!meter.charge(1, error)) return -1;
    bool equal = APMPStrictEquals(*elements_[i], *value, error);
    if (APMPHasError(error)) return -1;
    if (equal) return static_cast<int64_t>(i);
  }
  return -1;
}

int64_t APMPArrayValue::lastIndexOfValue(const APMPValuePtr& value, uint64_t fromIndex,
                                         APMPErrorSlot* error) const {
  if (elements_.empty()) return -1;
  APMPWorkMeter meter;
  uint64_t start = std::min<uint64_t>(fromIndex, elements_.size() - 1);
  for (uint64_t i = start + 1; i-- > 0;) {
    if (!meter.charge(1, error)) return -1;
    bool equal = APMPStrictEquals(*elements_[i], *value, error);
    if (APMPHasError(error)) return -1;
    if (equal) return static_cast<int64_t>(i);
  }
  return -1;
}

void APMPArrayValue::sortUsingFunctionValue(const std::shared_ptr<APMPFunctionValue>& function,
                                            const APMPScopePtr& scope, APMPErrorSlot* error) {
  std::optional<APMPError> recorded;
  // Every comparison is charged (plus the code units it compares); once the budget is spent
  // the sort stops where it is.
  APMPWorkMeter meter;
  // A script comparator need not be a consistent ordering; the merge sort below stays
  // within its bounds whatever the answers are (std::sort would not).
  auto compare = [&](const APMPValuePtr& a, const APMPValuePtr& b) -> int {
    if (recorded) return 0;
    std::optional<APMPError> chargeError;
    if (!meter.charge(kWorkPerComparison, &chargeError)) {
      recorded = chargeError;
      return 0;
    }
    bool aHole = IsHole(a), bHole = IsHole(b);
    if (aHole || bHole) return aHole == bHole ? 0 : (aHole ? 1 : -1);
    bool aUndefined = a->kind() == APMPValueKind::Undefined;
    bool bUndefined = b->kind() == APMPValueKind::Undefined;
    if (aUndefined || bUndefined) return aUndefined == bUndefined ? 0 : (aUndefined ? 1 : -1);
    if (function) {
      std::optional<APMPError> callError;
      APMPValuePtr result = function->invokeWithArguments({a, b}, scope, &callError);
      if (callError) {
        recorded = callError;
        return 0;
      }
      double d = result->doubleValueOrError(&callError);
      if (callError) {
        recorded = callError;
        return 0;
      }
      return d < 0 ? -1 : (d > 0 ? 1 : 0);
    }
    std::optional<APMPError> convertError;
    if (a->kind() == APMPValueKind::String && b->kind() == APMPValueKind::String) {
      // Compared in place: copying both texts per comparison would cost their whole length
      // even when the first code units differ.
      std::u16string_view x = static_cast<const APMPStringValue&>(*a).value();
      std::u16string_view y = static_cast<const APMPStringValue&>(*b).value();
      size_t compared = 0;
      int order = APMPCompareTextCounting(x, y, compared);
      if (!meter.charge(compared, &convertError)) {
        recorded = convertError;
        return 0;
      }
      return order;
    }
    // Two conversions to text (a number's formatting costs about an evaluation's share).
    if (!meter.charge(kWorkPerConversion, &convertError)) {
      recorded = convertError;
      return 0;
    }
    std::u16string x = a->stringValueOrError(&convertError);
    std::u16string y = convertError ? u"" : b->stringValueOrError(&convertError);
    if (convertError) {
      recorded = convertError;
      return 0;
    }
    return APMPCompareText(x, y);
  };
  // Work on a copy: the comparator may change the receiver (a callback can push or splice).
  APMPValueList work = elements_;
  APMPValueList buffer(work.size());
  for (size_t width = 1; width < work.size() && !recorded; width *= 2) {
    for (size_t low = 0; low < work.size() && !recorded; low += 2 * width) {
      size_t mid = std::min(low + width, work.size());
      size_t high = std::min(low + 2 * width, work.size());
      size_t i = low, j = mid, k = low;
      while (i < mid && j < high)
        buffer[k++] = std::move(compare(work[j], work[i]) < 0 ? work[j++] : work[i++]);
      // Moved, not copied: every element lands in `buffer` once per pass, and a copy would
      // cost two reference-count updates per element and pass.
      while (i < mid) buffer[k++] = std::move(work[i++]);
      while (j < high) buffer[k++] = std::move(work[j++]);
    }
    work.swap(buffer);
  }
  if (recorded) {
    if (error != nullptr) *error = recorded;
    return;
  }
  elements_ = std::move(work);
  accountElements();
}

APMPValuePtr APMPArrayValue::applyWithName(const std::u16string& name,
                                           const APMPValueList& arguments,
                                           const APMPScopePtr& scope, APMPErrorSlot* error) {
  auto self = std::static_pointer_cast<APMPArrayValue>(shared_from_this());
  if (const APMPValuePtr* own = propertyMap_.findValue(name)) {
    std::shared_ptr<APMPFunctionValue> function = APMPSharedFunction(*own);
    if (!function) {
      APMPSetError(error, APMPErrorCodeUnknownMethod);
      return APMPUndefined();
    }
    return function->invokeWithArguments(arguments, scope, error);
  }
  return APMPArrayCommandEvaluator::sharedInstance().evaluateCommand(name, self, arguments, scope,
                                                                     error);
}

bool APMPArrayValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  const auto* o = dynamic_cast<const APMPArrayValue*>(&other);
  if (o == nullptr || o->elements_.size() != elements_.size()) return false;
  bool equal = !equalityTooDeep(1);
  for (size_t i = 0; equal && i < elements_.size(); ++i)
    equal = elements_[i]->isEqualToRuntimeValue(*o->elements_[i]);
  equalityTooDeep(-1);
  return equal;
}

void APMPArrayValue::mark(APMPMarker& marker) {
  if (!mark_.setBy(marker)) return;
  propertyMap_.noteReached();
  for (const auto& entry : propertyMap_.entries()) APMPMarkValue(marker, entry.second);
  for (const auto& element : elements_) APMPMarkValue(marker, element);
}

void APMPArrayValue::sweep() {
  if (mark_.clear()) return;
  APMPValueList elements = std::move(elements_);
  elements_.clear();
  accountElements();
  propertyMap_.clear();
  APMPReleaseValues(elements);
}
