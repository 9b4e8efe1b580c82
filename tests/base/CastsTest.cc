#include "base/casts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace castsfixture {

struct Base {
  virtual ~Base() = default;
};
struct Derived : Base {};
struct Other : Base {};

}  // namespace castsfixture

namespace base {
namespace {

using ::testing::HasSubstr;

TEST(CastsTest, SuccessfulCastsAndNull) {
  castsfixture::Derived derived;
  const castsfixture::Base* base = &derived;
  EXPECT_EQ(down_cast<const castsfixture::Derived*>(base), &derived);
  EXPECT_EQ(down_cast<castsfixture::Derived*>(static_cast<castsfixture::Base*>(nullptr)), nullptr);
}

TEST(CastsTest, FailedCastNamesCastAndActualType) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  castsfixture::Other other;
  const castsfixture::Base* base = &other;
  EXPECT_DEATH(down_cast<const castsfixture::Derived*>(base),
               HasSubstr("To down_cast(From *) [To = const castsfixture::Derived *, From = const "
                         "castsfixture::Base]: down_cast failed (actual type = "
                         "castsfixture::Other)"));
  EXPECT_DEATH(BadDownCastCrash("some cast", "Some::Type"),
               HasSubstr("some cast: down_cast failed (actual type = Some::Type)"));
}

TEST(CastsTest, Demangle) {
  EXPECT_EQ(Demangle(typeid(castsfixture::Derived).name()), "castsfixture::Derived");
  EXPECT_EQ(Demangle("not a mangled name"), "not a mangled name");
}

}  // namespace
}  // namespace base
