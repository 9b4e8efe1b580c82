#pragma once

#include <cstdint>

#include "AppMeasurement/script/APMPRuntimeValue.h"

// The evaluation counter of one runtime. It lives in the runtime, out of reach of scripts:
// no script binding can read, shadow or reset it.
struct APMPInstructionCounter {
  static constexpr uint32_t kBudget = 1000000;
  // Bulk work (elements or code units copied, searched or built) that costs one evaluation.
  static constexpr uint64_t kWorkPerInstruction = 64;
  uint32_t count = 0;
  // Set when bulk work spent what was left of the budget: the operation doing it stops at
  // once (error 18), and so does every later charge until the next reset.
  bool workExhausted = false;
  // Time the regular expressions of this run have used, in the facility's time units: one
  // limit for the whole run, not one per call.
  int32_t regularExpressionTime = 0;

  void reset() {
    count = 0;
    workExhausted = false;
    regularExpressionTime = 0;
  }
};

// Runs statements and statement lists.
class APMPEvaluator {
 public:
  // Charges the budget, then evaluates: statements go to their command or function, every
  // other value evaluates to itself.
  static APMPValuePtr evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope,
                                        APMPErrorSlot* error);
  // Evaluates in order; stops at a failure (undefined) or at a control value (that value);
  // else the last result, undefined for an empty list.
  static APMPValuePtr executeStatements(const APMPValueList& statements, const APMPScopePtr& scope,
                                        APMPErrorSlot* error);
};

// Evaluates each argument in order into a new list; stops at the first failure.
APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                    APMPErrorSlot* error);
// The same into `out` (emptied first); false at the first failure, whose result (undefined)
// then ends the list.
bool APMPEvaluateArgumentsInto(const APMPValueList& arguments, const APMPScopePtr& scope,
                               APMPErrorSlot* error, APMPValueList& out);

// The elements of the array that `value` evaluates to, for the commands that run or pass on a
// list (statement lists, branches, loop bodies, method arguments), with holes read as
// undefined. A code list ("46") or array literal ("7") written in place is charged, bounded
// and evaluated exactly as evaluating it would be, but the array, which no script can reach,
// is not made: a code list gives the statement's own arguments. Returns the elements (owned
// by the statement, which the caller keeps alive, or held in `scratch`); null when the value
// is not an array (then `*evaluated`, when given, is what it evaluated to) or on failure (the
// error set, `*evaluated` undefined).
const APMPValueList* APMPEvaluateList(const APMPValuePtr& value, const APMPScopePtr& scope,
                                      APMPErrorSlot* error, APMPValueList& scratch,
                                      APMPValuePtr* evaluated = nullptr);

// The lists of one thread that no APMPPooledList holds. Lists that grew large are freed
// instead of kept, and so are lists beyond kPooledLists.
struct APMPListPool {
  static constexpr size_t kPooledLists = 256;
  static constexpr size_t kPooledCapacity = 64;
  APMPValueList* lists[kPooledLists];
  size_t count = 0;

  // This thread's pool, made on first use and freed with the thread.
  static APMPListPool& make();
  static APMPValueList* allocate();
  // Empties the list (releasing its values), then keeps or frees it.
  void release(APMPValueList* list);
};
extern constinit thread_local APMPListPool* gAPMPListPool;

// A value list on loan from a pool of this thread: every eager command and every call needs
// a list for its evaluated arguments, and allocating one costs more than most evaluations.
// The list comes empty and goes back emptied (its values released) when this goes out of
// scope.
class APMPPooledList {
 public:
  APMPPooledList() = default;
  ~APMPPooledList() {
    if (values_ == nullptr) return;
    APMPListPool* pool = gAPMPListPool;
    if (pool == nullptr) {
      delete values_;  // the thread is ending
      return;
    }
    pool->release(values_);
  }
  APMPPooledList(const APMPPooledList&) = delete;
  APMPPooledList& operator=(const APMPPooledList&) = delete;

