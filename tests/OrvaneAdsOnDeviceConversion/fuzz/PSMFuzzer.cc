// libFuzzer entry over the parsers of server answers (PSMFuzzInput.h).
#include "tests/OrvaneAdsOnDeviceConversion/fuzz/PSMFuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PSMFuzzOneInput(data, size);
  return 0;
}
