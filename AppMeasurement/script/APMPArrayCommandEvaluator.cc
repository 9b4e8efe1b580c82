#include "AppMeasurement/script/APMPArrayCommandEvaluator.h"

#include <algorithm>
#include <cmath>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

using ArrayPtr = std::shared_ptr<APMPArrayValue>;

// The work of visiting one index in the callback and folding methods.
constexpr size_t kWorkPerVisit = 16;

APMPValuePtr Number(double value) { return APMPNumberValue::make(value); }
APMPValuePtr Bool(bool value) { return APMPBooleanValue::booleanValueWithBool(value); }

bool IntegerOf(const APMPValuePtr& value, double& out, APMPErrorSlot* error) {
  double d = value->doubleValueOrError(error);
  if (APMPHasError(error)) return false;
  out = APMPToInteger(d);
  return true;
}

// Raised by count when negative, then clamped to low .. count.
int64_t RelativeIndex(double value, int64_t count, int64_t low) {
  double n = static_cast<double>(count);
  if (value < 0) value += n;
  if (value < static_cast<double>(low)) return low;
  if (value > n) return count;
  return static_cast<int64_t>(value);
}

enum class Iteration { Every, Some, Filter, Map, ForEach };

APMPValuePtr Iterate(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr& scope,
                     APMPErrorSlot* error, Iteration kind) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  auto callback = APMPSharedFunction(a[0]);
  if (!callback) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  size_t count = array->count();
  bool flag = kind == Iteration::Every;
  std::shared_ptr<APMPArrayValue> out;
  if (kind == Iteration::Filter || kind == Iteration::Map)
    out = APMPObjectManager::arrayValueWithScope(scope);
  auto partial = [&]() -> APMPValuePtr {
    if (kind == Iteration::Every || kind == Iteration::Some) return Bool(flag);
    if (out) return out;
    return APMPUndefined();
  };
  // Every index visited is charged: an array of millions of holes calls nothing, yet each
  // visit (an index value made, the element looked up) costs about a quarter evaluation.
  APMPWorkMeter meter;
  for (size_t i = 0; i < count; ++i) {
    if (!meter.charge(kWorkPerVisit, error)) return partial();
    APMPValuePtr index = Number(static_cast<double>(i));
    bool present = array->hasProperty(index, error);
    if (APMPHasError(error)) return partial();
    if (!present) continue;
    APMPValuePtr element = array->valueForProperty(index, error);
    if (APMPHasError(error)) return partial();
    APMPValuePtr result = callback->invokeWithArguments({element, index, array}, scope, error);
    if (APMPHasError(error)) return partial();
    switch (kind) {
      case Iteration::Every:
      case Iteration::Some:
      case Iteration::Filter: {
        bool truthy = result->booleanValueOrError(error);
        if (APMPHasError(error)) return partial();
        if (kind == Iteration::Every && !truthy) return Bool(false);
        if (kind == Iteration::Some && truthy) return Bool(true);
        if (kind == Iteration::Filter && truthy) {
          out->appendElements({element}, error);
          if (APMPHasError(error)) return partial();
        }
        break;
      }
      case Iteration::Map:
        out->setValue(result, index, error);
        if (APMPHasError(error)) return partial();
        break;
      case Iteration::ForEach:
        break;
    }
  }
  return partial();
}

APMPValuePtr Every(const ArrayPtr& r, const APMPValueList& a, const APMPScopePtr& s,
                   APMPErrorSlot* e) {
  return Iterate(r, a, s, e, Iteration::Every);
}
APMPValuePtr Some(const ArrayPtr& r, const APMPValueList& a, const APMPScopePtr& s,
                  APMPErrorSlot* e) {
  return Iterate(r, a, s, e, Iteration::Some);
}
APMPValuePtr Filter(const ArrayPtr& r, const APMPValueList& a, const APMPScopePtr& s,
                    APMPErrorSlot* e) {
  return Iterate(r, a, s, e, Iteration::Filter);
}
APMPValuePtr Map(const ArrayPtr& r, const APMPValueList& a, const APMPScopePtr& s,
                 APMPErrorSlot* e) {
  return Iterate(r, a, s, e, Iteration::Map);
}
APMPValuePtr ForEach(const ArrayPtr& r, const APMPValueList& a, const APMPScopePtr& s,
                     APMPErrorSlot* e) {
  return Iterate(r, a, s, e, Iteration::ForEach);
}

