#include <gtest/gtest.h>

#include "AppMeasurement/script/APMPDynamicProvider.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPScope.h"
#include "tests/AppMeasurement/script/ScriptHarness.h"

using namespace script_test;

namespace {

// Runs one expression and returns its canonical text, or "error <code>".
std::string Eval(N expression) {
  RunResult r = RunProgram({expression});
  if (r.error) return "error " + std::to_string(r.error->code);
  return Format(r.result);
}

N raw(const std::string& code, Ns args) { return Stmt(code, args, ""); }

TEST(ScriptCommands, BudgetChargesEveryEvaluation) {
  APMPRuntime runtime;
  std::optional<APMPError> error;
  EXPECT_EQ(runtime.getInstructionCount(&error), 0u);
  RunProgram(runtime, {num(1)});
  EXPECT_EQ(runtime.getInstructionCount(&error), 1u);
  // x = a + 1 charges six units.
  runtime.resetInstructionCount();
  runtime.globalScope()->addValue(APMPNumberValue::make(1), u"x");
  runtime.globalScope()->addValue(APMPNumberValue::make(1), u"a");
  RunProgram(runtime, {assign("x", add(var("a"), num(1)))});
  EXPECT_EQ(runtime.getInstructionCount(&error), 6u);
}

TEST(ScriptCommands, EndlessLoopStopsAtExactlyTheBudget) {
  APMPRuntime runtime;
  RunResult r = RunProgram(runtime, {whileLoop(boolean(true), {})});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, 18);
  std::optional<APMPError> error;
  EXPECT_EQ(runtime.getInstructionCount(&error), 1000000u);
  runtime.resetInstructionCount();
  r = RunProgram(runtime, {num(1)});
  EXPECT_FALSE(r.error);
}

TEST(ScriptCommands, ScriptsCannotReachTheCounter) {
  APMPRuntime runtime;
  // A script that binds "runtime.counter" anywhere changes nothing about its budget.
  RunResult r = RunProgram(
      runtime,
      {let("runtime.counter"), whileLoop(boolean(true), {assign("runtime.counter", num(0))})});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, 18);
}

TEST(ScriptCommands, UnknownNamesAreFunctionCalls) {
  EXPECT_EQ(Eval(raw("11", {})), "u");
  EXPECT_EQ(Eval(raw("nosuchfunction", {num(1)})), "u");
  EXPECT_EQ(Eval(raw("99", {})), "u");
}

TEST(ScriptCommands, ArgumentCounts) {
  EXPECT_EQ(Eval(raw("12", {num(1), num(2), raw("3", {})})), "error 9");
  // The comparison checks its count before evaluating: the undeclared assignment never runs.
  EXPECT_EQ(Eval(raw("23", {assign("undeclared", num(1))})), "error 9");
  EXPECT_EQ(Eval(raw("0", {num(1)})), "error 9");
  EXPECT_EQ(Eval(raw("4", {num(1)})), "error 9");
  EXPECT_EQ(Eval(raw("36", {num(1), num(2)})), "error 9");
  EXPECT_EQ(Eval(raw("13", {})), "error 9");
  EXPECT_EQ(Eval(raw("8", {str("k")})), "error 9");
  EXPECT_EQ(Eval(raw("52", {str("k")})), "error 9");
  EXPECT_EQ(Eval(raw("42", {boolean(false)})), "error 9");
  // "44" and "45" evaluate (and can fail on) their ignored arguments.
  EXPECT_EQ(Eval(raw("44", {assign("undeclared", num(1))})), "error 2");
}

