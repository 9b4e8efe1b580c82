// Runs the same programs through the script runtime and through Node.js, and compares what
// they print. Node.js is the outside reference for the semantics the runtime shares with
// JavaScript; the cases where the runtime differs on purpose are checked against their own
// expected texts at the end.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/AppMeasurement/script/ScriptEntities.h"
#include "tests/AppMeasurement/script/ScriptHarness.h"

using namespace script_test;

namespace {

struct Case {
  std::string name;
  Ns program;
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  auto add_case = [&](std::string name, Ns program) {
    cases.push_back({std::move(name), std::move(program)});
  };
  auto p = [](N n) { return print(n); };

  // Operators and conversions.
  Ns ops;
  std::vector<N> values = {num(0),         num(-0.0),     num(1),
                           num(-7.5),      num(NAN),      num(INFINITY),
                           num(1e21),      num(1e-7),     num(123.456),
                           str(""),        str("12"),     str(" 12 "),
                           str("abc"),     str("1e3"),    boolean(true),
                           boolean(false), null(),        undef(),
                           arr({}),        arr({num(2)}), arr({num(1), num(2)}),
                           obj({})};
  for (auto& a : values) {
    ops.push_back(p(typeOf(a)));
    ops.push_back(p(lnot(a)));
    ops.push_back(p(neg(a)));
    ops.push_back(p(add(a, str(""))));
    for (auto& b : {num(2), str("2"), boolean(true), null(), undef(), str("abc")}) {
      ops.push_back(p(add(a, b)));
      ops.push_back(p(sub(a, b)));
      ops.push_back(p(mul(a, b)));
      ops.push_back(p(divide(a, b)));
      ops.push_back(p(mod(a, b)));
      ops.push_back(p(eq(a, b)));
      ops.push_back(p(ne(a, b)));
      ops.push_back(p(seq(a, b)));
      ops.push_back(p(sne(a, b)));
      ops.push_back(p(lt(a, b)));
      ops.push_back(p(le(a, b)));
      ops.push_back(p(gt(a, b)));
      ops.push_back(p(ge(a, b)));
      ops.push_back(p(land(a, b)));
      ops.push_back(p(lor(a, b)));
    }
  }
  add_case("operators", ops);

  Ns bits;
  for (double x :
       {0.0, 1.0, -1.0, 5.5, -8.0, 255.0, 1e9, -2147483648.0, 2147483647.0, double(NAN)}) {
    for (double y : {0.0, 1.0, 3.0, 31.0, 32.0, -1.0}) {
      bits.push_back(p(band(num(x), num(y))));
      bits.push_back(p(bor(num(x), num(y))));
      bits.push_back(p(bxor(num(x), num(y))));
      bits.push_back(p(shl(num(x), num(y))));
      bits.push_back(p(sar(num(x), num(y))));
      bits.push_back(p(shr(num(x), num(y))));
    }
    bits.push_back(p(bnot(num(x))));
  }
  add_case("bitwise within 32 bits", bits);

  Ns numbers;
  for (double x : {0.1, 0.2 + 0.1, 1.0 / 3, 2.0 / 3, 1e20, 1.5e21, 123e-20, -1e-7, 0.000001,
                   0.0000015, 9007199254740993.0, 1.7976931348623157e308, 5e-324, 100.0, 1e6})
    numbers.push_back(p(add(num(x), str(""))));
  for (const char* t : {"", " ", "12", " 12 ", "12ab", "1.5", "-1.5e3", ".5", "5.", "1e400", "-0",
                        "Infinity", "-Infinity", "NaN", "\n42\t"})
    numbers.push_back(p(mul(str(t), num(1))));
  add_case("number text", numbers);

  // Equality and typeof of reference values.
  add_case("equality of references",
           {letv("a", arr({num(1)})), letv("o", obj({})), p(eq(var("a"), var("a"))),
            p(seq(var("a"), var("a"))), p(eq(var("a"), arr({num(1)}))), p(eq(var("a"), str("1"))),
            p(eq(var("a"), num(1))), p(eq(var("o"), str("[object Object]"))),
            p(lt(arr({num(2)}), arr({num(10)}))), p(lt(str("b"), str("a"))),
            p(typeOf(lambda({}, {}))), p(eq(null(), undef())), p(seq(null(), undef()))});