APMPValuePtr Fold(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr& scope,
                  APMPErrorSlot* error, bool fromRight) {
  if (a.empty() || a.size() > 2) {
    APMPSetError(error, APMPErrorCodeArgumentCount);
    return APMPUndefined();
  }
  auto callback = APMPSharedFunction(a[0]);
  if (!callback || (a.size() == 2 && a[1]->kind() == APMPValueKind::Control)) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  int64_t count = static_cast<int64_t>(array->count());
  int64_t step = fromRight ? -1 : 1;
  int64_t i = fromRight ? count - 1 : 0;
  auto inRange = [&](int64_t k) { return k >= 0 && k < count; };
  APMPValuePtr accumulator;
  APMPWorkMeter meter;
  if (a.size() == 2) {
    accumulator = a[1];
  } else {
    for (; inRange(i); i += step) {
      if (!meter.charge(kWorkPerVisit, error)) return APMPUndefined();
      APMPValuePtr index = Number(static_cast<double>(i));
      bool present = array->hasProperty(index, error);
      if (APMPHasError(error)) return APMPUndefined();
      if (!present) continue;
      accumulator = array->valueForProperty(index, error);
      if (APMPHasError(error)) return APMPUndefined();
      i += step;
      break;
    }
    if (!accumulator) {
      APMPSetError(error, APMPErrorCodeReduceOfEmpty);
      return APMPUndefined();
    }
  }
  for (; inRange(i); i += step) {
    if (!meter.charge(kWorkPerVisit, error)) return APMPUndefined();
    APMPValuePtr index = Number(static_cast<double>(i));
    bool present = array->hasProperty(index, error);
    if (APMPHasError(error)) return APMPUndefined();
    if (!present) continue;
    APMPValuePtr element = array->valueForProperty(index, error);
    if (APMPHasError(error)) return APMPUndefined();
    accumulator = callback->invokeWithArguments({accumulator, element, index, array}, scope, error);
    if (APMPHasError(error)) return APMPUndefined();
  }
  return accumulator;
}

APMPValuePtr Reduce(const ArrayPtr& r, const APMPValueList& a, const APMPScopePtr& s,
                    APMPErrorSlot* e) {
  return Fold(r, a, s, e, false);
}
APMPValuePtr ReduceRight(const ArrayPtr& r, const APMPValueList& a, const APMPScopePtr& s,
                         APMPErrorSlot* e) {
  return Fold(r, a, s, e, true);
}

APMPValuePtr Concat(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr& scope,
                    APMPErrorSlot* error) {
  auto out = APMPObjectManager::arrayValueWithScope(scope);
  out->concat(array, error);
  if (APMPHasError(error)) return APMPUndefined();
  for (const auto& argument : a) {
    out->concat(argument, error);
    if (APMPHasError(error)) return APMPUndefined();
  }
  return out;
}

APMPValuePtr HasOwnProperty(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr&,
                            APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  std::u16string key = a[0]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  if (key == u"length") return Bool(true);
  bool present = array->hasProperty(a[0], error);
  return APMPHasError(error) ? APMPUndefined() : Bool(present);
}

APMPValuePtr IndexOf(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr&,
                     APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 2, error)) return APMPUndefined();
  APMPValuePtr search = a.empty() ? APMPUndefined() : a[0];
  int64_t count = static_cast<int64_t>(array->count());
  double start = 0;
  if (a.size() > 1 && !IntegerOf(a[1], start, error)) return APMPUndefined();
  if (start >= static_cast<double>(count)) return Number(-1);
  int64_t from = RelativeIndex(start, count, 0);
  int64_t found = array->indexOfValue(search, static_cast<uint64_t>(from), error);
  return APMPHasError(error) ? APMPUndefined() : Number(static_cast<double>(found));
}

APMPValuePtr LastIndexOf(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr&,
                         APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 2, error)) return APMPUndefined();
  APMPValuePtr search = a.empty() ? APMPUndefined() : a[0];
  double count = static_cast<double>(array->count());
  double start = count - 1;
  if (a.size() > 1) {
    double d = a[1]->doubleValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
    if (!std::isnan(d)) start = APMPToInteger(d);
  }
  if (start < 0) start += count;
  if (start < 0) return Number(-1);
  start = std::min(start, count - 1);
  if (start < 0) return Number(-1);
  int64_t found = array->lastIndexOfValue(search, static_cast<uint64_t>(start), error);
  return APMPHasError(error) ? APMPUndefined() : Number(static_cast<double>(found));
}

APMPValuePtr Join(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr&,
                  APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 1, error)) return APMPUndefined();
  std::u16string separator = u",";
  if (!a.empty()) {
    APMPValueKind kind = a[0]->kind();
    if (kind == APMPValueKind::Undefined || kind == APMPValueKind::Null) {
      separator.clear();
    } else {
      separator = a[0]->stringValueOrError(error);
      if (APMPHasError(error)) return APMPUndefined();
    }
  }
  std::u16string text = array->stringValueWithSeparator(separator, error);
  return APMPHasError(error) ? APMPUndefined() : APMPStringValue::make(std::move(text));
}

APMPValuePtr Pop(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr&,
                 APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  return array->removeLastElement();
}

