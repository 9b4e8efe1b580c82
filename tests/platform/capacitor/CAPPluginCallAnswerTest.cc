#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "platform/capacitor/CAPPluginCall.h"
#include "platform/foundation/JSONSerialization.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::CAPPluginCall;
using platform::Value;

// A page that keeps the answers' text as sent.
class TextPage : public platform::CAPBridgePage {
 public:
  uint64_t pageId() const override { return 1; }
  void send(std::string frame) override {
    std::lock_guard lock(mutex_);
    texts_.push_back(std::move(frame));
  }
  bool isClosed() const override { return false; }
  std::vector<std::string> texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

// Every text the escaping must treat: quotation marks, backslashes, each control character,
// DEL, the solidus, non-ASCII letters, a character outside the BMP, a script end tag.
std::string awkwardText() {
  std::string text = "q\"b\\s/</script>\x7f é 😀 ";
  for (char c = 0; c < 0x20; ++c) text += c;
  return text;
}

Value nested(int depth) {
  Value v = Value::Array{};
  for (int i = 1; i < depth; ++i) v = Value::Array{std::move(v)};
  return v;
}

// An answer a plug-in gives, and how the general path (tree, then the JSON writer) writes it.
struct AnswerCase {
  const char* name;
  std::string callbackId = "7", pluginId = "Echo", methodName = "m";
  std::function<void(CAPPluginCall&)> answer;
  std::function<Value(const std::string& id, const std::string& plugin, const std::string& method)>
      frame;
};

std::vector<AnswerCase> answerCases() {
  Value::Dictionary data = {{"int", Value(-42)},
                            {"real", Value(0.1)},
                            {"big", Value(1e300)},
                            {"min", Value(std::numeric_limits<int64_t>::min())},
                            {"yes", Value(true)},
                            {"none", Value()},
                            {"text", Value(awkwardText())},
                            {awkwardText(), Value("key escaped too")},
                            {"list", Value(Value::Array{Value(1), Value("two"), Value()})},
                            {"object", Value(Value::Dictionary{{"inner", Value(2.5)}})}};
  auto result = [](std::optional<Value::Dictionary> d) {
    return [d](const std::string& id, const std::string& plugin, const std::string& method) {
      return CAPPluginCall::resultFrame(id, plugin, method, false, d);
    };
  };
  auto error = [](std::string message, std::optional<std::string> code) {
    return [message, code](const std::string& id, const std::string& plugin,
                           const std::string& method) {
      return CAPPluginCall::errorFrame(id, plugin, method, message, code);
    };
  };
  std::vector<AnswerCase> cases = {
      {"resolve without data", "7", "Echo", "m", [](CAPPluginCall& c) { c.resolve(); },
       result(std::nullopt)},
      {"resolve with every kind of value", "7", "Echo", "m",
       [data](CAPPluginCall& c) { c.resolve(data); }, result(data)},
      {"resolve with empty data", "7", "Echo", "m", [](CAPPluginCall& c) { c.resolve({}); },
       result(Value::Dictionary{})},
      {"reject", "7", "Echo", "m", [](CAPPluginCall& c) { c.reject(awkwardText()); },
       error(awkwardText(), std::nullopt)},
      {"reject with a code", "7", "Echo", "m",
       [](CAPPluginCall& c) { c.rejectWithCode("not here", awkwardText()); },
       error("not here", awkwardText())},
      {"ids that need escaping", awkwardText(), "Ünï", "m/é",
       [](CAPPluginCall& c) {
         c.resolve({{"a", Value(1)}});
       },
       result(Value::Dictionary{{"a", Value(1)}})},
      {"reject with an empty message and empty ids", "", "", "",
       [](CAPPluginCall& c) { c.reject(""); }, error("", std::nullopt)},
  };
  // Answers JSON cannot carry: the general path replaces them with a rejection.
  const std::vector<std::pair<const char*, Value::Dictionary>> unwritable = {
      {"NaN", {{"n", Value(std::nan(""))}}},
      {"infinity", {{"n", Value(std::numeric_limits<double>::infinity())}}},
      {"bytes", {{"b", Value(Value::Bytes{"\x01\x02"})}}},
      {"a date", {{"d", Value(Value::Date{1.5})}}},
      {"invalid UTF-8 in a value", {{"s", Value("\xff")}}},
      {"invalid UTF-8 in a key", {{"\xc3", Value(1)}}},
  };
  for (const auto& [name, d] : unwritable) {
    cases.push_back({name, "7", "Echo", "m", [d](CAPPluginCall& c) { c.resolve(d); }, result(d)});
  }
  cases.push_back({"invalid UTF-8 in the message", "7", "Echo", "m",
                   [](CAPPluginCall& c) { c.reject("bad \xed\xa0\x80"); },
                   error("bad \xed\xa0\x80", std::nullopt)});
  // Nesting around the JSON writer's bound, counted from the frame as the general path does.
  for (int depth = platform::JSONSerialization::kMaxDepth - 3;
       depth <= platform::JSONSerialization::kMaxDepth; ++depth) {
    Value::Dictionary d = {{"deep", nested(depth)}};
    cases.push_back(
        {"deep data", "7", "Echo", "m", [d](CAPPluginCall& c) { c.resolve(d); }, result(d)});
  }
  return cases;
}

TEST(CAPPluginCallAnswerTest, EachAnswerIsTheTextTheJSONWriterGivesForItsFrame) {
  int replaced = 0;
  int deepWritten = 0;
  for (const auto& c : answerCases()) {
    SCOPED_TRACE(c.name);
    testsupport::LogCapture log;
    auto page = std::make_shared<TextPage>();
    CAPPluginCall call(c.callbackId, c.pluginId, c.methodName, {}, page);
    c.answer(call);
    ASSERT_EQ(page->texts().size(), 1u);
    const std::string expected =
        CAPPluginCall::serialize(c.frame(c.callbackId, c.pluginId, c.methodName));
    EXPECT_EQ(page->texts()[0], expected);
    // What the page reads back is the frame itself, or the rejection that replaces it.
    auto read = platform::JSONSerialization::JSONObjectWithData(page->texts()[0]);
    ASSERT_TRUE(read.ok());
    if (log.contains("could not be written as JSON")) {
      ++replaced;
      EXPECT_EQ(*read->find("error")->find("message")->asString(),
                "The answer could not be sent to web code");
    } else if (std::string(c.name) == "deep data") {
      ++deepWritten;
    }
  }
  EXPECT_EQ(replaced, 7 + 2) << "every unwritable answer and the deepest data were replaced";
  EXPECT_EQ(deepWritten, 2);
}

}  // namespace
