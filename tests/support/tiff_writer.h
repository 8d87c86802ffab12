// Small uncompressed bilevel TIFF files written byte by byte, so that tests on every
// platform make the pages they need (sizes, page counts, resolution tags) without an
// imaging library.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk::test {

struct TiffPage {
    double xRes = 0;  // 0: no resolution tags
    double yRes = 0;
    uint16_t unit = 2;  // 2 inch, 3 centimetre
    uint32_t width = 200;
    uint32_t height = 100;
};

// Little-endian; each page is white (1 bit, 0 is white), its strip, resolutions and
// directory one after the other.
inline std::string TiffFile(const std::vector<TiffPage>& pages) {
    std::string out("II*\0\0\0\0\0", 8);
    const auto put = [&out](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>(v >> (8 * i));
    };
    const auto patch = [&out](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out[at + i] = static_cast<char>(v >> (8 * i));
    };
    size_t next = 4;  // where the offset of the next directory goes
    for (const TiffPage& p : pages) {
        const auto strip = static_cast<uint32_t>(out.size());
        const uint32_t bytes = (p.width + 7) / 8 * p.height;
        out.append(bytes, '\0');
        const auto rationals = static_cast<uint32_t>(out.size());
        for (double res : {p.xRes, p.yRes})
            put(static_cast<uint32_t>(std::lround(res * 1000)), 4), put(1000, 4);
        patch(next, static_cast<uint32_t>(out.size()));
        struct Entry {
            uint16_t tag, type;
            uint32_t value;
        };
        std::vector<Entry> entries = {{256, 4, p.width}, {257, 4, p.height}, {258, 3, 1},
                                      {259, 3, 1},       {262, 3, 0},        {273, 4, strip},
                                      {277, 3, 1},       {278, 4, p.height}, {279, 4, bytes}};
        if (p.xRes > 0)
            entries.insert(entries.end(),
                           {{282, 5, rationals}, {283, 5, rationals + 8}, {296, 3, p.unit}});
        put(static_cast<uint32_t>(entries.size()), 2);
        for (const Entry& e : entries)
            put(e.tag, 2), put(e.type, 2), put(1, 4), put(e.value, 4);
        next = out.size();
        put(0, 4);
    }
    return out;
}

}  // namespace vesk::test
