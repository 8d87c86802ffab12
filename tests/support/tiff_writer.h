// Small uncompressed bilevel TIFF files written byte by byte, so that tests on every
// platform make the pages they need (size, resolution tags) without an
// imaging library.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk::test {

struct BilevelTiff {
    double xRes = 0;  // 0: no resolution tags
    double yRes = 0;
    uint16_t unit = 2;  // 2 inch, 3 centimetre
    uint32_t width = 200;
    uint32_t height = 100;
};

// Little-endian: a white page (1 bit, 0 is white), then its resolutions and directory.
inline std::string TiffFile(const BilevelTiff& p) {
    std::string out("II*\0\0\0\0\0", 8);
    const auto put = [&out](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out += static_cast<char>(v >> (8 * i));
    };
    const uint32_t bytes = (p.width + 7) / 8 * p.height;
    out.append(bytes, '\0');
    for (double res : {p.xRes, p.yRes})
        put(static_cast<uint32_t>(std::lround(res * 1000)), 4), put(1000, 4);
    const auto directory = static_cast<uint32_t>(out.size());
    for (int i = 0; i < 4; ++i)  // where the header points
        out[4 + i] = static_cast<char>(directory >> (8 * i));
    struct Entry {
        uint16_t tag, type;
        uint32_t value;
    };
    std::vector<Entry> entries = {{256, 4, p.width}, {257, 4, p.height}, {258, 3, 1},
                                  {259, 3, 1},       {262, 3, 0},        {273, 4, 8},
                                  {277, 3, 1},       {278, 4, p.height}, {279, 4, bytes}};
    if (p.xRes > 0)
        entries.insert(entries.end(),
                       {{282, 5, 8 + bytes}, {283, 5, 16 + bytes}, {296, 3, p.unit}});
    put(static_cast<uint32_t>(entries.size()), 2);
    for (const Entry& e : entries)
        put(e.tag, 2), put(e.type, 2), put(1, 4), put(e.value, 4);
    put(0, 4);
    return out;
}

}  // namespace vesk::test
