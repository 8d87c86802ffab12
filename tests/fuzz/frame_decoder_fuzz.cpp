// libFuzzer target for what a peer can send: the input is a byte stream of frames;
// each decoded frame's payload goes through every message decoder (decoders.h). Built
// and run by scripts/fuzz (clang).
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/decoders.h"

using namespace vesk::tcpcore;

namespace {

void AllMessages(const Frame& f) {
    for (fuzz::Decoder decode : fuzz::kDecoders)
        decode(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t pos = 0;
    while (pos < size) {
        Frame f;
        std::size_t used = 0;
        if (DecodeFrame(data + pos, size - pos, f, used) != DecodeStatus::kOk)
            break;
        AllMessages(f);
        pos += used;
    }
    // The whole input as a payload too, so decoders see inputs without a header.
    Frame whole;
    whole.payload.assign(data, data + size);
    AllMessages(whole);
    return 0;
}
