#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace security {

// A hash function of the Merkle-Damgard kind, fed incrementally. Two states: accumulating
// (after construction or Reset) and finalised (after the first Digest). Update is allowed only
// while accumulating; doing it after Digest is a program error and stops the program.
// One thread at a time uses an object.
class MerkleDamgaard {
 public:
  virtual ~MerkleDamgaard() = default;

  // Back to accumulating, as if freshly made.
  virtual void Reset() = 0;
  // Feeds length bytes.
  virtual void Update(const void* data, uint32_t length) = 0;
  // Feeds length bytes in pieces that the 32-bit form accepts.
  virtual void Update(const void* data, uint64_t length) = 0;
  // Finalises once and returns the digest; owned by this object, valid until the next Reset,
  // Digest or destruction.
  virtual const uint8_t* Digest() = 0;
  virtual size_t DigestSize() const = 0;
  // Digest() copied into a string of DigestSize() bytes.
  virtual std::string DigestString() = 0;
  // The address of a process-wide integer holding the digest size. Thread-safe.
  virtual const int* DigestSizeAddress() const = 0;
  // Takes over the state of other, which must be of the same concrete type.
  virtual void CopyFrom(const MerkleDamgaard& other) = 0;
  // A new hasher in this one's state.
  virtual std::unique_ptr<MerkleDamgaard> Clone() const = 0;
  virtual std::string Name() const = 0;

  // Feeds the bytes of data.
  void Update(std::string_view data) { Update(data.data(), static_cast<uint64_t>(data.size())); }
};

// The severity (0 info .. 3 fatal; other values are clamped) of the line logged before the
// program stops on an Update after Digest. Default 2 (error). Thread-safe.
int MerkleDamgaardUpdateAfterDigestSeverity();
void SetMerkleDamgaardUpdateAfterDigestSeverity(int severity);

}  // namespace security