TEST(ScriptCommands, OperatorTable) {
  struct Case {
    N expression;
    const char* expected;
  } cases[] = {
      {add(num(1), num(2)), "n:3"},
      {add(str("1"), num(2)), "s:\"12\""},
      {add(num(2), str("1")), "s:\"21\""},
      {add(boolean(true), num(1)), "n:2"},
      {mod(num(-7), num(2)), "n:-1"},
      {mod(num(7), num(-2)), "n:1"},
      {mod(num(5), num(0)), "n:NaN"},
      {divide(num(1), num(0)), "n:Infinity"},
      {eq(undef(), null()), "b:true"},
      {eq(num(1), str("1")), "b:true"},
      {eq(num(1), boolean(true)), "b:true"},
      {eq(null(), num(0)), "b:false"},
      {eq(arr({num(1)}), arr({num(1)})), "b:false"},
      {seq(num(1), boolean(true)), "b:false"},
      {seq(num(NAN), num(NAN)), "b:false"},
      {sne(num(NAN), num(NAN)), "b:true"},
      {lt(str("10"), str("9")), "b:true"},
      {lt(num(10), num(9)), "b:false"},
      {lt(num(NAN), num(1)), "b:false"},
      {ge(num(NAN), num(NAN)), "b:false"},
      {land(num(0), assign("undeclared", num(1))), "n:0"},
      {lor(num(0), num(5)), "n:5"},
      {lnot(num(0)), "b:true"},
      {shr(num(-1), num(0)), "n:4294967295"},
      {shr(num(4294967295.0), num(0)), "n:2147483647"},
      {sar(num(-8), num(1)), "n:-4"},
      {shl(num(1), num(32)), "n:1"},
      {shl(num(1), num(-1)), "n:-2147483648"},
      {bor(num(2147483648.0), num(0)), "n:2147483647"},
      {bor(num(-2147483649.0), num(0)), "n:-2147483648"},
      {band(num(NAN), num(1)), "n:0"},
      {neg(num(0)), "n:0"},
      {raw("32", {num(1), num(2)}), "n:1"},
      {raw("35", {str("x")}), "s:\"x\""},
      {typeOf(null()), "s:\"object\""},
      {typeOf(var("require")), "s:\"function\""},
      {typeOf(arr({})), "s:\"object\""},
  };
  for (auto& c : cases) EXPECT_EQ(Eval(c.expression), c.expected) << c.expression.js;
}

TEST(ScriptCommands, VariablesAndProperties) {
  EXPECT_EQ(Eval(assign("undeclared", num(1))), "error 2");
  EXPECT_EQ(Eval(set(undef(), str("k"), num(1))), "error 6");
  EXPECT_EQ(Eval(set(num(1), str("k"), num(1))), "n:1");
  EXPECT_EQ(Eval(get(undef(), str("k"))), "u");
  EXPECT_EQ(Eval(get(str("abc"), num(1))), "s:\"b\"");
  EXPECT_EQ(Eval(get(str("abc"), num(3))), "u");
  EXPECT_EQ(Eval(get(str("abc"), num(1.5))), "u");
  EXPECT_EQ(Eval(get(str("abc"), str("length"))), "n:3");
  EXPECT_EQ(Eval(obj({{"k", num(1)}, {"k", num(2)}})), "{\"k\":n:2}");
  EXPECT_EQ(Eval(raw("41", {str("a"), num(1)})), "error 10");
  EXPECT_EQ(Eval(raw("15", {num(1)})), "error 10");
  // Constants keep their value silently.
  RunResult r = RunProgram({constv("c", num(1)), assign("c", num(2)), print(var("c"))});
  EXPECT_EQ(r.printed, "n:1\n");
}

TEST(ScriptCommands, ControlFlow) {
  EXPECT_EQ(Eval(raw("22", {boolean(true), num(5)})), "n:5");
  EXPECT_EQ(Eval(raw("22", {boolean(false)})), "u");
  EXPECT_EQ(Eval(raw("22", {boolean(true), codeList({num(1), num(2)})})), "n:2");
  EXPECT_EQ(Eval(raw("13", {num(1), brk()})), "error 10");
  EXPECT_EQ(Eval(raw("5", {num(1)})), "error 10");
  // A top-level return is simply a result.
  RunResult r = RunProgram({ret(num(3))});
  EXPECT_EQ(r.result->kind(), APMPValueKind::Control);
  // A function without return gives its last statement's value; missing parameters are
  // undefined.
  r = RunProgram({func("f", {"a", "b"}, {add(var("a"), num(1)), var("b")}),
                  print(callf("f", {num(1)})), print(lambda({}, {num(4)}))});
  EXPECT_EQ(r.printed, "u\nf\n");
}

TEST(ScriptCommands, SwitchLayout) {
  auto program = [](double v, bool breakInFirst) {
    Ns body1 = {callf("print", {str("one")})};
    if (breakInFirst) body1.push_back(brk());
    N bodies =
        codeList({raw("5", {codeList(body1)}), raw("5", {codeList({callf("print", {str("two")})})}),
                  raw("5", {codeList({callf("print", {str("default")})})})});
    return RunProgram({raw("38", {num(v), codeList({num(1), num(2)}), bodies})});
  };
  EXPECT_EQ(program(3, false).printed, "s:\"default\"\n");
  EXPECT_EQ(program(1, false).printed, "s:\"one\"\ns:\"two\"\ns:\"default\"\n");
  EXPECT_EQ(program(1, true).printed, "s:\"one\"\n");
  EXPECT_EQ(Format(program(1, true).result), "u");
  RunResult r = RunProgram({raw("38", {num(1), num(2), codeList({})})});
  EXPECT_EQ(r.error->code, 9);
}

