#include "platform/runtime/ClassRegistry.h"

namespace platform {

ClassRegistry& ClassRegistry::shared() {
  static ClassRegistry* registry = new ClassRegistry();  // never destroyed: used until exit
  return *registry;
}

void ClassRegistry::registerClass(const std::string& name, Factory factory) {
  std::lock_guard<std::mutex> lock(mutex_);
  types_.erase(name);
  if (factory) {
    factories_[name] = std::move(factory);
  } else {
    factories_.erase(name);
  }
}

bool ClassRegistry::unregisterClass(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  types_.erase(name);
  return factories_.erase(name) > 0;
}

void ClassRegistry::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  factories_.clear();
  types_.clear();
}

ClassRegistry::Factory ClassRegistry::lookup(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = factories_.find(name);
  return it == factories_.end() ? Factory() : it->second;
}

bool ClassRegistry::contains(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return factories_.count(name) > 0;
}

std::vector<std::string> ClassRegistry::names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> result;
  result.reserve(factories_.size());
  for (const auto& [name, factory] : factories_) result.push_back(name);
  return result;
}

bool ClassRegistry::isObjectOfClass(const RuntimeObject& object, const std::string& name) const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto type = types_.find(name);
    if (type != types_.end()) return type->second == std::type_index(typeid(object));
  }
  std::shared_ptr<RuntimeObject> sample = create(name);
  return sample && typeid(*sample) == typeid(object);
}

std::shared_ptr<RuntimeObject> ClassRegistry::create(const std::string& name) const {
  Factory factory = lookup(name);  // copied out, so the factory runs unlocked
  return factory ? factory() : nullptr;
}

}  // namespace platform
