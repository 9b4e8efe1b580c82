// BoundedJsonText when memory runs out while a value is written: the stream it writes through
// swallows std::bad_alloc, and the text must then not pass for whole. Its own binary: the
// program's operator new is replaced here, to fail blocks of 1 MiB or more while armed.
#include "tools/measurement-service/BoundedJsonText.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

namespace {

std::atomic<bool> failLargeBlocks{false};
constexpr size_t kLargeBlock = size_t{1} << 20;

}  // namespace

void* operator new(size_t size) {
  if (failLargeBlocks.load(std::memory_order_relaxed) && size >= kLargeBlock) {
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }

namespace {

using measurement_service::BoundedJsonText;

TEST(BoundedJsonTextMemoryTest, TextThatMemoryRanOutForIsNotWhole) {
  // 3 MiB of plain text, far within the 16 MiB bound: its text grows past 1 MiB as it is written.
  const nlohmann::ordered_json value = {{"v", std::string(size_t{3} << 20, 'a')}};
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "large blocks fail" : "memory enough");
    BoundedJsonText text(size_t{16} << 20);
    text.append("[");
    failLargeBlocks = fail;
    text.appendJson(value);
    failLargeBlocks = false;
    text.append("]");
    EXPECT_EQ(text.whole(), !fail);
    EXPECT_EQ(text.failed(), fail);
    if (fail) {
      EXPECT_EQ(text.text(), "") << "nothing partial is kept";
      EXPECT_LT(text.bytes(), value.dump().size() + 2);
    } else {
      EXPECT_EQ(text.text(), "[" + value.dump() + "]");
    }
  }
}

}  // namespace
