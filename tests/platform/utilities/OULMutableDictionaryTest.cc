#include "platform/utilities/OULMutableDictionary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::Value;

TEST(OULMutableDictionaryTest, NullRemovesAndSnapshotsAreCopies) {
  OULMutableDictionary dict(Value::Dictionary{{"a", Value(1)}, {"b", Value()}});
  EXPECT_EQ(dict.dictionary(), (Value::Dictionary{{"a", Value(1)}}));  // null never stored
  dict.setObject(Value("text"), "n");
  dict.setObject(Value(6.5), "n");  // replaces, kind and all
  Value::Dictionary snapshot = dict.dictionary();
  dict.setObject(Value(), "n");  // nil removes
  dict.setObject(Value(), "never-there");
  EXPECT_TRUE(dict.objectForKeyedSubscript("n").isNull());
  EXPECT_EQ(dict.dictionary(), (Value::Dictionary{{"a", Value(1)}}));
  dict.removeObjectForKey("a");
  EXPECT_EQ(dict.count(), 0u);
  dict.setObject(Value(2), "c");
  dict.removeAllObjects();
  EXPECT_EQ(dict.count(), 0u);
  EXPECT_EQ(snapshot, (Value::Dictionary{{"a", Value(1)}, {"n", Value(6.5)}}));
}

TEST(OULMutableDictionaryTest, ConcurrentWritersAndReadersNeverSeeATornValue) {
  // Writers store whole arrays whose entries all equal their length; a torn or half-copied
  // value would break that. Run under ASan/TSan this also catches unsynchronised access.
  OULMutableDictionary dict;
  constexpr int kWriters = 4;
  constexpr int kRounds = 2000;
  std::atomic<bool> bad{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kRounds; ++i) {
        int n = 1 + (i + w) % 7;
        Value::Array array(static_cast<size_t>(n), Value(n));
        dict.setObject(Value(std::move(array)), "shared");
        dict.setObject(Value(i), "writer" + std::to_string(w));
        if (i % 100 == 0) dict.setObject(Value(), "shared");
        if (i % 500 == 0) dict.removeAllObjects();
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        Value v = dict.objectForKeyedSubscript("shared");
        if (!v.isNull()) {
          const Value::Array* array = v.asArray();
          if (array == nullptr || array->empty()) {
            bad = true;
            continue;
          }
          for (const Value& item : *array) {
            if (item != Value(static_cast<int>(array->size()))) bad = true;
          }
        }
        for (const auto& [key, value] : dict.dictionary()) {
          if (value.isNull()) bad = true;  // null is never stored
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(bad.load());
  // A writer's own key holds its last index, unless a slower writer cleared everything since.
  for (int w = 0; w < kWriters; ++w) {
    Value v = dict.objectForKeyedSubscript("writer" + std::to_string(w));
    EXPECT_TRUE(v.isNull() || v == Value(kRounds - 1)) << v.description();
  }
}

}  // namespace
