#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One fuzz input over the parsers of server answers in both conversion flows. The first byte
// picks the parser, the rest is the answer:
//   0  DeserializePSMResponse + ProcessResponse of a fixed mini client
//   1  ODCPrivateSetMembershipClient::parsedPSMValueFromResponse (a JSON body)
//   2  the config parser and request builder of the task chain
//   3  the candidate answer (JSON, Base64, response, second-generation processing, MVs)
//   4  the validator answer
//   5  the unencrypted-metadata parser
// Whatever the bytes: a status or nil, never a crash, an abort or unbounded work.
void PSMFuzzOneInput(const uint8_t* data, size_t size);

// The selector byte of each parser, for writing seeds.
enum PSMFuzzTarget : uint8_t {
  kPSMFuzzResponse = 0,
  kPSMFuzzOlderFlowBody = 1,
  kPSMFuzzConfig = 2,
  kPSMFuzzCandidate = 3,
  kPSMFuzzValidator = 4,
  kPSMFuzzMetadata = 5,
};