  // Control flow.
  add_case("if and conditional",
           {letv("x", num(0)), ifElse(gt(var("x"), num(0)), {p(str("pos"))}, {p(str("nonpos"))}),
            p(cond(var("x"), str("a"), str("b"))), ifElse(lnot(var("x")), {p(num(1))})});
  add_case("while and do-while",
           {letv("i", num(0)), letv("s", num(0)),
            whileLoop(lt(var("i"), num(10)), {assign("i", add(var("i"), num(1))),
                                              ifElse(eq(mod(var("i"), num(2)), num(0)), {cont()}),
                                              ifElse(gt(var("i"), num(7)), {brk()}),
                                              assign("s", add(var("s"), var("i")))}),
            p(var("s")), p(var("i")), doWhile(boolean(false), {p(str("once"))})});
  add_case("for with closures",
           {letv("fs", arr({})),
            forLet("i", num(0), lt(var("i"), num(4)), assign("i", add(var("i"), num(1))),
                   {ifElse(eq(var("i"), num(2)), {cont()}),
                    method(var("fs"), "push", {lambda({}, {ret(mul(var("i"), num(10)))})})}),
            forOf("f", var("fs"), {p(callf("f", {}))}),
            forLet("j", num(0), boolean(true), assign("j", add(var("j"), num(1))),
                   {ifElse(gt(var("j"), num(2)), {brk()}), p(var("j"))})});
  add_case("for-of and for-in",
           {letv("a", arr({num(1), str("x"), null()})), set(var("a"), num(5), num(6)),
            forOf("v", var("a"), {p(var("v"))}), forIn("k", var("a"), {p(var("k"))}),
            forOf("c", str("hé!"), {p(var("c"))}), forIn("k", str("ab"), {p(var("k"))}),
            forIn("k", obj({{"z", num(1)}, {"y", num(2)}}), {p(var("k"))}),
            forOf("v", arr({num(1), num(2), num(3)}),
                  {ifElse(eq(var("v"), num(2)), {brk()}), p(var("v"))})});
  add_case("functions and recursion",
           {func("fact", {"n"},
                 {ifElse(le(var("n"), num(1)), {ret(num(1))}),
                  ret(mul(var("n"), callf("fact", {sub(var("n"), num(1))})))}),
            p(callf("fact", {num(10)})),
            func("counter", {},
                 {letv("c", num(0)),
                  ret(lambda({}, {assign("c", add(var("c"), num(1))), ret(var("c"))}))}),
            letv("k", callf("counter", {})), callf("k", {}), p(callf("k", {})),
            func("noReturn", {"a"}, {var("a")}), p(callf("noReturn", {}))});
  add_case("objects and arrays",
           {letv("o", obj({{"a", num(1)}, {"b", arr({num(1), num(2)})}})),
            set(var("o"), str("c"), str("x")), p(var("o")), p(get(var("o"), str("b"))),
            p(get(var("o"), str("missing"))), letv("a", arr({})), set(var("a"), num(3), num(1)),
            p(var("a")), p(get(var("a"), str("length"))), set(var("a"), str("length"), num(1)),
            p(var("a")), p(get(str("abc"), num(1))), p(get(str("abc"), str("length"))),
            p(add(arr({num(1), null(), undef()}), str("")))});

