// The content of synthetic documents, apart from the renderer so that test programs
// built for other systems can check what they received.
#include <algorithm>
#include <cassert>
#include <cstring>

#include "tools/mfpsim/lib/render.h"

namespace mfpsim {

namespace {

// The pattern repeated so that every window of up to kSyntheticSliceMax bytes starting
// within the first period is contiguous.
const std::vector<uint8_t>& PreparedContent() {
    static const std::vector<uint8_t> prepared = [] {
        std::vector<uint8_t> p(kSyntheticPeriod + kSyntheticSliceMax);
        uint32_t x = 2463534242u;
        for (size_t i = 0; i < kSyntheticPeriod; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            p[i] = static_cast<uint8_t>(x >> 24);
        }
        for (size_t i = kSyntheticPeriod; i < p.size(); ++i) {
            p[i] = p[i - kSyntheticPeriod];
        }
        return p;
    }();
    return prepared;
}

}  // namespace

const uint8_t* SyntheticSlice(int64_t offset, size_t n) {
    assert(offset >= 0 && n <= kSyntheticSliceMax);
    (void)n;
    return PreparedContent().data() + offset % static_cast<int64_t>(kSyntheticPeriod);
}

void SyntheticContent(int64_t offset, uint8_t* out, size_t n) {
    while (n > 0) {
        const size_t k = std::min(n, kSyntheticSliceMax);
        std::memcpy(out, SyntheticSlice(offset, k), k);
        out += k;
        n -= k;
        offset += static_cast<int64_t>(k);
    }
}

}  // namespace mfpsim