TEST(ScriptCommands, Loops) {
  RunResult r =
      RunProgram({let("x"), raw("47", {str("x"), str("ab"), codeList({print(var("x"))})})});
  EXPECT_EQ(r.printed, "s:\"0\"\ns:\"1\"\n");
  EXPECT_EQ(Eval(raw("55", {str("x"), num(5), codeList({})})), "u");
  EXPECT_EQ(Eval(raw("55", {str("x"), num(5), num(1)})), "error 10");
  EXPECT_EQ(Eval(raw("64", {str("x"), obj({}), codeList({})})), "error 16");
  r = RunProgram(
      {doWhile(boolean(false), {print(num(1))}), whileLoop(boolean(false), {print(num(2))})});
  EXPECT_EQ(r.printed, "n:1\n");
  // Per-iteration bindings: closures see 0, 1, 2; the outer i keeps its value.
  r = RunProgram({letv("fs", arr({})), letv("i", num(42)),
                  forLet("i", num(0), lt(var("i"), num(3)), assign("i", add(var("i"), num(1))),
                         {method(var("fs"), "push", {lambda({}, {ret(var("i"))})})}),
                  forOf("f", var("fs"), {print(callf("f", {}))}), print(var("i"))});
  EXPECT_EQ(r.printed, "n:0\nn:1\nn:2\nn:42\n");
  // A return inside a loop ends the loop and the function.
  r = RunProgram({func("g", {}, {forOf("v", arr({num(1), num(2)}), {ret(var("v"))}), num(9)}),
                  print(callf("g", {}))});
  EXPECT_EQ(r.printed, "n:1\n");
}

TEST(ScriptCommands, RequireAndModules) {
  APMPRuntime runtime;
  int made = 0;
  runtime.setModuleCreator(
      [&made]() -> APMPValuePtr {
        ++made;
        return APMPNumberValue::make(made);
      },
      u"counted");
  runtime.setModuleCreator([]() -> APMPValuePtr { return nullptr; }, u"broken");
  RunResult r = RunProgram(
      runtime,
      {print(callf("require", {str("counted")})), print(callf("require", {str("counted")})),
       print(callf("require", {str("broken")})), print(callf("require", {str("unknown")})),
       print(method(callf("require", {str("internal.platform")}), "getVersion", {}))});
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.printed, "n:1\nn:1\nu\nu\nn:0\n");
  EXPECT_EQ(RunProgram(runtime, {callf("require", {})}).error->code, 9);
  EXPECT_EQ(RunProgram(runtime, {callf("require", {str("a"), str("b")})}).error->code, 9);
  // An unknown name stays cached as undefined even after a creator appears.
  runtime.setModuleCreator([]() -> APMPValuePtr { return APMPNumberValue::make(5); }, u"unknown");
  EXPECT_EQ(RunProgram(runtime, {print(callf("require", {str("unknown")}))}).printed, "u\n");
}

TEST(ScriptCommands, MethodCallsOnMapsAndFunctions) {
  EXPECT_EQ(Eval(method(obj({{"n", num(1)}}), "n", {})), "error 17");
  EXPECT_EQ(Eval(method(obj({{"f", lambda({"x"}, {ret(var("x"))})}}), "f", {num(4)})), "n:4");
  EXPECT_EQ(Eval(method(obj({{"k", num(1)}}), "hasOwnProperty", {str("k")})), "b:true");
  EXPECT_EQ(Eval(method(obj({}), "hasOwnProperty", {str("a"), str("b")})), "error 9");
  EXPECT_EQ(Eval(method(obj({{"[object Object]", num(1)}}), "hasOwnProperty", {obj({})})),
            "b:true");
  EXPECT_EQ(Eval(method(num(5), "toString", {})), "s:\"5\"");
  EXPECT_EQ(Eval(method(null(), "toString", {})), "error 7");
  EXPECT_EQ(Eval(method(num(5), "other", {})), "error 17");
  EXPECT_EQ(Eval(raw("2", {num(1), num(2), arr({})})), "error 10");
}

}  // namespace
