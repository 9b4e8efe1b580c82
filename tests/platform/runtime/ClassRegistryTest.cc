#include "platform/runtime/ClassRegistry.h"
#include "platform/runtime/SwiftValue.h"

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

// What a caller sees through the protocol: absent, present but not conforming, conforming;
// factories that share one instance, fail, or look up another class (they run unlocked).
TEST(ClassRegistryTest, CreationThroughTheProtocol) {
  ClassRegistry registry;
  auto shared = std::make_shared<Conforming>();
  registry.registerClass<NotConforming>("Plain");
  registry.registerClass<Conforming>("Service");
  registry.registerClass("Shared", [shared] { return std::shared_ptr<RuntimeObject>(shared); });
  registry.registerClass("Failing", [] { return std::shared_ptr<RuntimeObject>(); });
  registry.registerClass("Outer", [&registry] { return registry.create("Service"); });
  struct Case {
    const char* name;
    bool object;
    bool service;
  };
  const Case cases[] = {{"Missing", false, false}, {"Plain", true, false},
                        {"Service", true, true},   {"Shared", true, true},
                        {"Failing", false, false}, {"Outer", true, true}};
  for (const Case& c : cases) {
    EXPECT_EQ(registry.create(c.name) != nullptr, c.object) << c.name;
    EXPECT_EQ(ClassRegistry::conformsTo<ConversionService>(registry.create(c.name)), c.service);
    auto service = registry.create<ConversionService>(c.name);
    EXPECT_EQ(service != nullptr, c.service) << c.name;
    if (service) {
      EXPECT_EQ(service->measure(), 7);
    }
  }
  EXPECT_NE(registry.create("Service"), registry.create("Service"));
  EXPECT_EQ(registry.create("Shared"), shared);
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

TEST(ClassRegistryTest, SharedRegistryStartsEmpty) {
  // Nothing registers itself: only the composition root fills the shared registry.
  EXPECT_TRUE(ClassRegistry::shared().names().empty());
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

namespace platform {
namespace {

// Whether an object is of a class named in the registry: known from the type for a class
// registered as a type, from a made object for one registered by a factory, never for an
// absent class or an object of another class.
TEST(ClassRegistryTest, ObjectOfClassByName) {
  ClassRegistry registry;
  registry.registerClass<Conforming>("Typed");
  auto shared = std::make_shared<NotConforming>();
  registry.registerClass("Factory", [shared] { return std::shared_ptr<RuntimeObject>(shared); });
  registry.registerClass("Failing", [] { return std::shared_ptr<RuntimeObject>(); });
  Conforming conforming;
  NotConforming notConforming;
  struct Case {
    const RuntimeObject* object;
    const char* name;
    bool expected;
  };
  const Case cases[] = {
      {&conforming, "Typed", true},      {&notConforming, "Typed", false},
      {&notConforming, "Factory", true}, {&conforming, "Factory", false},
      {&conforming, "Failing", false},   {&conforming, "Absent", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(registry.isObjectOfClass(*c.object, c.name), c.expected) << c.name;
  }
  // A class registered again by a factory forgets the type it had.
  registry.registerClass("Typed", [] { return std::shared_ptr<RuntimeObject>(); });
  EXPECT_FALSE(registry.isObjectOfClass(conforming, "Typed"));
  registry.registerClass<Conforming>("Typed");
  registry.unregisterClass("Typed");
  EXPECT_FALSE(registry.isObjectOfClass(conforming, "Typed"));
}

// The Swift runtime's box exists by its name only once registered.
TEST(ClassRegistryTest, SwiftValueIsKnownByItsNameOnceRegistered) {
  SwiftValue value;
  EXPECT_FALSE(ClassRegistry::shared().isObjectOfClass(value, "__SwiftValue"));
  SwiftValue::registerInRuntime();
  EXPECT_TRUE(ClassRegistry::shared().isObjectOfClass(value, "__SwiftValue"));
  SwiftValue::unregisterFromRuntime();
  EXPECT_FALSE(ClassRegistry::shared().contains("__SwiftValue"));
}

}  // namespace
}  // namespace platform
