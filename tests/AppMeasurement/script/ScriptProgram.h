#pragma once

// A test-only program builder: each node is at once a statement-value tree for the script
// runtime and the same program as JavaScript, so that one case can run in both.

#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "AppMeasurement/script/APMPRuntimeValue.h"
#include "AppMeasurement/script/APMPText.h"

namespace script_test {

struct N {
  APMPValuePtr value;
  std::string js;
};
using Ns = std::vector<N>;

inline APMPValuePtr Str16(const std::string& s) {
  return APMPStringValue::make(APMPUTF16FromUTF8(s));
}

inline std::string JsString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

inline N Stmt(const std::string& code, const Ns& args, std::string js) {
  APMPValueList list;
  for (const auto& a : args) list.push_back(a.value);
  return {std::make_shared<APMPStatementValue>(APMPUTF16FromUTF8(code), std::move(list)),
          std::move(js)};
}

inline std::string JoinJs(const Ns& ns, const char* sep) {
  std::string out;
  for (size_t i = 0; i < ns.size(); ++i) out += (i ? sep : "") + ns[i].js;
  return out;
}

// Literals.
inline N num(double d) {
  char buffer[64];
  if (std::isnan(d))
    snprintf(buffer, sizeof buffer, "NaN");
  else if (std::isinf(d))
    snprintf(buffer, sizeof buffer, d > 0 ? "Infinity" : "(-Infinity)");
  else
    snprintf(buffer, sizeof buffer, "(%.17g)", d);
  return {APMPNumberValue::make(d), buffer};
}
inline N str(const std::string& s) { return {Str16(s), JsString(s)}; }
inline N boolean(bool b) {
  return {APMPBooleanValue::booleanValueWithBool(b), b ? "true" : "false"};
}
inline N undef() { return Stmt("44", {}, "undefined"); }
inline N null() { return Stmt("45", {}, "null"); }

// Variables.
inline N var(const std::string& name) { return Stmt("15", {str(name)}, name); }
inline N let(const std::string& name) { return Stmt("41", {str(name)}, "let " + name + ";"); }
inline N letv(const std::string& name, N value) {
  // Declaration then assignment, as a program would carry it.
  N decl = Stmt("41", {str(name)}, "");
  N assign = Stmt("3", {str(name), value}, "");
  return Stmt("13", {decl, assign}, "let " + name + " = " + value.js + ";");
}
inline N constv(const std::string& name, N value) {
  return Stmt("52", {str(name), value}, "const " + name + " = " + value.js + ";");
}
inline N assign(const std::string& name, N value) {
  return Stmt("3", {str(name), value}, "(" + name + " = " + value.js + ")");
}

// Operators.
inline N bin(const char* code, const char* op, N a, N b) {
  return Stmt(code, {a, b}, "(" + a.js + " " + op + " " + b.js + ")");
}
inline N add(N a, N b) { return bin("0", "+", a, b); }
inline N sub(N a, N b) { return bin("37", "-", a, b); }
inline N mul(N a, N b) { return bin("26", "*", a, b); }
inline N divide(N a, N b) { return bin("10", "/", a, b); }
inline N mod(N a, N b) { return bin("25", "%", a, b); }
inline N neg(N a) { return Stmt("27", {a}, "(-" + a.js + ")"); }
inline N eq(N a, N b) { return bin("12", "==", a, b); }
inline N ne(N a, N b) { return bin("29", "!=", a, b); }
inline N seq(N a, N b) { return bin("20", "===", a, b); }
inline N sne(N a, N b) { return bin("21", "!==", a, b); }
inline N lt(N a, N b) { return bin("23", "<", a, b); }
inline N le(N a, N b) { return bin("24", "<=", a, b); }
inline N gt(N a, N b) { return bin("18", ">", a, b); }
inline N ge(N a, N b) { return bin("19", ">=", a, b); }
inline N land(N a, N b) { return bin("1", "&&", a, b); }
inline N lor(N a, N b) { return bin("30", "||", a, b); }
inline N lnot(N a) { return Stmt("28", {a}, "(!" + a.js + ")"); }
inline N band(N a, N b) { return bin("56", "&", a, b); }
inline N bor(N a, N b) { return bin("59", "|", a, b); }
inline N bxor(N a, N b) { return bin("62", "^", a, b); }
inline N shl(N a, N b) { return bin("57", "<<", a, b); }
inline N sar(N a, N b) { return bin("60", ">>", a, b); }
inline N shr(N a, N b) { return bin("61", ">>>", a, b); }
inline N bnot(N a) { return Stmt("58", {a}, "(~" + a.js + ")"); }
inline N typeOf(N a) { return Stmt("40", {a}, "(typeof " + a.js + ")"); }
inline N cond(N c, N a, N b) {
  return Stmt("39", {c, a, b}, "(" + c.js + " ? " + a.js + " : " + b.js + ")");
}

// Objects and arrays.
inline N arr(Ns elements) {
  std::string js = "[";
  js += JoinJs(elements, ", ");
  js += "]";
  return Stmt("7", elements, std::move(js));
}
inline N obj(std::vector<std::pair<std::string, N>> pairs) {
  Ns args;
  std::string js = "({";
  for (size_t i = 0; i < pairs.size(); ++i) {
    args.push_back(str(pairs[i].first));
    args.push_back(pairs[i].second);
    js += (i ? ", " : "") + JsString(pairs[i].first) + ": " + pairs[i].second.js;
  }
  return Stmt("8", args, js + "})");
}
inline N get(N o, N k) { return Stmt("16", {o, k}, o.js + "[" + k.js + "]"); }
inline N set(N o, N k, N v) {
  return Stmt("43", {o, k, v}, "(" + o.js + "[" + k.js + "] = " + v.js + ")");
}
inline N method(N receiver, const std::string& name, Ns args) {
  N list = arr(args);
  return Stmt("2", {receiver, str(name), list},
              "(" + receiver.js + ")." + name + "(" + JoinJs(args, ", ") + ")");
}
inline N callf(const std::string& name, Ns args) {
  return Stmt(name, args, name + "(" + JoinJs(args, ", ") + ")");
}

// Statements.
inline N codeList(const Ns& body) { return Stmt("46", body, ""); }
inline std::string BlockJs(const Ns& body) {
  std::string out = "{ ";
  for (const auto& s : body)
    out += s.js + (s.js.empty() || s.js.back() == ';' || s.js.back() == '}' ? " " : "; ");
  return out + "}";
}
inline N block(Ns body) { return Stmt("53", body, BlockJs(body)); }
inline N ifElse(N c, Ns then, Ns otherwise = {}) {
  return Stmt("22", {c, codeList(then), codeList(otherwise)},
              "if (" + c.js + ") " + BlockJs(then) + " else " + BlockJs(otherwise));
}
inline N whileLoop(N c, Ns body) {
  return Stmt("42", {c, undef(), boolean(false), codeList(body)},
              "while (" + c.js + ") " + BlockJs(body));
}
inline N doWhile(N c, Ns body) {
  return Stmt("42", {c, undef(), boolean(true), codeList(body)},
              "do " + BlockJs(body) + " while (" + c.js + ");");
}
// for (let name = init; c; step) body, with a binding per iteration.
inline N forLet(const std::string& name, N init, N c, N step, Ns body) {
  N decl = letv(name, init);
  N loop = Stmt("63", {arr({str(name)}), c, step, codeList(body)}, "");
  return Stmt(
      "53", {decl, loop},
      "for (let " + name + " = " + init.js + "; " + c.js + "; " + step.js + ") " + BlockJs(body));
}
inline N forOf(const std::string& name, N target, Ns body) {
  return Stmt("66", {str(name), target, codeList(body)},
              "for (let " + name + " of " + target.js + ") " + BlockJs(body));
}
inline N forIn(const std::string& name, N target, Ns body) {
  return Stmt("55", {str(name), target, codeList(body)},
              "for (let " + name + " in " + target.js + ") " + BlockJs(body));
}
inline N brk() { return Stmt("4", {}, "break;"); }
inline N cont() { return Stmt("6", {}, "continue;"); }
inline N ret(N value) { return Stmt("36", {value}, "return " + value.js + ";"); }
inline N params(const std::vector<std::string>& names) {
  Ns list;
  for (const auto& n : names) list.push_back(str(n));
  return arr(list);
}
inline std::string ParamsJs(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) out += (i ? ", " : "") + names[i];
  return out;
}
inline N func(const std::string& name, const std::vector<std::string>& ps, Ns body) {
  Ns args = {str(name), params(ps)};
  args.insert(args.end(), body.begin(), body.end());
  return Stmt("50", args, "function " + name + "(" + ParamsJs(ps) + ") " + BlockJs(body));
}
inline N lambda(const std::vector<std::string>& ps, Ns body) {
  Ns args = {str(""), params(ps)};
  args.insert(args.end(), body.begin(), body.end());
  return Stmt("51", args, "(function (" + ParamsJs(ps) + ") " + BlockJs(body) + ")");
}
inline N print(N value) { return callf("print", {value}); }

}  // namespace script_test
