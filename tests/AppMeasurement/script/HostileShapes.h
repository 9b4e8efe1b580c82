#pragma once

// Small hostile programs of the shapes that once held the worker queue for minutes or took
// gigabytes, with variants at other sizes and through other methods of the same work. Each runs
// as the edit callback of one event (its whole budget is one event's) when the event is named
// "hostile"; any other event gets an ordinary edit, so that a test can check that the runtime
// still works afterwards. Shared by the tests, the benchmark and the Release bounds check.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "AppMeasurement/script/APMPError.h"
#include "AppMeasurement/script/APMPEventEditing.h"
#include "tests/AppMeasurement/script/ScriptEntities.h"
#include "tests/AppMeasurement/script/ScriptProgram.h"

namespace script_test {

struct HostileShape {
  std::string name;
  Ns body;  // statements of `function (e) { ... }`
  // How the event ends: an error of this domain and code, or success (empty domain).
  std::string domain;
  int64_t code = 0;
};

inline void PrintTo(const HostileShape& shape, std::ostream* out) { *out << shape.name; }

// for (let i = 0; i < times; i++) { statement }
inline N Repeat(int times, N statement) {
  return forLet("i", num(0), lt(var("i"), num(times)), assign("i", add(var("i"), num(1))),
                {statement});
}

// let name = unit; then doubled `log2` times: the unit repeated 2^log2 times.
inline Ns Doubled(const std::string& name, N unit, int log2) {
  return {letv(name, unit), Repeat(log2, assign(name, add(var(name), var(name))))};
}

inline Ns Concat(Ns a, const Ns& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline std::vector<HostileShape> HostileShapes() {
  const std::string pixie = kAPMPErrorDomain;
  const std::string regex = kAPMPRegularExpressionErrorDomain;
  N e = var("e");
  auto logger = letv("log", callf("require", {str("internal.eventLogger")}));
  // a = "x"; depth times: a = [a, a]
  auto shared = [](int depth) {
    return Ns{letv("a", str("x")), Repeat(depth, assign("a", arr({var("a"), var("a")})))};
  };
  // s = "a" x 2^19; t = its first half + "b"
  Ns half = Concat(Doubled("s", str("a"), 19),
                   {letv("t", add(method(var("s"), "slice", {num(0), num(1 << 18)}), str("b")))});
  // s = "x" x 2^20; a = 2^log2 references to it; t = s with its last unit changed
  auto references = [](int log2) {
    return Concat(Doubled("s", str("x"), 20),
                  {letv("a", arr({var("s")})),
                   Repeat(log2, assign("a", method(var("a"), "concat", {var("a")}))),
                   letv("t", add(method(var("s"), "slice", {num(0), num(-1)}), str("y")))});
  };
  // s = "é" + "," x (2^22 - 2)
  Ns commas = Concat(Doubled("s", str(","), 22),
                     {assign("s", add(str("\xC3\xA9"), method(var("s"), "slice", {num(2)})))});
  std::string catastrophic(19, 'a');
  catastrophic += "!";

  return {
      // 1. A structure of shared parts converted to host values.
      {"shared depth 22 to the event logger",
       Concat(shared(22), {logger, callf("log", {str("e"), num(0), obj({{"p", var("a")}})})}),
       pixie, APMPErrorCodeTooLarge},
      {"shared depth 40 to a parameter",
       Concat(shared(40), {method(e, "setParamValue", {str("p"), var("a")})}), pixie,
       APMPErrorCodeTooLarge},
      {"shared depth 12 to a parameter",
       Concat(shared(12), {method(e, "setParamValue", {str("p"), var("a")})}), "", 0},
      // 2. Splitting at many separators.
      {"split 2^18 separators",
       Concat(Doubled("s", str(","), 18), {method(var("s"), "split", {str(",")})}), "", 0},
      {"split 2^19 by a two-unit separator",
       Concat(Doubled("s", str(",,"), 19), {method(var("s"), "split", {str(",,")})}), "", 0},
      {"split 2^20 by a two-unit separator",
       Concat(Doubled("s", str(",,"), 20), {method(var("s"), "split", {str(",,")})}), pixie,
       APMPErrorCodeTooLarge},
      // 3. Searching a long text for a long, almost matching text.
      {"indexOf half plus b", Concat(half, {method(var("s"), "indexOf", {var("t")})}), "", 0},
      {"lastIndexOf half plus b", Concat(half, {method(var("s"), "lastIndexOf", {var("t")})}), "",
       0},
      {"split at half plus b", Concat(half, {method(var("s"), "split", {var("t")})}), "", 0},
      {"replace half plus b", Concat(half, {method(var("s"), "replace", {var("t"), str("-")})}), "",
       0},
      {"indexOf half plus b forever",
       Concat(half, {whileLoop(boolean(true), {method(var("s"), "indexOf", {var("t")})})}), pixie,
       APMPErrorCodeInstructionBudget},
      // 4. A catastrophic regular expression, again and again.
      {"match forever",
       {letv("s", str(catastrophic)),
        whileLoop(boolean(true), {method(var("s"), "match", {str("^(a+)+$")})})},
       regex,
       kAPMPRegularExpressionErrorCode},
      {"search forever",
       {letv("s", str(catastrophic)),
        whileLoop(boolean(true), {method(var("s"), "search", {str("^(a+)+$")})})},
       regex,
       kAPMPRegularExpressionErrorCode},
      // 5. Bulk work on many references to one long text.
      {"sort 1024 references", Concat(references(10), {method(var("a"), "sort", {})}), pixie,
       APMPErrorCodeInstructionBudget},
      {"indexOf over 16384 references",
       Concat(references(14), {method(var("a"), "indexOf", {var("t")})}), pixie,
       APMPErrorCodeInstructionBudget},
      {"lastIndexOf over 16384 references",
       Concat(references(14), {method(var("a"), "lastIndexOf", {var("t")})}), pixie,
       APMPErrorCodeInstructionBudget},
      {"join 16384 references", Concat(references(14), {method(var("a"), "join", {})}), pixie,
       APMPErrorCodeTooLarge},
      {"join 8 references forever",
       Concat(references(3), {whileLoop(boolean(true), {method(var("a"), "join", {})})}), pixie,
       APMPErrorCodeInstructionBudget},
      {"forEach over 2^20 holes forever",
       {letv("a", arr({})), set(var("a"), str("length"), num(1 << 20)),
        whileLoop(boolean(true), {method(var("a"), "forEach", {lambda({"x"}, {})})})},
       pixie,
       APMPErrorCodeInstructionBudget},
      {"sort 2^19 one-unit texts forever",
       Concat(Doubled("s", str("yx"), 18),
              {letv("a", method(var("s"), "split", {str("")})),
               whileLoop(boolean(true), {method(var("a"), "sort", {})})}),
       pixie, APMPErrorCodeInstructionBudget},
      // 6. One statement that builds millions of values.
      {"split 2^22 separators after a non-ASCII unit",
       Concat(commas, {method(var("s"), "split", {str(",")})}), pixie, APMPErrorCodeTooLarge},
      {"split 2^22 units one by one",
       Concat(Doubled("s", str(","), 22), {method(var("s"), "split", {str("")})}), pixie,
       APMPErrorCodeTooLarge},
      // Appending is cheap: an ordinary loop of appends passes.
      {"10000 appends",
       {letv("s", str("")), Repeat(10000, assign("s", add(var("s"), str("ab")))),
        method(e, "setParamValue", {str("length"), get(var("s"), str("length"))})},
       "",
       0},
  };
}

// The program: an edit callback that runs `shape` for events named "hostile" and, for any
// other event, sets the parameter "edited" to the event's name.
inline APMPBProgram HostileProgram(const HostileShape& shape) {
  N e = var("e");
  Ns body = {ifElse(eq(method(e, "getEventName", {}), str("hostile")), shape.body,
                    {method(e, "setParamValue", {str("edited"), method(e, "getEventName", {})})}),
             ret(num(0))};
  N rule = obj({{"cb", lambda({"e"}, body)}, {"options", obj({{"type", str("edit")}})}});
  N registration = func(
      "register", {"rule"},
      {letv("reg", callf("require", {str("internal.registerCallback")})),
       callf("reg", {str(""), get(var("rule"), str("cb")), get(var("rule"), str("options"))})});
  return MakeProgram({registration}, {{"register", {rule}}});
}

}  // namespace script_test
