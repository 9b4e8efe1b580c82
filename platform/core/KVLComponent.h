#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class KVLComponentContainer;

// One component a registered library offers: how to make the object behind a protocol (named
// by its protocol's name, e.g. "KVLAnalyticsInterop").
class KVLComponent {
 public:
  // Makes the instance; may set *isCacheable to keep it for later requests (it starts false).
  using CreationBlock =
      std::function<std::shared_ptr<void>(KVLComponentContainer& container, bool* isCacheable)>;

  static KVLComponent componentWithProtocol(std::string protocol, CreationBlock creationBlock) {
    return KVLComponent(std::move(protocol), std::move(creationBlock));
  }

  const std::string& protocol() const { return protocol_; }
  const CreationBlock& creationBlock() const { return creationBlock_; }

 private:
  KVLComponent(std::string protocol, CreationBlock creationBlock)
      : protocol_(std::move(protocol)), creationBlock_(std::move(creationBlock)) {}

  std::string protocol_;
  CreationBlock creationBlock_;
};

// The default app's components by protocol. Instances are made on first request; a cacheable
// one is kept and answered again. Thread-safe; a creation block may itself ask the container
// for another protocol.
class KVLComponentContainer {
 public:
  void add(const std::vector<KVLComponent>& components);

  // The instance behind `protocol` as T (the caller names the type the protocol stands for);
  // null when no component offers it or its block made nothing.
  template <typename T>
  std::shared_ptr<T> instanceForProtocol(const std::string& protocol) {
    return std::static_pointer_cast<T>(instance(protocol));
  }

 private:
  std::shared_ptr<void> instance(const std::string& protocol);

  std::recursive_mutex mutex_;  // creation blocks may re-enter
  // Guarded by mutex_:
  std::map<std::string, KVLComponent::CreationBlock> blocks_;
  std::map<std::string, std::shared_ptr<void>> cached_;
};
