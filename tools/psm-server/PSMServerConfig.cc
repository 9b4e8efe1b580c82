#include "tools/psm-server/PSMServerConfig.h"

#include "AppMeasurement/PrivateSetMembership/Sources/ODCIdentifierHashing.h"
#include "AppMeasurement/messages/NANO.h"
#include "absl/status/status.h"
#include "absl/strings/escaping.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "proto/psm.nano.h"
#include "security/util/sha256.h"

namespace {

std::string text(const platform::Value& object, std::string_view key) {
  const platform::Value* value = object.find(key);
  return value != nullptr && value->isString() ? *value->asString() : std::string();
}

std::optional<std::string> fromHex(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const std::string pair = hex.substr(i, 2);
    if (pair.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
    out += static_cast<char>(std::stoi(pair, nullptr, 16));
  }
  return out;
}

}  // namespace

absl::StatusOr<PSMServerConfig> PSMServerConfig::fromJSON(std::string_view json) {
  auto root = platform::JSONSerialization::JSONObjectWithData(json);
  if (!root.ok()) return root.status();
  if (!root->isDictionary()) return absl::InvalidArgumentError("the member file is not an object");
  PSMServerConfig config;
  if (const auto* scheme = root->find("scheme"))
    config.scheme = scheme->numberAsInteger().value_or(1);
  if (const auto* bins = root->find("bin_count"))
    config.binCount = bins->numberAsInteger().value_or(0);
  if (const auto* members = root->find("members"); members && members->isArray()) {
    for (const platform::Value& member : *members->asArray()) {
      OlderFlowMember entry;
      entry.value = text(member, "value");
      if (member.find("email")) {
        entry.kind = OlderFlowMember::Kind::Email;
        entry.identifier = text(member, "email");
      } else if (member.find("phone")) {
        entry.kind = OlderFlowMember::Kind::Phone;
        entry.identifier = text(member, "phone");
      } else {
        entry.kind = OlderFlowMember::Kind::Digest;
        auto digest = fromHex(text(member, "digest"));
        if (!digest || digest->size() != 32) {
          return absl::InvalidArgumentError(
              "a member needs \"email\", \"phone\" or a 64-digit \"digest\"");
        }
        entry.identifier = *digest;
      }
      config.members.push_back(std::move(entry));
    }
  }
  if (const auto* odm = root->find("odm"); odm && odm->isDictionary()) {
    Odm out;
    out.matchingID = text(*odm, "matching_id");
    out.bucketedDate = text(*odm, "bucketed_date");
    if (const auto* prefix = odm->find("prefix_length")) {
      platform::JSONWritingOptions options;
      options.fragmentsAllowed = true;
      auto written = platform::JSONSerialization::dataWithJSONObject(*prefix, options);
      if (written.ok()) out.prefixLengthJSON = *written;
    }
    if (const auto* extension = odm->find("extension_data"); extension && extension->isString()) {
      out.extensionData = *extension->asString();
    }
    out.measurementInfo = text(*odm, "mv_oa4k");
    out.aggregateConversionInfo = text(*odm, "mv_aaps");
    if (const auto* installs = odm->find("installs"); installs && installs->isArray()) {
      for (const platform::Value& install : *installs->asArray()) {
        Install entry;
        entry.bundleID = text(install, "bundle_id");
        if (const auto* values = install.find("values"); values && values->isArray()) {
          for (const platform::Value& value : *values->asArray()) {
            PSMOdmResponseUnencryptedMetadata metadata;
            if (const auto* rank = value.find("rank")) {
              NANOSetInt64(metadata, PSMOdmResponseUnencryptedMetadata::kRank,
                           rank->numberAsInteger().value_or(0));
            }
            if (const auto* kind = value.find("kind")) {
              NANOSetInt32(metadata, PSMOdmResponseUnencryptedMetadata::kKind,
                           static_cast<int32_t>(kind->numberAsInteger().value_or(0)));
            }
            std::optional<std::string> key;
            if (value.find("key")) key = text(value, "key");
            entry.values.push_back({text(value, "value"), metadata.protoBuffer(), key});
          }
        }
        out.installs.push_back(std::move(entry));
      }
    }
    config.odm = std::move(out);
  }
  return config;
}

absl::StatusOr<PSMServerConfig> PSMServerConfig::fromFile(const std::string& path) {
  auto data = platform::FileManager::defaultManager().contentsAtPath(path);
  if (!data.ok()) return data.status();
  return fromJSON(*data);
}

std::vector<PSMServerDatabase::Member> PSMServerConfig::olderFlowMembers(
    const std::string& tag) const {
  std::vector<PSMServerDatabase::Member> out;
  for (const OlderFlowMember& member : members) {
    std::optional<std::string> input;
    switch (member.kind) {
      case OlderFlowMember::Kind::Email:
        if (auto normalized = ODCNormalizeEmail(member.identifier)) {
          input = ODCHashIdentifierWithAppID(*normalized, tag);
        }
        break;
      case OlderFlowMember::Kind::Phone:
        if (auto normalized = ODCNormalizePhoneNumber(member.identifier)) {
          input = ODCHashIdentifierWithAppID(*normalized, tag);
        }
        break;
      case OlderFlowMember::Kind::Digest:
        input = ODCHashHashedIdentifierWithAppID(member.identifier, tag);
        break;
    }
    if (input) out.push_back({*input, *input, {{member.value, std::nullopt, std::nullopt}}});
  }
  return out;
}

std::vector<PSMServerDatabase::Member> PSMServerConfig::odmMembers() const {
  std::vector<PSMServerDatabase::Member> out;
  if (!odm) return out;
  std::string matchingID;
  if (!absl::WebSafeBase64Unescape(odm->matchingID, &matchingID)) return out;
  for (const Install& install : odm->installs) {
    security::SHA256 hash;
    const std::string joined = matchingID + ":" + odm->bucketedDate + ":" + install.bundleID;
    hash.Update(joined.data(), static_cast<uint64_t>(joined.size()));
    out.push_back({matchingID, hash.DigestString(), install.values});
  }
  return out;
}
