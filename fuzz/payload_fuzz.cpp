// libFuzzer target: see fuzz/fuzz_inputs.h for the input layout.
#include <cstdio>

#include "fuzz/fuzz_inputs.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The decoders trace to standard output; the fuzzer reports on stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_inputs::FuzzPayload(data, size);
    return 0;
}