  // The list, borrowed on first use.
  APMPValueList& values() {
    if (values_ == nullptr) {
      APMPListPool* pool = gAPMPListPool;
      if (pool == nullptr) pool = &APMPListPool::make();
      values_ = pool->count > 0 ? pool->lists[--pool->count] : APMPListPool::allocate();
    }
    return *values_;
  }

 private:
  APMPValueList* values_ = nullptr;
};

// The arguments evaluated in order, as APMPEvaluateArgumentsInto: when none is a statement
// (arguments already evaluated, as a method's are), evaluating each gives itself, so each is
// charged as its evaluation would be and the list itself is the answer; otherwise `scratch`
// holds the results. Null at the first failure, with the error set.
const APMPValueList* APMPEvaluateArgumentsInPlace(const APMPValueList& arguments,
                                                  const APMPScopePtr& scope, APMPErrorSlot* error,
                                                  APMPPooledList& scratch);

// Charges one evaluation to the runtime's counter reachable from `scope`; error 18 once
// 1000000 have been charged since the last reset. Outside a runtime nothing is charged.
bool APMPCountInstruction(const APMPScopePtr& scope, APMPErrorSlot* error);

// Charges bulk work of the evaluation that is running on this thread (one evaluation per
// APMPInstructionCounter::kWorkPerInstruction elements or code units copied, compared,
// searched, converted or built; less than that in one call is free), so that the budget bounds
// time and not only steps: one step on a maximal array or string costs millions of elementary
// operations. Outside an evaluation nothing is charged and the answer is true.
//
// False once the budget of the run is spent: the work that would pass it is not done, the
// caller stops its loop at once, and the form with a slot reports error 18. Every later
// evaluation fails with error 18 too, until the counter is reset.
inline bool APMPChargeWork(size_t units);
bool APMPChargeWork(size_t units, APMPErrorSlot* error);

// The counter that APMPChargeWork charges on this thread; null outside an evaluation.
APMPInstructionCounter* APMPCurrentInstructionCounter();

// True once bulk work has spent the budget of the run on this thread (see APMPChargeWork).
bool APMPWorkBudgetSpent();

// The work of one bulk operation, charged step by step: steps smaller than one evaluation's
// worth add up until they make one, so a loop of many small steps is charged like one large
// step, and an operation whose whole work is below one evaluation's worth stays free. Each
// whole evaluation charged also checks the storage ledger, so that one statement cannot build
// far past its limit. Lives on the stack of the operation.
class APMPWorkMeter {
 public:
  // False with error 18 once the budget is spent, or with error 20 once the ledger is past
  // its limit; the caller stops and reports failure.
  bool charge(size_t units, APMPErrorSlot* error);

 private:
  size_t pending_ = 0;
};

// The counter that APMPChargeWork charges on this thread (APMPWorkCounterScope sets it).
extern constinit thread_local APMPInstructionCounter* gAPMPWorkCounter;

// APMPChargeWork past the free amount.
bool APMPChargeWorkUnits(size_t units);

inline bool APMPChargeWork(size_t units) {
  // Work below one evaluation's worth is part of the step that does it: small programs are
  // charged exactly one unit per evaluation.
  if (units < APMPInstructionCounter::kWorkPerInstruction) {
    APMPInstructionCounter* counter = gAPMPWorkCounter;
    return counter == nullptr || !counter->workExhausted;
  }
  return APMPChargeWorkUnits(units);
}

// Makes `counter` the one that APMPChargeWork charges on this thread for its lifetime (a
// null counter keeps the current one).
class APMPWorkCounterScope {
 public:
  explicit APMPWorkCounterScope(APMPInstructionCounter* counter) : previous_(gAPMPWorkCounter) {
    if (counter != nullptr) gAPMPWorkCounter = counter;
  }
  ~APMPWorkCounterScope() { gAPMPWorkCounter = previous_; }
  APMPWorkCounterScope(const APMPWorkCounterScope&) = delete;
  APMPWorkCounterScope& operator=(const APMPWorkCounterScope&) = delete;

 private:
  APMPInstructionCounter* previous_;
};