  // String methods.
  Ns strings;
  std::vector<std::pair<std::string, Ns>> calls = {{"charAt", {num(1)}},
                                                   {"charAt", {num(9)}},
                                                   {"charAt", {}},
                                                   {"charAt", {num(NAN)}},
                                                   {"concat", {num(1), boolean(true)}},
                                                   {"indexOf", {str("b")}},
                                                   {"indexOf", {str("b"), num(2)}},
                                                   {"indexOf", {str("zz")}},
                                                   {"lastIndexOf", {str("b")}},
                                                   {"lastIndexOf", {str("b"), num(2)}},
                                                   {"lastIndexOf", {str("b"), num(-5)}},
                                                   {"slice", {num(1)}},
                                                   {"slice", {num(-3), num(-1)}},
                                                   {"slice", {num(4), num(2)}},
                                                   {"substring", {num(4), num(1)}},
                                                   {"substring", {num(-2)}},
                                                   {"split", {str("b")}},
                                                   {"split", {str("b"), num(1)}},
                                                   {"split", {str("")}},
                                                   {"split", {}},
                                                   {"toUpperCase", {}},
                                                   {"toLowerCase", {}},
                                                   {"trim", {}},
                                                   {"toString", {}},
                                                   {"replace", {str("b"), str("[$]")}},
                                                   {"replace", {str("q"), str("!")}},
                                                   {"match", {str("b+")}},
                                                   {"match", {str("z")}},
                                                   {"search", {str("c")}},
                                                   {"search", {str("z")}},
                                                   {"hasOwnProperty", {num(1)}},
                                                   {"hasOwnProperty", {str("length")}}};
  for (const char* text : {"abcbd", " Mixed Case ", "ÄÖü é"})
    for (auto& [name, args] : calls) strings.push_back(p(method(str(text), name, args)));
  add_case("string methods", strings);

