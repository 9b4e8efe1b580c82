#include "platform/runtime/ClassRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace platform {
namespace {

// A protocol and classes that do or do not conform to it.
class ConversionService {
 public:
  virtual ~ConversionService() = default;
  virtual int measure() = 0;
};

class Conforming : public RuntimeObject, public ConversionService {
 public:
  int measure() override { return 7; }
};

class NotConforming : public RuntimeObject {};

TEST(ClassRegistryTest, UnregisteredClassIsAbsent) {
  ClassRegistry registry;
  EXPECT_FALSE(registry.lookup("ODCConversionService"));
  EXPECT_FALSE(registry.contains("ODCConversionService"));
  EXPECT_EQ(registry.create("ODCConversionService"), nullptr);
  EXPECT_EQ(registry.create<ConversionService>("ODCConversionService"), nullptr);
}

TEST(ClassRegistryTest, RegisteredClassIsCreatedAndSeenThroughItsProtocol) {
  ClassRegistry registry;
  registry.registerClass<Conforming>("ODCConversionService");
  ASSERT_TRUE(registry.lookup("ODCConversionService"));
  auto object = registry.create("ODCConversionService");
  ASSERT_NE(object, nullptr);
  EXPECT_TRUE(ClassRegistry::conformsTo<ConversionService>(object));
  auto service = registry.create<ConversionService>("ODCConversionService");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->measure(), 7);
  // Each creation is a new object.
  EXPECT_NE(registry.create("ODCConversionService"), object);
}

TEST(ClassRegistryTest, ClassThatDoesNotConformGivesNullThroughTheProtocol) {
  ClassRegistry registry;
  registry.registerClass<NotConforming>("ODCConversionService");
  EXPECT_NE(registry.create("ODCConversionService"), nullptr);
  EXPECT_FALSE(
      ClassRegistry::conformsTo<ConversionService>(registry.create("ODCConversionService")));
  EXPECT_EQ(registry.create<ConversionService>("ODCConversionService"), nullptr);
  EXPECT_FALSE(ClassRegistry::conformsTo<ConversionService>(nullptr));
}

TEST(ClassRegistryTest, FactoryMayHandOutASharedInstanceOrNothing) {
  ClassRegistry registry;
  auto shared = std::make_shared<Conforming>();
  registry.registerClass("Shared", [shared] { return std::shared_ptr<RuntimeObject>(shared); });
  registry.registerClass("Failing", [] { return std::shared_ptr<RuntimeObject>(); });
  EXPECT_EQ(registry.create("Shared"), registry.create("Shared"));
  EXPECT_EQ(registry.create("Failing"), nullptr);
}

TEST(ClassRegistryTest, ReplaceUnregisterAndClear) {
  ClassRegistry registry;
  registry.registerClass<NotConforming>("B");
  registry.registerClass<NotConforming>("A");
  EXPECT_EQ(registry.names(), (std::vector<std::string>{"A", "B"}));
  registry.registerClass<Conforming>("A");  // replaces
  EXPECT_TRUE(ClassRegistry::conformsTo<ConversionService>(registry.create("A")));
  EXPECT_TRUE(registry.unregisterClass("A"));
  EXPECT_FALSE(registry.unregisterClass("A"));
  registry.registerClass("B", nullptr);  // an empty factory removes
  EXPECT_TRUE(registry.names().empty());
  registry.registerClass<Conforming>("C");
  registry.clear();
  EXPECT_FALSE(registry.contains("C"));
}

TEST(ClassRegistryTest, SharedRegistryStartsEmptyAndIsOneInstance) {
  // Nothing registers itself: only the composition root fills the shared registry.
  EXPECT_TRUE(ClassRegistry::shared().names().empty());
  EXPECT_EQ(&ClassRegistry::shared(), &ClassRegistry::shared());
}

TEST(ClassRegistryTest, FactoryMayUseTheRegistryItself) {
  // Factories run outside the registry's lock, so one may look up another class.
  ClassRegistry registry;
  registry.registerClass<Conforming>("Inner");
  registry.registerClass("Outer", [&registry] { return registry.create("Inner"); });
  EXPECT_TRUE(ClassRegistry::conformsTo<ConversionService>(registry.create("Outer")));
}

TEST(ClassRegistryTest, ConcurrentRegistrationAndLookup) {
  ClassRegistry registry;
  std::atomic<int> created{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        registry.registerClass<Conforming>("C" + std::to_string(t));
        if (registry.create<ConversionService>("C" + std::to_string((t + 1) % 4))) created++;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(registry.names().size(), 4u);
  EXPECT_GT(created.load(), 0);
}

}  // namespace
}  // namespace platform
