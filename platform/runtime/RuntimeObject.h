#pragma once

namespace platform {

// The root of every class that can be looked up by name in the ClassRegistry. It only makes
// the class polymorphic, so that "conforms to a protocol" is a dynamic_cast from here to the
// interface that declares the protocol.
class RuntimeObject {
 public:
  virtual ~RuntimeObject() = default;
};

}  // namespace platform