  // Array methods.
  N list = arr({num(3), num(1), num(2)});
  N square = lambda({"x"}, {ret(mul(var("x"), var("x")))});
  N odd = lambda({"x"}, {ret(mod(var("x"), num(2)))});
  N sum = lambda({"a", "b"}, {ret(add(var("a"), var("b")))});
  N desc = lambda({"a", "b"}, {ret(sub(var("b"), var("a")))});
  add_case("array methods", {p(method(list, "map", {square})),
                             p(method(list, "filter", {odd})),
                             p(method(list, "every", {odd})),
                             p(method(list, "some", {odd})),
                             p(method(list, "reduce", {sum})),
                             p(method(list, "reduce", {sum, str("")})),
                             p(method(list, "reduceRight", {sum, str("")})),
                             p(method(list, "join", {str("-")})),
                             p(method(list, "indexOf", {num(2)})),
                             p(method(list, "indexOf", {num(2), num(-1)})),
                             p(method(list, "lastIndexOf", {num(3)})),
                             p(method(list, "slice", {num(1)})),
                             p(method(list, "concat", {arr({num(4)}), num(5)})),
                             p(method(list, "toString", {})),
                             p(method(arr({num(10), num(9), num(1), undef()}), "sort", {})),
                             p(method(arr({num(10), num(9), num(1)}), "sort", {desc})),
                             letv("a", arr({num(1), num(2)})),
                             p(method(var("a"), "push", {num(3), num(4)})),
                             p(method(var("a"), "pop", {})),
                             p(method(var("a"), "shift", {})),
                             p(method(var("a"), "unshift", {num(0)})),
                             p(method(var("a"), "reverse", {})),
                             p(method(var("a"), "splice", {num(1), num(1), str("x"), str("y")})),
                             p(var("a")),
                             p(method(var("a"), "hasOwnProperty", {num(0)})),
                             p(method(arr({}), "pop", {}))});
  add_case(
      "array holes",
      {letv("h", arr({num(1)})), set(var("h"), num(3), num(4)), p(var("h")),
       p(method(var("h"), "map", {square})), p(method(var("h"), "filter", {square})),
       p(method(var("h"), "reduce", {sum})), p(method(var("h"), "join", {})),
       p(method(var("h"), "indexOf", {undef()})), p(method(var("h"), "hasOwnProperty", {num(1)})),
       p(get(var("h"), num(1))), p(method(var("h"), "slice", {num(0), num(2)})),
       p(method(var("h"), "concat", {var("h")}))});
  auto switchCase = [&](N discriminant) {
    // switch (d) { case 1: print("one"); case "1": print("text one"); break;
    //              case 2: print("two"); default: print("default"); }
    N bodies = codeList({Stmt("5", {codeList({p(str("one"))})}, ""),
                         Stmt("5", {codeList({p(str("text one")), brk()})}, ""),
                         Stmt("5", {codeList({p(str("two"))})}, ""),
                         Stmt("5", {codeList({p(str("default"))})}, "")});
    N statement = Stmt("38", {discriminant, codeList({num(1), str("1"), num(2)}), bodies},
                       "switch (" + discriminant.js +
                           ") { case 1: print(\"one\"); case \"1\": print(\"text one\"); break; "
                           "case 2: print(\"two\"); default: print(\"default\"); }");
    return statement;
  };
  add_case("switch", {switchCase(num(1)), switchCase(str("1")), switchCase(num(2)),
                      switchCase(num(3)), switchCase(boolean(true))});
  add_case("comma and conditional chains",
           {letv("x", num(1)),
            p(Stmt("13", {assign("x", add(var("x"), num(1))), mul(var("x"), num(10))},
                   "(x = (x + 1), (x * 10))")),
            p(cond(lt(var("x"), num(2)), str("small"),
                   cond(lt(var("x"), num(3)), str("mid"), str("big")))),
            p(land(str("a"), land(num(0), str("b")))), p(lor(null(), lor(str(""), undef())))});
  add_case("nested closures and shadowing",
           {letv("x", str("outer")),
            func("make", {"x"}, {ret(lambda({"y"}, {ret(add(var("x"), var("y")))}))}),
            letv("f", callf("make", {str("inner-")})), p(callf("f", {str("y")})), p(var("x")),
            block({letv("x", str("block")), p(var("x"))}), p(var("x")),
            func("counterFactory", {},
                 {letv("n", num(0)),
                  ret(obj({{"inc", lambda({}, {assign("n", add(var("n"), num(1))), ret(var("n"))})},
                           {"get", lambda({}, {ret(var("n"))})}}))}),
            letv("c", callf("counterFactory", {})), method(var("c"), "inc", {}),
            method(var("c"), "inc", {}), p(method(var("c"), "get", {})),
            forOf("v", arr({num(1), num(2)}), {letv("w", mul(var("v"), num(2))), p(var("w"))})});
  add_case("unicode strings",
           {letv("s", str("a\xF0\x9F\x98\x80"
                          "b\xC3\xA9")),
            p(get(var("s"), str("length"))), p(method(var("s"), "charAt", {num(1)})),
            p(method(var("s"), "indexOf", {str("b")})), p(method(var("s"), "slice", {num(3)})),
            p(method(var("s"), "toUpperCase", {})), p(method(var("s"), "split", {str("")})),
            forOf("c", str("\xC3\xA9\xE2\x82\xAC"), {p(var("c"))}),
            p(method(str("\xC4\xB0"), "toLowerCase", {})),
            p(method(str("\xEF\xAC\x80"), "toUpperCase", {}))});
  N byKey = lambda({"a", "b"}, {ret(sub(get(var("a"), str("k")), get(var("b"), str("k"))))});
  add_case(
      "array methods, more",
      {letv("a", arr({obj({{"k", num(3)}}), obj({{"k", num(1)}}), obj({{"k", num(2)}})})),
       p(method(method(var("a"), "sort", {byKey}), "map",
                {lambda({"o"}, {ret(get(var("o"), str("k")))})})),
       letv("b", arr({num(1), num(2), num(3), num(4), num(5)})),
       p(method(var("b"), "splice", {num(-2)})), p(var("b")),
       p(method(var("b"), "splice", {num(1), num(-5), str("x")})), p(var("b")),
       p(method(var("b"), "splice", {num(0), num(99)})), p(var("b")),
       p(method(arr({num(1), num(2), num(3), num(2)}), "lastIndexOf", {num(2), num(-2)})),
       p(method(arr({num(1), num(2), num(3)}), "slice", {num(-2), num(-1)})),
       p(method(arr({num(1), num(2), num(3)}), "slice", {num(5)})),
       p(method(arr({num(1), arr({num(2), arr({num(3)})})}), "join", {str(";")})),
       p(method(arr({str("b"), str("a"), str("C")}), "sort", {})),
       p(method(arr({num(1), num(2), num(3)}), "filter",
                {lambda({"x", "i", "arr"}, {ret(eq(get(var("arr"), str("length")), num(3)))})})),
       p(method(arr({num(1), num(2), num(3)}), "reduceRight",
                {lambda({"acc", "x"}, {ret(add(var("acc"), var("x")))}), str("")}))});
  add_case("typeof everything",
           {p(typeOf(num(1))), p(typeOf(str(""))), p(typeOf(boolean(false))), p(typeOf(undef())),
            p(typeOf(null())), p(typeOf(obj({}))), p(typeOf(arr({}))), p(typeOf(lambda({}, {}))),
            p(typeOf(var("nothing"))), p(typeOf(typeOf(num(1))))});
  // Surrogate pairs are two code units: positions may fall between them.
  {
    const char* emoji = "x\xF0\x9F\x98\x80y\xF0\x9F\x91\x8D";  // x😀y👍
    Ns units;
    for (auto& [name, args] :
         std::vector<std::pair<std::string, Ns>>{{"charAt", {num(1)}},
                                                 {"charAt", {num(2)}},
                                                 {"slice", {num(2)}},
                                                 {"slice", {num(0), num(2)}},
                                                 {"slice", {num(-1)}},
                                                 {"substring", {num(5), num(2)}},
                                                 {"split", {str("")}},
                                                 {"split", {str(""), num(3)}},
                                                 {"split", {str("y")}},
                                                 {"indexOf", {str("\xF0\x9F\x91\x8D")}},
                                                 {"lastIndexOf", {str("\xF0\x9F\x98\x80"), num(1)}},
                                                 {"lastIndexOf", {str("y"), num(NAN)}},
                                                 {"indexOf", {str("y"), num(99)}},
                                                 {"replace", {str("\xF0\x9F\x98\x80"), str("-")}},
                                                 {"concat", {str("\xF0\x9F\x98\x80")}},
                                                 {"hasOwnProperty", {num(5)}},
                                                 {"hasOwnProperty", {num(6)}},
                                                 {"toUpperCase", {}}})
      units.push_back(p(method(str(emoji), name, args)));
    units.push_back(p(get(str(emoji), str("length"))));
    units.push_back(p(get(str(emoji), num(2))));
    units.push_back(p(method(str("stra\xC3\x9F"
                                 "e"),
                             "toUpperCase", {})));
    units.push_back(p(method(str("\xCE\xA3\xCE\x91\xCE\xA3"), "toLowerCase", {})));
    units.push_back(p(method(str("\xE2\x80\x83 a\xE3\x80\x80"), "trim", {})));
    add_case("surrogates and case mapping", units);
  }

