// libFuzzer entry: attributionfuzz::fuzzDeepLinkResponse (see AttributionFuzzTarget.h).
#include "tests/AppMeasurement/engine/fuzz/AttributionFuzzTarget.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  attributionfuzz::exitWithoutDrainingQueues() = true;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  attributionfuzz::fuzzDeepLinkResponse(data, size);
  return 0;
}
