#pragma once

#include <string>
#include <string_view>

namespace platform {

// A fresh secret of 128 bits from the kernel's random source, as 32 lower-case hex digits.
// Throws std::runtime_error when the kernel gives no randomness.
std::string randomSecretToken();

// Whether `given` is the secret `expected`, in a time that does not depend on where the two
// differ. An empty secret matches nothing.
bool equalSecrets(std::string_view given, std::string_view expected);

}  // namespace platform