  // A text found in itself, whatever its marks: U+0F73 has combining class 0 but decomposes to
  // marks that canonical ordering moves ahead of the acute before it.
  {
    const std::string t = "e\xCC\x81\xE0\xBD\xB3";  // e, U+0301, U+0F73
    add_case("a starter that decomposes to marks",
             {p(method(str(t), "indexOf", {str(t)})), p(method(str(t), "lastIndexOf", {str(t)})),
              p(method(str("x" + t + "y"), "split", {str(t)})),
              p(method(str(t), "replace", {str(t), str("-")}))});
  }

  // More number text: boundaries of the decimal range, long mantissas, exponents.
  {
    Ns more;
    for (double x : {1e-6, 9.99e-7, 1e21 - 65536, 123456789012345680000.0, -1e21, 4.35,
                     1.0000000000000002, 9007199254740992.0, 1e300, 2.5e-308, 0.5, -0.000001,
                     1.5e-7, 100000000000000000000.0, 12345.6789e-12})
      more.push_back(p(add(num(x), str(""))));
    for (const char* t : {"1e", "e5", "-", "+1", "+.5", "-.5e-1", "1.2.3", "00012", "1 2",
                          "\xC2\xA0"
                          "7\xE2\x80\xA8",
                          "12e+2", "1E3", ".", "-0.0", "  -12.50  "})
      more.push_back(p(mul(str(t), num(1))));
    add_case("number text, more", more);
  }

