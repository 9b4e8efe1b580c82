#pragma once

#include <cstdint>

// The storage that live script values hold, in units of two bytes: a UTF-16 code unit of a
// string value or of a property name costs one, an array slot eight, a property sixteen
// plus its name. Programs come from the network: the bounds on one array or one string
// alone would let a loop keep thousands of maximal ones alive and exhaust memory. Once the
// total passes kLimit the evaluator refuses to go on (error 20); what the failed run made
// is freed by the next collection, and what scripts keep reachable stays charged.
//
// Process-wide (values do not know their runtime); updated from the worker queue that runs
// scripts, read by the evaluator before every statement.
class APMPStorageLedger {
 public:
  static constexpr int64_t kLimit = int64_t{1} << 26;
  static constexpr int64_t kArraySlotUnits = 8;
  static constexpr int64_t kPropertyUnits = 16;

  static void add(int64_t units);
  static int64_t total();
  static bool isExhausted() { return total() > kLimit; }
};
