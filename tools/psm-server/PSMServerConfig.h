#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "absl/status/statusor.h"
#include "tools/psm-server/PSMServerDatabase.h"

// What psm-server serves, read from a JSON file:
//
//   {"scheme": 1, "bin_count": 0,
//    "members": [{"email": "jane@example.com", "value": "conv-1"},
//                {"phone": "+16505551234", "value": "conv-2"},
//                {"digest": "<64 hex digits: SHA-256 of a canonical identifier>", "value": "v"}],
//    "odm": {"matching_id": "<web-safe Base64>", "bucketed_date": "2026-12-07",
//            "prefix_length": 14, "extension_data": "opaque",
//            "installs": [{"bundle_id": "com.example.app",
//                          "values": [{"value": "v", "rank": 5, "kind": 1, "key": "k"}]}],
//            "mv_oa4k": "measurement string", "mv_aaps": "aggregate string"}}
//
// "members" answer the older flow (bound to the app id the request's tag names); "odm" answers
// the second-generation flow: its config, and installs keyed by matching id, date and bundle id.
// "prefix_length" is sent as written (any JSON value), so tests can serve odd configs.
struct PSMServerConfig {
  struct OlderFlowMember {
    enum class Kind { Email, Phone, Digest } kind = Kind::Email;
    std::string identifier;  // the text, or the raw 32-byte digest
    std::string value;
  };
  struct Install {
    std::string bundleID;
    std::vector<PSMServerDatabase::StoredValue> values;
  };
  struct Odm {
    std::string matchingID;  // as sent (web-safe Base64)
    std::string bucketedDate;
    std::string prefixLengthJSON = "14";
    std::optional<std::string> extensionData;
    std::vector<Install> installs;
    std::string measurementInfo;
    std::string aggregateConversionInfo;
  };

  int32_t scheme = 1;
  int32_t binCount = 0;
  std::vector<OlderFlowMember> members;
  std::optional<Odm> odm;

  static absl::StatusOr<PSMServerConfig> fromJSON(std::string_view json);
  static absl::StatusOr<PSMServerConfig> fromFile(const std::string& path);

  // The older flow's members as the app id `tag` sees them.
  std::vector<PSMServerDatabase::Member> olderFlowMembers(const std::string& tag) const;
  // The installs as members of the second-generation query.
  std::vector<PSMServerDatabase::Member> odmMembers() const;
};