  // Sorting: equal keys keep their order; holes and undefined go last.
  {
    N byFirst = lambda({"a", "b"}, {ret(sub(get(var("a"), num(0)), get(var("b"), num(0))))});
    N pairs = arr({arr({num(2), str("a")}), arr({num(1), str("b")}), arr({num(2), str("c")}),
                   arr({num(1), str("d")}), arr({num(0), str("e")}), arr({num(2), str("f")})});
    add_case(
        "sort order",
        {p(method(method(pairs, "sort", {byFirst}), "join", {str(" ")})),
         letv("h", arr({num(3), undef(), num(1)})), set(var("h"), num(5), num(0)),
         p(method(var("h"), "sort", {})), p(get(var("h"), str("length"))),
         p(method(arr({str("b"), str("B"), str("\xC3\xA4"), str("a"), str("")}), "sort", {})),
         p(method(arr({num(-1), num(-2), num(10), num(2)}), "sort", {})),
         p(method(arr({num(5), num(1), num(4)}), "sort", {lambda({"a", "b"}, {ret(str("0"))})}))});
  }

  // Array methods over holes and odd arguments.
  add_case(
      "array methods, holes and bounds",
      {letv("h", arr({num(1)})),
       set(var("h"), num(2), num(3)),
       p(method(var("h"), "reverse", {})),
       p(method(var("h"), "concat", {arr({}), null()})),
       p(method(var("h"), "indexOf", {num(3), num(-100)})),
       p(method(var("h"), "lastIndexOf", {num(1), num(100)})),
       p(method(var("h"), "some", {lambda({"x"}, {ret(eq(var("x"), undef()))})})),
       p(method(var("h"), "every", {lambda({"x"}, {ret(ne(var("x"), undef()))})})),
       p(method(var("h"), "reduceRight", {lambda({"a", "b"}, {ret(add(var("a"), var("b")))})})),
       p(method(arr({}), "every", {lambda({}, {})})),
       p(method(arr({}), "some", {lambda({}, {})})),
       p(method(arr({num(1), num(2), num(3)}), "splice", {num(1), num(NAN)})),
       p(method(arr({num(1), num(2), num(3)}), "slice", {num(NAN), num(INFINITY)})),
       p(method(arr({num(1), num(2), num(3)}), "slice", {num(-INFINITY), num(-1)})),
       p(method(arr({num(1), num(2), num(3)}), "indexOf", {num(3), num(INFINITY)})),
       p(method(arr({num(NAN)}), "indexOf", {num(NAN)})),
       p(method(arr({num(-0.0)}), "indexOf", {num(0)})),

       p(method(arr({num(1), num(2)}), "join", {num(0)})),
       letv("u", arr({num(1)})),
       p(method(var("u"), "unshift", {num(-1), num(0)})),
       p(var("u")),
       p(method(var("u"), "splice", {num(-1), num(0), str("a"), str("b")})),
       p(var("u")),
       p(method(str("a,b,,c"), "split", {str(","), num(0)})),
       p(method(str("a,b,,c"), "split", {str(","), num(-1)})),
       p(method(str("a,b,,c,"), "split", {str(",")})),
       p(method(
           str("abc"), "replace",
           {str("b"), lambda({"m", "i", "s"}, {ret(add(add(var("m"), var("i")), var("s")))})})),
       p(method(str("abc"), "substring", {num(NAN), num(2)})),
       p(method(str("abc"), "charAt", {num(1.9)})),
       p(method(str("abc"), "slice", {num(-1.5)}))});