APMPValuePtr Shift(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr&,
                   APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  return array->removeFirstElement();
}

APMPValuePtr Push(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr&,
                  APMPErrorSlot* error) {
  size_t count = array->appendElements(a, error);
  return APMPHasError(error) ? APMPUndefined() : Number(static_cast<double>(count));
}

APMPValuePtr Unshift(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr&,
                     APMPErrorSlot* error) {
  size_t count = array->prependElements(a, error);
  return APMPHasError(error) ? APMPUndefined() : Number(static_cast<double>(count));
}

APMPValuePtr Reverse(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr&,
                     APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  array->reverse();
  return array;
}

APMPValuePtr Slice(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr& scope,
                   APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 2, error)) return APMPUndefined();
  int64_t count = static_cast<int64_t>(array->count());
  double start = 0, end = static_cast<double>(count);
  if (!a.empty() && !IntegerOf(a[0], start, error)) return APMPUndefined();
  if (a.size() > 1 && !IntegerOf(a[1], end, error)) return APMPUndefined();
  int64_t from = RelativeIndex(start, count, 0);
  int64_t to = RelativeIndex(end, count, from);
  return APMPObjectManager::subarrayWithArray(*array, static_cast<uint64_t>(from),
                                              static_cast<uint64_t>(to - from), scope);
}

APMPValuePtr Sort(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr& scope,
                  APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 1, error)) return APMPUndefined();
  if (array->count() < 2) return array;
  std::shared_ptr<APMPFunctionValue> comparator;
  if (!a.empty()) {
    comparator = APMPSharedFunction(a[0]);
    if (!comparator) {
      APMPSetError(error, APMPErrorCodeArgumentType);
      return array;
    }
  }
  array->sortUsingFunctionValue(comparator, scope, error);
  return array;
}

APMPValuePtr Splice(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr& scope,
                    APMPErrorSlot* error) {
  if (a.empty()) return APMPObjectManager::arrayValueWithScope(scope);
  int64_t count = static_cast<int64_t>(array->count());
  double start;
  if (!IntegerOf(a[0], start, error)) return APMPUndefined();
  int64_t from = RelativeIndex(start, count, 0);
  int64_t deleteCount = count - from;
  if (a.size() > 1) {
    double d;
    if (!IntegerOf(a[1], d, error)) return APMPUndefined();
    deleteCount =
        d <= 0 ? 0
               : (d >= static_cast<double>(count - from) ? count - from : static_cast<int64_t>(d));
  }
  APMPValueList items;
  if (a.size() > 2) items.assign(a.begin() + 2, a.end());
  APMPValueList removed = array->spliceFrom(from, deleteCount, items, error);
  if (APMPHasError(error)) return APMPUndefined();
  return APMPObjectManager::arrayValueWithArray(std::move(removed), scope);
}

APMPValuePtr ToString(const ArrayPtr& array, const APMPValueList& a, const APMPScopePtr&,
                      APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  std::u16string text = array->stringValueOrError(error);
  return APMPHasError(error) ? APMPUndefined() : APMPStringValue::make(std::move(text));
}

}  // namespace

APMPArrayCommandEvaluator& APMPArrayCommandEvaluator::sharedInstance() {
  static APMPArrayCommandEvaluator& instance = *new APMPArrayCommandEvaluator();
  return instance;
}

APMPArrayCommandEvaluator::APMPArrayCommandEvaluator() {
  handlers_ = {{u"concat", Concat},
               {u"every", Every},
               {u"filter", Filter},
               {u"forEach", ForEach},
               {u"hasOwnProperty", HasOwnProperty},
               {u"indexOf", IndexOf},
               {u"join", Join},
               {u"lastIndexOf", LastIndexOf},
               {u"map", Map},
               {u"pop", Pop},
               {u"push", Push},
               {u"reduce", Reduce},
               {u"reduceRight", ReduceRight},
               {u"reverse", Reverse},
               {u"shift", Shift},
               {u"slice", Slice},
               {u"some", Some},
               {u"sort", Sort},
               {u"splice", Splice},
               {u"toString", ToString},
               {u"unshift", Unshift}};
}

APMPValuePtr APMPArrayCommandEvaluator::evaluateCommand(const std::u16string& name,
                                                        const ArrayPtr& receiver,
                                                        const APMPValueList& arguments,
                                                        const APMPScopePtr& scope,
                                                        APMPErrorSlot* error) const {
  auto it = handlers_.find(name);
  if (it == handlers_.end()) {
    APMPSetError(error, APMPErrorCodeUnknownMethod);
    return APMPUndefined();
  }
  APMPPooledList scratch;
  const APMPValueList* evaluated = APMPEvaluateArgumentsInPlace(arguments, scope, error, scratch);
  if (evaluated == nullptr) return APMPUndefined();
  return it->second(receiver, *evaluated, scope, error);
}
