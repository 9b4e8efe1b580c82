#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/status/statusor.h"

// The two small messages of the second-generation exchange. Stateless; any thread.
class ODCSerializationUtil {
 public:
  // {rank, kind} of an "OdmResponseUnencryptedMetadata" (empty bytes: {0, 0}); bytes that do not
  // decode give invalid argument "Failed to deserialize the unencrypted Metadata.".
  static absl::StatusOr<std::pair<int64_t, int32_t>> parseUnencryptedMetadata(
      std::string_view bytes);
  // The encoded "MVs" with one odm2_values item per value; nullopt when encoding fails.
  static std::optional<std::string> serializeMVs(const std::vector<std::string>& values);
};
