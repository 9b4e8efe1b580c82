#include "platform/core/KVLComponent.h"

void KVLComponentContainer::add(const std::vector<KVLComponent>& components) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (const KVLComponent& component : components) {
    blocks_[component.protocol()] = component.creationBlock();
  }
}

std::shared_ptr<void> KVLComponentContainer::instance(const std::string& protocol) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto cached = cached_.find(protocol);
  if (cached != cached_.end()) return cached->second;
  auto block = blocks_.find(protocol);
  if (block == blocks_.end() || !block->second) return nullptr;
  bool isCacheable = false;
  std::shared_ptr<void> made = block->second(*this, &isCacheable);
  if (made && isCacheable) cached_[protocol] = made;
  return made;
}
