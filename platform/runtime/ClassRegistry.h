#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <vector>

#include "platform/runtime/RuntimeObject.h"

namespace platform {

// Lookup of classes by name (NSClassFromString). Registration is explicit, from the
// composition root (the app's main and the tests), never from static initialisers that a
// static library may drop. A class that was not registered is simply absent.
//
// A factory returns a new object (or a shared instance) of the class; it may return nullptr
// when the object cannot be made. Whether the object conforms to a protocol is a
// dynamic_cast to the interface that declares it (create<Interface>, conformsTo).
// Thread-safe; factories run outside the registry's lock.
class ClassRegistry {
 public:
  using Factory = std::function<std::shared_ptr<RuntimeObject>()>;

  ClassRegistry() = default;
  ClassRegistry(const ClassRegistry&) = delete;
  ClassRegistry& operator=(const ClassRegistry&) = delete;

  // The process-wide registry that the app fills at start.
  static ClassRegistry& shared();

  // Registers (or replaces) the factory of `name`. An empty factory removes the class.
  void registerClass(const std::string& name, Factory factory);
  // Registers a default-constructible class under `name`; its objects are then known to be
  // of the class without making one (isObjectOfClass).
  template <class T>
  void registerClass(const std::string& name) {
    registerClass(name, [] { return std::shared_ptr<RuntimeObject>(std::make_shared<T>()); });
    std::lock_guard<std::mutex> lock(mutex_);
    types_.insert_or_assign(name, std::type_index(typeid(T)));
  }
  // Removes `name`; returns whether it was registered.
  bool unregisterClass(const std::string& name);
  // Removes every class.
  void clear();

  // The factory of `name`, or an empty function when the class is absent.
  Factory lookup(const std::string& name) const;
  bool contains(const std::string& name) const;
  // Every registered name, sorted.
  std::vector<std::string> names() const;

  // A new object of the class, or nullptr when the class is absent.
  std::shared_ptr<RuntimeObject> create(const std::string& name) const;
  // A new object of the class seen through `Interface`, or nullptr when the class is absent
  // or its object does not conform to `Interface`.
  template <class Interface>
  std::shared_ptr<Interface> create(const std::string& name) const {
    return std::dynamic_pointer_cast<Interface>(create(name));
  }

  // Whether `object` is of the class registered as `name` (exactly that class); false when
  // no such class is registered. A class registered by a factory alone is asked for an
  // object to compare with.
  bool isObjectOfClass(const RuntimeObject& object, const std::string& name) const;

  // Whether `object` conforms to (derives from) `Interface`.
  template <class Interface>
  static bool conformsTo(const std::shared_ptr<RuntimeObject>& object) {
    return dynamic_cast<const Interface*>(object.get()) != nullptr;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Factory> factories_;      // guarded by mutex_
  std::map<std::string, std::type_index> types_;  // guarded by mutex_
};

}  // namespace platform