  // Texts made by appending share storage with the text appended to; searches over periodic
  // texts (the worst case of naive search) in both directions.
  auto inc = [](const char* name) { return assign(name, add(var(name), num(1))); };
  N s = var("s"), h = var("h");
  add_case("appends and periodic searches",
           {letv("s", str("")),
            forLet("i", num(0), lt(var("i"), num(50)), inc("i"), {assign("s", add(s, str("a")))}),
            letv("t", add(s, str("b"))),
            letv("u", add(s, str("c"))),
            p(s),
            p(var("t")),
            p(var("u")),
            p(seq(add(s, str("b")), var("t"))),
            letv("v", var("t")),
            assign("t", add(var("t"), str("x"))),
            p(var("v")),
            p(var("t")),
            letv("h", add(add(add(s, s), str("b")), s)),
            p(method(h, "indexOf", {add(s, str("b"))})),
            p(method(h, "lastIndexOf", {s})),
            p(method(h, "indexOf", {str("aab")})),
            p(method(h, "lastIndexOf", {str("aab"), num(60)})),
            p(method(h, "lastIndexOf", {str("aab"), num(120)})),
            p(get(method(h, "split", {str("aa")}), str("length"))),
            p(method(h, "split", {add(s, str("b"))})),
            p(method(h, "replace", {str("ab"), str("-")})),
            p(method(str("abababa"), "split", {str("aba")})),
            p(method(str("aaaa"), "lastIndexOf", {str("aa")})),
            p(method(str("aaaa"), "indexOf", {str("aa"), num(1)})),
            p(method(str("aaaa"), "lastIndexOf", {str("aa"), num(1)})),
            p(method(str("abcabcabd"), "indexOf", {str("abcabd")})),
            p(method(str("abcabcabd"), "lastIndexOf", {str("cab")}))});

