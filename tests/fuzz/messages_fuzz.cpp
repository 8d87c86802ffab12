// libFuzzer target for every message decoder on its own: the first byte picks the
// message, the rest is its payload (see decoders.h for what is checked).
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "tests/fuzz/decoders.h"

using namespace vesk::tcpcore;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    Frame f;
    f.kind = FrameKind::kReply;
    f.payload.assign(data + 1, data + size);
    fuzz::kDecoders[data[0] % std::size(fuzz::kDecoders)](f);
    return 0;
}
