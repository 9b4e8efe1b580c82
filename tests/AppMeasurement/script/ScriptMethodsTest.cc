#include <gtest/gtest.h>

#include "tests/AppMeasurement/script/ScriptHarness.h"

using namespace script_test;

namespace {

std::string Eval(N expression) {
  RunResult r = RunProgram({expression});
  if (r.error)
    return r.error->domain == kAPMPErrorDomain ? "error " + std::to_string(r.error->code)
                                               : "facility error";
  return Format(r.result);
}

N s(const std::string& receiver, const std::string& name, Ns args) {
  return method(str(receiver), name, args);
}

TEST(ScriptStringMethods, Table) {
  struct Case {
    N expression;
    const char* expected;
  } cases[] = {
      {s("abc", "charAt", {num(5)}), "s:\"\""},
      {s("abc", "charAt", {num(-1)}), "s:\"\""},
      {s("abc", "charAt", {}), "s:\"a\""},
      {s("abc", "indexOf", {str("")}), "n:-1"},
      {s("abcabc", "indexOf", {str("c"), num(3)}), "n:5"},
      {s("abcabc", "lastIndexOf", {str("c"), num(4)}), "n:2"},
      {s("a1b2", "match", {str("[0-9]")}), "[s:\"1\"]"},
      {s("ab", "match", {str("x")}), "null"},
      {s("ab", "match", {}), "[s:\"\"]"},
      {s("aXbX", "replace", {str("X"), str("-")}), "s:\"a-bX\""},
      {s("ab", "replace", {str(""), str("-")}), "s:\"-ab\""},
      {s("ab", "replace", {str("x")}), "s:\"ab\""},
      {s("ab", "replace", {str("b")}), "s:\"aundefined\""},
      {s("ab", "replace", {str("b"), lambda({"p", "i", "w"}, {ret(add(var("i"), var("w")))})}),
       "s:\"a1ab\""},
      {s("ab", "search", {str("")}), "n:0"},
      {s("ab", "search", {str("b")}), "n:1"},
      {s("abcdef", "slice", {num(-2)}), "s:\"ef\""},
      {s("abcdef", "substring", {num(4), num(1)}), "s:\"bcd\""},
      {s("a,b,,c", "split", {str(",")}), "[s:\"a\",s:\"b\",s:\"\",s:\"c\"]"},
      {s("a,b,,c", "split", {str(","), num(2)}), "[s:\"a\",s:\"b\"]"},
      {s("", "split", {str(",")}), "[s:\"\"]"},
      {s("abc", "split", {str("")}), "[s:\"a\",s:\"b\",s:\"c\"]"},
      {s("abc", "split", {str(","), num(0)}), "[]"},
      {s("abc", "hasOwnProperty", {str("length")}), "b:true"},
      {s("abc", "hasOwnProperty", {num(2)}), "b:true"},
      {s("abc", "hasOwnProperty", {num(3)}), "b:false"},
      {s("abc", "hasOwnProperty", {num(1.5)}), "b:false"},
      {s("abc", "toString", {num(1)}), "error 9"},
      {s("abc", "nosuch", {}), "error 17"},
      {s("  a b \n", "trim", {}), "s:\"a b\""},
      {s("straße", "toUpperCase", {}), "s:\"STRASSE\""},
      {s("ab", "concat", {num(1), null()}), "s:\"ab1null\""},
      {s("ab", "match", {str("(")}), "facility error"},
      {s("ab", "charAt", {num(1), num(2)}), "error 9"},
  };
  for (auto& c : cases) EXPECT_EQ(Eval(c.expression), c.expected) << c.expression.js;
}

// U+0F73, U+0F75 and U+0F81 have combining class 0 but decompose to marks, which canonical
// ordering moves ahead of an acute (class 230) before them: equivalence reaches across them.
TEST(ScriptStringMethods, CanonicalEquivalenceReachesAcrossStartersThatDecomposeToMarks) {
  const std::string t = "e\xCC\x81\xE0\xBD\xB3";                      // e U+0301 U+0F73
  const std::string reordered = "e\xE0\xBD\xB1\xE0\xBD\xB2\xCC\x81";  // e U+0F71 U+0F72 U+0301
  struct Case {
    N expression;
    const char* expected;
  } cases[] = {
      {s(t, "indexOf", {str(t)}), "n:0"},
      {s(t, "lastIndexOf", {str(t)}), "n:0"},
      {s("x" + t + "y", "split", {str(t)}), "[s:\"x\",s:\"y\"]"},
      {s(t, "replace", {str(t), str("-")}), "s:\"-\""},
      {s("x" + t, "indexOf", {str(reordered)}), "n:1"},
      {s(reordered + "x", "lastIndexOf", {str(t)}), "n:0"},
      {s("o\xCC\x81\xE0\xBD\xB5!", "split", {str("o\xE0\xBD\xB1\xE0\xBD\xB4\xCC\x81")}),
       "[s:\"\",s:\"!\"]"},
      {s("o\xCC\x81\xE0\xBE\x81", "replace", {str("o\xE0\xBD\xB1\xE0\xBE\x80\xCC\x81"), str("-")}),
       "s:\"-\""},
  };
  for (auto& c : cases) EXPECT_EQ(Eval(c.expression), c.expected) << c.expression.js;
}

TEST(ScriptArrayMethods, Table) {
  N sum = lambda({"a", "b"}, {ret(add(var("a"), var("b")))});
  struct Case {
    N expression;
    const char* expected;
  } cases[] = {
      {method(arr({}), "every", {lambda({"x"}, {boolean(false)})}), "b:true"},
      {method(arr({}), "some", {lambda({"x"}, {boolean(true)})}), "b:false"},
      {method(arr({num(1)}), "forEach", {lambda({"x"}, {}), num(1)}), "error 9"},
      {method(arr({}), "reduce", {sum}), "error 8"},
      {method(arr({}), "reduce", {sum, num(0)}), "n:0"},
      {method(arr({num(1), num(2), num(3)}), "reduce", {sum}), "n:6"},
      {method(arr({num(1), num(2)}), "reduce", {num(1)}), "error 10"},
      {method(arr({num(1), num(2)}), "join", {}), "s:\"1,2\""},
      {method(arr({num(1), num(2)}), "join", {undef()}), "s:\"12\""},
      {method(arr({num(1), num(2)}), "join", {null()}), "s:\"12\""},
      {method(arr({num(1), num(2), num(3)}), "indexOf", {num(1), num(3)}), "n:-1"},
      {method(arr({num(1), num(2), num(3)}), "lastIndexOf", {num(1), num(-10)}), "n:-1"},
      {method(arr({num(1), num(2), num(3), num(4), num(5)}), "slice", {num(-2)}), "[n:4,n:5]"},
      {method(arr({num(1), num(2), num(3), num(4), num(5)}), "slice", {num(3), num(1)}), "[]"},
      {method(arr({num(1), num(2), num(3), num(4)}), "splice", {num(1)}), "[n:2,n:3,n:4]"},
      {method(arr({num(1)}), "sort", {num(1)}), "[n:1]"},
      {method(arr({num(1), num(2)}), "sort", {num(1)}), "error 10"},
      {method(arr({num(1)}), "nosuch", {}), "error 17"},
      {method(arr({num(1)}), "pop", {num(1)}), "error 9"},
      {method(arr({num(1), num(2)}), "concat", {arr({num(3)}), num(4)}), "[n:1,n:2,n:3,n:4]"},
  };
  for (auto& c : cases) EXPECT_EQ(Eval(c.expression), c.expected) << c.expression.js;
}

}  // namespace