  return cases;
}

std::string RunNode(const std::vector<Case>& cases) {
  std::string path = testing::TempDir() + "script_differential.js";
  {
    std::ofstream js(path);
    js << kJsFormat << "function print(x) { console.log(fmt(x)); }\n";
    for (const auto& c : cases) {
      js << "console.log(\"=== " << c.name << "\");\n(function () {\n";
      for (const auto& n : c.program) js << n.js << (n.js.back() == '}' ? "\n" : ";\n");
      js << "})();\n";
    }
  }
  std::string command = "node " + path + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

TEST(ScriptDifferential, AgreesWithNode) {
  if (system("node --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
  std::vector<Case> cases = Cases();
  std::string node = RunNode(cases);
  std::map<std::string, std::string> expected;
  std::istringstream lines(node);
  std::string line, current;
  while (std::getline(lines, line)) {
    if (line.rfind("=== ", 0) == 0) {
      current = line.substr(4);
      continue;
    }
    expected[current] += line + "\n";
  }
  for (const auto& c : cases) {
    // The programs travel as the remote configuration delivers them: encoded program
    // entities, decoded and converted by the runtime.
    APMPBProgram program;
    NANOSetMessageArray(program, APMPBProgram::kInstructions, ToEntities(c.program));
    std::optional<std::string> bytes = program.protoBuffer();
    ASSERT_TRUE(bytes);
    std::optional<APMPBProgram> decoded = APMPBProgram::initWithBuffer(*bytes);
    ASSERT_TRUE(decoded);
    APMPRuntime runtime;
    auto printed = std::make_shared<std::string>();
    runtime.globalScope()->addValue(std::make_shared<PrintFunction>(printed), u"print");
    RunResult r;
    runtime.executeStatements(
        *NANOGetMessageArray<APMPBRuntimeEntity>(*decoded, APMPBProgram::kInstructions), &r.error);
    r.printed = *printed;
    EXPECT_FALSE(r.error) << c.name << ": code " << (r.error ? r.error->code : 0);
    // Compare line by line, so that a failure names the statement.
    std::istringstream ours(r.printed), theirs(expected[c.name]);
    std::string a, b;
    size_t i = 0;
    while (true) {
      bool moreA = static_cast<bool>(std::getline(ours, a));
      bool moreB = static_cast<bool>(std::getline(theirs, b));
      if (!moreA && !moreB) break;
      ASSERT_EQ(a, b) << c.name << " line " << i;
      ++i;
    }
  }
}

// Where the runtime differs from JavaScript on purpose, each case states its own result.
TEST(ScriptDifferential, DeliberateDifferences) {
  struct Case {
    N expression;
    const char* expected;
  } cases[] = {
      // 32-bit conversions saturate instead of wrapping.
      {bor(num(3000000000.0), num(0)), "n:2147483647"},
      {bor(num(-3000000000.0), num(0)), "n:-2147483648"},
      // Text to number is decimal only.
      {mul(str("0x10"), num(1)), "n:NaN"},
      {mul(str("+Infinity"), num(1)), "n:NaN"},
      // A join with undefined as separator uses the empty text.
      {method(arr({num(1), num(2)}), "join", {undef()}), "s:\"12\""},
      // Replacement text is inserted as it is, without "$" patterns.
      {method(str("ab"), "replace", {str("a"), str("$&$&")}), "s:\"$&$&b\""},
      // Objects compare by identity only; strings of objects by their texts.
      {method(arr({num(2), num(1)}), "toString", {}), "s:\"2,1\""},
      // Substring search matches canonically equivalent text, never inside a combining
      // sequence.
      {method(str("e\xCC\x81tude"), "indexOf", {str("\xC3\xA9")}), "n:0"},
      {method(str("\xC3\xA9tude"), "indexOf", {str("e\xCC\x81")}), "n:0"},
      {method(str("e\xCC\x81"), "indexOf", {str("e")}), "n:-1"},
      {method(str("\xC3\xA9x\xC3\xA9"), "lastIndexOf", {str("e\xCC\x81")}), "n:2"},
      {method(str("cafe\xCC\x81!"), "replace", {str("\xC3\xA9"), str("E")}), "s:\"cafE!\""},
      // An ASCII side still matches what decomposes to ASCII: the Kelvin sign is "K", the
      // Greek question mark ";".
      {method(str("K"), "indexOf", {str("\xE2\x84\xAA")}), "n:0"},
      {method(str("a;b"), "split", {str("\xCD\xBE")}), "[s:\"a\",s:\"b\"]"},
      {method(str("x\xE2\x84\xAAy"), "replace", {str("K"), str("-")}), "s:\"x-y\""},
      {method(str("`\xE1\xBF\xAF"), "lastIndexOf", {str("`")}), "n:1"},
      {method(str("a\xC3\xA9"
                  "b\xC3\xA9"
                  "c"),
              "split", {str("e\xCC\x81")}),
       "[s:\"a\",s:\"b\",s:\"c\"]"},
      // U+0F73 and U+0F75 decompose to marks: the letter before them is part of a combining
      // sequence, as before U+0F71 U+0F72.
      {method(str("a\xE0\xBD\xB3"), "indexOf", {str("a")}), "n:-1"},
      {method(str("a\xE0\xBD\xB1\xE0\xBD\xB2"), "indexOf", {str("a")}), "n:-1"},
      {method(str("ba\xE0\xBD\xB5"), "lastIndexOf", {str("a")}), "n:-1"},
  };
  for (auto& c : cases) {
    RunResult r = RunProgram({c.expression});
    ASSERT_FALSE(r.error) << c.expression.js;
    EXPECT_EQ(Format(r.result), c.expected) << c.expression.js;
  }
  // Keys come in insertion order, integer-like or not; an array lists its named properties
  // before its indices.
  RunResult keys =
      RunProgram({forIn("k", obj({{"b", num(1)}, {"2", num(1)}, {"a", num(1)}}), {print(var("k"))}),
                  letv("a", arr({num(1)})), set(var("a"), str("name"), num(1)),
                  forIn("k", var("a"), {print(var("k"))})});
  EXPECT_EQ(keys.printed, "s:\"b\"\ns:\"2\"\ns:\"a\"\ns:\"name\"\ns:\"0\"\n");
  // Errors where JavaScript throws its own exceptions or answers otherwise.
  EXPECT_EQ(RunProgram({method(arr({}), "reduce", {lambda({"a"}, {})})}).error->code, 8);
  EXPECT_EQ(RunProgram({set(arr({}), str("length"), num(-1))}).error->code, 11);
  EXPECT_EQ(RunProgram({method(arr({num(1)}), "forEach", {lambda({}, {}), obj({})})}).error->code,
            9);
}

}  // namespace
