// Large image-file buffers are recycled between loads; a recycled buffer must belong to
// one owner at a time, whatever the sizes asked for and however many threads load.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/image_buffer_posix.h"

namespace {

using vesk::imaging::ImageBuffer;

TEST(ImageBuffer, NeverSharedBetweenOwners) {
    constexpr size_t kMiB = size_t{1} << 20;
    // Sizes around the mapped threshold and past what is kept for reuse.
    const std::vector<size_t> sizes = {kMiB, 3 * kMiB, 7 * kMiB + 5, kMiB / 2, 65 * kMiB};
    std::atomic<int> bad{0};
    // One byte in each page and the last one is enough: owners sharing a buffer share it
    // from its start.
    auto fill = [](ImageBuffer& b, uint8_t v) {
        for (size_t i = 0; i < b.size(); i += 4096)
            b.data()[i] = v;
        b.data()[b.size() - 1] = v;
    };
    auto holds = [](const ImageBuffer& b, uint8_t v) {
        for (size_t i = 0; i < b.size(); i += 4096)
            if (b.data()[i] != v)
                return false;
        return b.data()[b.size() - 1] == v;
    };
    auto worker = [&](uint8_t mark) {
        for (int round = 0; round < 20; ++round) {
            ImageBuffer a, b;
            const size_t sa = sizes[(round + mark) % sizes.size()];
            const size_t sb = sizes[(round + 2 * mark + 1) % sizes.size()];
            if (!a.Allocate(sa) || !b.Allocate(sb)) {
                ++bad;
                return;
            }
            fill(a, mark);
            fill(b, static_cast<uint8_t>(mark + 1));
            std::this_thread::yield();
            if (!holds(a, mark) || !holds(b, static_cast<uint8_t>(mark + 1)) || a.size() != sa ||
                b.size() != sb)
                ++bad;
        }
    };
    std::thread t1(worker, uint8_t{10}), t2(worker, uint8_t{20});
    t1.join();
    t2.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
