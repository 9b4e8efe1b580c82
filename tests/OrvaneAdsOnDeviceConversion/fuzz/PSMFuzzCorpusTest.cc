// Replays the fuzz corpus (real server answers and what fuzzing found) under the test build's
// sanitizers. With KVL_WRITE_FUZZ_SEEDS=<dir> it first writes fresh seeds from psm-server.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"
#include "absl/strings/escaping.h"
#include "privacy/private_membership/blinders/client/private_membership_blinders_mini_client.h"
#include "tests/OrvaneAdsOnDeviceConversion/fuzz/PSMFuzzInput.h"
#include "tools/psm-server/PSMServer.h"

namespace {

namespace pm = private_membership::blinders;

void writeSeed(const std::filesystem::path& dir, const std::string& name, uint8_t target,
               const std::string& body) {
  std::ofstream(dir / name, std::ios::binary) << static_cast<char>(target) << body;
}

void writeSeeds(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  PSMServerConfig config;
  config.scheme = 1;
  config.members = {{PSMServerConfig::OlderFlowMember::Kind::Email, "jane@example.com", "v"}};
  PSMServerConfig::Odm odm;
  odm.matchingID = "bWF0Y2hpbmc";
  odm.bucketedDate = "2026-12-07";
  odm.extensionData = "ext";
  odm.installs.push_back({"com.example", {{"odm-a", std::string("\x08\x05\x10\x01", 4), "k"}}});
  odm.measurementInfo = "m";
  odm.aggregateConversionInfo = "a";
  config.odm = odm;
  auto server = *PSMServer::start(config);
  for (int bins : {0, 4}) {
    auto database = *PSMServerDatabase::Create(
        bins ? 2 : 1, bins, [&](const std::string& tag) { return config.olderFlowMembers(tag); });
    std::vector<pm::IdentifierEntry> entries = {{"app", "id-0", "x"}, {"app", "id-1", "x"}};
    auto client = *pm::PrivateMembershipBlindersMiniClient::Create(entries, {8, 2, 4});
    auto response = *database->Answer(*client->CreateRequest(3));
    const std::string bytes = PSMServerSerializeResponse(response);
    writeSeed(dir, "response-bins" + std::to_string(bins), kPSMFuzzResponse, bytes);
    writeSeed(dir, "older-body-bins" + std::to_string(bins), kPSMFuzzOlderFlowBody,
              "{\"psm_response\":\"" + absl::WebSafeBase64Escape(bytes) + "\"}");
    writeSeed(dir, "candidate-bins" + std::to_string(bins), kPSMFuzzCandidate,
              "{\"psm_response\":\"" + absl::WebSafeBase64Escape(bytes) + "\"}");
  }
  writeSeed(dir, "config", kPSMFuzzConfig, server->handle("GET", "/odm/config", "").body);
  writeSeed(dir, "validator", kPSMFuzzValidator, "{\"mv_oa4k\":\"m\",\"mv_aaps\":\"a\"}");
  writeSeed(dir, "metadata", kPSMFuzzMetadata, std::string("\x08\x05\x10\x01", 4));
}

TEST(PSMFuzzCorpusTest, EveryKeptInputRunsClean) {
  const std::filesystem::path corpus =
      std::filesystem::path(KVL_SOURCE_DIR) / "tests/OrvaneAdsOnDeviceConversion/fuzz/corpus";
  if (const char* seeds = std::getenv("KVL_WRITE_FUZZ_SEEDS")) writeSeeds(seeds);
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const std::string data = bytes.str();
    PSMFuzzOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    ++count;
  }
  EXPECT_GT(count, 0u);
}

}  // namespace
