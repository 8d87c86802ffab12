// Large image-file buffers are mappings trimmed to huge-page alignment: buffers live at
// the same time must each hold their own bytes, whatever their sizes, and one given back
// and taken again must not disturb the others.
#include <gtest/gtest.h>

#include <vector>

#include "platform/image_buffer_posix.h"

namespace {

using vesk::imaging::ImageBuffer;

TEST(ImageBuffer, BuffersLiveTogetherHoldTheirOwnBytes) {
    constexpr size_t kMiB = size_t{1} << 20;
    // Around the mapping threshold, across huge-page sizes, and one from the heap.
    const std::vector<size_t> sizes = {kMiB, 3 * kMiB, 2 * kMiB, 7 * kMiB + 5, kMiB / 2, 65 * kMiB};
    // One byte in each page and the last one: overlapping buffers overlap in those.
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
    std::vector<ImageBuffer> buffers(sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        ASSERT_TRUE(buffers[i].Allocate(sizes[i]));
        ASSERT_EQ(buffers[i].size(), sizes[i]);
        fill(buffers[i], static_cast<uint8_t>(i + 1));
    }
    ASSERT_TRUE(buffers[1].Allocate(5 * kMiB));  // the old one goes back first
    fill(buffers[1], 99);
    for (size_t i = 0; i < sizes.size(); ++i)
        EXPECT_TRUE(holds(buffers[i], i == 1 ? 99 : static_cast<uint8_t>(i + 1))) << i;
}

}  // namespace
