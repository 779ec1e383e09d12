// libFuzzer entry for the packet layer; built by hand with clang, see PacketLayerFuzzTarget.h:
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -IComponent -Iinclude -Itests \
//     tests/fuzz/packet_layer_fuzz.cpp $(find Component -name '*.cpp') -lcrypto -lz -o packet_layer_fuzz
//   ./packet_layer_fuzz tests/fuzz/corpus/packet_layer
#include "fuzz/PacketLayerFuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velunor::fuzz::PacketLayerFuzzOne(data, size);
    return 0;
}