namespace {

TEST(ScriptArrayMethods, HolesAndFoldOrder) {
  // a = [1, 2, 3]; a.length = 4; a[1] is made a hole by writing past the end of [0].
  RunResult r = RunProgram(
      {letv("a", arr({num(0)})), set(var("a"), num(2), num(2)),
       print(method(var("a"), "map", {lambda({"x"}, {ret(mul(var("x"), num(10)))})})),
       method(var("a"), "forEach", {lambda({"x", "i"}, {print(var("i"))})}),
       print(method(arr({num(1), num(2), num(3)}), "reduceRight",
                    {lambda({"acc", "x", "i"},
                            {print(arr({var("acc"), var("x"), var("i")})), ret(var("x"))})}))});
  ASSERT_FALSE(r.error);
  EXPECT_EQ(r.printed, "[n:0,hole,n:20]\nn:0\nn:2\n[n:3,n:2,n:1]\n[n:2,n:1,n:0]\nn:1\n");
}

TEST(ScriptArrayMethods, SpliceInsertsBeforeLast) {
  RunResult r =
      RunProgram({letv("a", arr({num(1), num(2), num(3), num(4)})),
                  print(method(var("a"), "splice", {num(-1), num(0), str("x")})), print(var("a"))});
  EXPECT_EQ(r.printed, "[]\n[n:1,n:2,n:3,s:\"x\",n:4]\n");
}

TEST(ScriptArrayMethods, EveryStopsAtFirstFalsy) {
  RunResult r = RunProgram({print(method(arr({num(1), num(0), num(2)}), "every",
                                         {lambda({"x"}, {print(var("x")), ret(var("x"))})}))});
  EXPECT_EQ(r.printed, "n:1\nn:0\nb:false\n");
}

}  // namespace
