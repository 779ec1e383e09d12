// libFuzzer entry for the engine's message handlers; scripts/fuzz.sh builds and runs it.
#include "fuzz/SessionFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velunor::fuzz::SessionFuzzOne(data, size);
    return 0;
}
