// The parts of the codecs that need no library: recognising a file, pixel buffers, the
// area-averaging resample, and BMP files.
#include "platform/image_codec_posix.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace vesk::imaging {

namespace {

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Put16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8 & 0xFF));
}
void Put32(std::string& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// ---- Resample ----

// Source samples and their weights (summing to kOne) for each destination index.
constexpr int kWeightBits = 14;
constexpr uint32_t kOne = 1u << kWeightBits;

ResampleTaps MakeTaps(uint32_t from, uint32_t to) {
    ResampleTaps taps;
    taps.first.reserve(to);
    taps.offset.reserve(to + 1);
    const double scale = static_cast<double>(from) / to;
    for (uint32_t i = 0; i < to; ++i) {
        double a = i * scale;
        double b = (i + 1) * scale;
        if (scale < 1) {  // enlarging: a one-pixel window around the sample point
            const double centre = (i + 0.5) * scale;
            a = std::max(0.0, centre - 0.5);
            b = std::min(static_cast<double>(from), centre + 0.5);
        }
        const auto lo = std::min(static_cast<uint32_t>(a), from - 1);
        const auto hi = std::clamp(static_cast<uint32_t>(std::ceil(b)), lo + 1, from);
        taps.first.push_back(lo);
        taps.offset.push_back(static_cast<uint32_t>(taps.weights.size()));
        uint32_t sum = 0;
        for (uint32_t j = lo; j < hi; ++j) {
            const double overlap = std::min(b, j + 1.0) - std::max(a, static_cast<double>(j));
            const auto w =
                static_cast<uint32_t>(std::lround(std::max(0.0, overlap) / (b - a) * kOne));
            taps.weights.push_back(w);
            sum += w;
        }
        const auto largest =
            std::max_element(taps.weights.begin() + taps.offset.back(), taps.weights.end());
        *largest += kOne - sum;  // rounding goes to the largest share
    }
    taps.offset.push_back(static_cast<uint32_t>(taps.weights.size()));
    return taps;
}

// ---- BMP ----

constexpr uint32_t kFileHeader = 14;

struct BmpLayout {
    uint32_t width = 0;
    uint32_t height = 0;
    bool topDown = false;
    uint16_t bits = 0;
    bool bitfields = false;
    uint32_t masks[4] = {};  // red, green, blue, alpha
    uint32_t paletteAt = 0;
    uint32_t paletteEntry = 4;
    uint32_t colours = 0;
    uint32_t pixelsAt = 0;
    uint64_t stride = 0;
    int32_t xPpm = 0;
    int32_t yPpm = 0;
};

bool ReadBmpLayout(Bytes data, BmpLayout& l) {
    if (data.size() < kFileHeader + 12 || data[0] != 'B' || data[1] != 'M')
        return false;
    const uint8_t* d = data.data();
    l.pixelsAt = Le32(d + 10);
    const uint32_t headerSize = Le32(d + 14);
    if (headerSize > data.size() - kFileHeader)
        return false;
    const uint8_t* h = d + kFileHeader;
    uint32_t compression = 0;
    int64_t height = 0;
    if (headerSize == 12) {  // OS/2 core header
        l.width = Le16(h + 4);
        height = Le16(h + 6);
        if (Le16(h + 8) != 1)
            return false;
        l.bits = Le16(h + 10);
        l.paletteEntry = 3;
    } else if (headerSize >= 40) {
        const auto width = static_cast<int32_t>(Le32(h + 4));
        height = static_cast<int32_t>(Le32(h + 8));
        if (width <= 0 || Le16(h + 12) != 1)
            return false;
        l.width = static_cast<uint32_t>(width);
        l.bits = Le16(h + 14);
        compression = Le32(h + 16);
        l.xPpm = static_cast<int32_t>(Le32(h + 24));
        l.yPpm = static_cast<int32_t>(Le32(h + 28));
        l.colours = Le32(h + 32);
    } else {
        return false;
    }
    if (height < 0) {
        l.topDown = true;
        height = -height;
    }
    l.height = static_cast<uint32_t>(height);
    if (l.width == 0 || l.height == 0 || uint64_t{l.width} * l.height > kMaxPixels)
        return false;
    switch (l.bits) {
        case 1:
        case 4:
        case 8:
            if (compression != 0)
                return false;  // run-length coded files are not read
            if (l.colours == 0 || l.colours > (1u << l.bits))
                l.colours = 1u << l.bits;
            break;
        case 16:
        case 32:
            if (compression == 3) {
                l.bitfields = true;
                // The masks follow a 40-byte header, or sit inside a longer one.
                const uint32_t at = kFileHeader + 40;
                const uint32_t count = headerSize >= 56 ? 4 : 3;
                if (at + 4 * count > data.size())
                    return false;
                for (uint32_t i = 0; i < count; ++i)
                    l.masks[i] = Le32(d + at + 4 * i);
            } else if (compression == 0) {
                if (l.bits == 16) {
                    l.masks[0] = 0x7C00, l.masks[1] = 0x03E0, l.masks[2] = 0x001F;
                } else {
                    l.masks[0] = 0xFF0000, l.masks[1] = 0xFF00, l.masks[2] = 0xFF;
                }
            } else {
                return false;
            }
            l.colours = 0;
            break;
        case 24:
            if (compression != 0)
                return false;
            l.colours = 0;
            break;
        default:
            return false;
    }
    l.paletteAt = kFileHeader + headerSize + (l.bitfields && headerSize == 40 ? 12 : 0);
    if (uint64_t{l.paletteAt} + uint64_t{l.colours} * l.paletteEntry > data.size())
        return false;
    l.stride = (uint64_t{l.bits} * l.width + 31) / 32 * 4;
    return l.pixelsAt <= data.size() && l.stride * l.height <= data.size() - l.pixelsAt;
}

double Dpi(int32_t ppm) {
    return ppm > 0 ? ppm * 0.0254 : kDefaultDpi;
}

// One channel of a bit-field pixel, widened or narrowed to 8 bits.
uint8_t Field(uint32_t value, uint32_t mask, uint8_t none) {
    if (mask == 0)
        return none;
    const int shift = std::countr_zero(mask);
    const uint64_t max = mask >> shift;
    return static_cast<uint8_t>(((value & mask) >> shift) * uint64_t{255} / max);
}

}  // namespace

Kind Sniff(Bytes data) {
    const auto starts = [&](const char* magic, size_t n) {
        return data.size() >= n && std::memcmp(data.data(), magic, n) == 0;
    };
    if (starts("\xFF\xD8\xFF", 3))
        return Kind::kJpeg;
    if (starts("II*\0", 4) || starts("MM\0*", 4))
        return Kind::kTiff;
    if (starts("BM", 2))
        return Kind::kBmp;
    return Kind::kUnknown;
}

bool Pixels::Allocate(uint32_t w, uint32_t h) {
    if (w == 0 || h == 0 || uint64_t{w} * h > kMaxPixels)
        return false;
    bgra.reset(new (std::nothrow) uint8_t[size_t{w} * h * 4]);
    if (!bgra)
        return false;
    width = w;
    height = h;
    return true;
}

bool RowScaler::Start(uint32_t fromWidth, uint32_t fromHeight, uint32_t width, uint32_t height,
                      bool grey, Pixels& out) {
    if (fromWidth == 0 || fromHeight == 0 || !out.Allocate(width, height))
        return false;
    out.grey = grey;
    try {
        m_across = MakeTaps(fromWidth, width);
        m_down = MakeTaps(fromHeight, height);
        m_ringRows = 1;
        for (uint32_t y = 0; y < height; ++y)
            m_ringRows = std::max(m_ringRows, m_down.offset[y + 1] - m_down.offset[y]);
        m_input.resize(size_t{fromWidth} * 4);
        m_ring.resize(size_t{width} * 4 * m_ringRows);
        m_acc.resize(size_t{width} * 4);
    } catch (const std::bad_alloc&) {
        out = Pixels{};
        return false;
    }
    m_nextIn = 0;
    m_nextOut = 0;
    m_out = &out;
    return true;
}

void RowScaler::Push(const uint8_t* src) {
    const uint32_t width = m_out->width;
    const uint32_t y = m_nextIn++;
    uint16_t* dst = m_ring.data() + size_t{y % m_ringRows} * width * 4;
    // The four samples spelt out: this loop is most of a thumbnail's time after decoding.
    const uint32_t* first = m_across.first.data();
    const uint32_t* offset = m_across.offset.data();
    const uint32_t* weights = m_across.weights.data();
    for (uint32_t x = 0; x < width; ++x, dst += 4) {
        uint32_t b = 0, g = 0, r = 0, a = 0;
        const uint8_t* s = src + size_t{first[x]} * 4;
        for (uint32_t k = offset[x]; k < offset[x + 1]; ++k, s += 4) {
            const uint32_t w = weights[k];
            b += s[0] * w;
            g += s[1] * w;
            r += s[2] * w;
            a += s[3] * w;
        }
        constexpr int kDrop = kWeightBits - 8;
        dst[0] = static_cast<uint16_t>(b >> kDrop);
        dst[1] = static_cast<uint16_t>(g >> kDrop);
        dst[2] = static_cast<uint16_t>(r >> kDrop);
        dst[3] = static_cast<uint16_t>(a >> kDrop);
    }
    // Destination rows whose source rows are all in; they end in order.
    while (m_nextOut < m_out->height &&
           m_down.first[m_nextOut] + (m_down.offset[m_nextOut + 1] - m_down.offset[m_nextOut]) <=
               m_nextIn)
        Emit(m_nextOut++);
}

void RowScaler::Emit(uint32_t y) {
    const size_t rowSize = m_acc.size();
    std::fill(m_acc.begin(), m_acc.end(), 0);
    for (uint32_t k = m_down.offset[y]; k < m_down.offset[y + 1]; ++k) {
        const uint32_t from = m_down.first[y] + (k - m_down.offset[y]);
        const uint16_t* src = m_ring.data() + size_t{from % m_ringRows} * rowSize;
        const uint32_t w = m_down.weights[k];
        for (size_t i = 0; i < rowSize; ++i)
            m_acc[i] += src[i] * w;
    }
    uint8_t* dst = m_out->Row(y);
    constexpr int kShift = kWeightBits + 8;
    for (size_t i = 0; i < rowSize; ++i)
        dst[i] = static_cast<uint8_t>(
            std::min<uint32_t>(255, (m_acc[i] + (1u << (kShift - 1))) >> kShift));
}

bool Resize(const Pixels& in, uint32_t width, uint32_t height, Pixels& out) {
    RowScaler scaler;
    if (!in.bgra || !scaler.Start(in.width, in.height, width, height, in.grey, out))
        return false;
    for (uint32_t y = 0; y < in.height; ++y)
        scaler.Push(in.Row(y));
    return true;
}

bool BmpInfo(Bytes data, FrameInfo& info) {
    BmpLayout l;
    if (!ReadBmpLayout(data, l))
        return false;
    int32_t format = kFormat24bppRGB;
    switch (l.bits) {
        case 1:
            format = kFormat1bppIndexed;
            break;
        case 4:
            format = kFormat4bppIndexed;
            break;
        case 8:
            format = kFormat8bppIndexed;
            break;
        case 16:
            format = l.masks[1] == 0x07E0 ? kFormat16bppRGB565 : kFormat16bppRGB555;
            break;
        case 32:
            format = l.masks[3] ? kFormat32bppARGB : kFormat32bppRGB;
            break;
        default:
            break;
    }
    info = FrameInfo{l.width, l.height, format, Dpi(l.xPpm), Dpi(l.yPpm)};
    return true;
}

bool DecodeBmp(Bytes data, Pixels& out) {
    BmpLayout l;
    if (!ReadBmpLayout(data, l) || !out.Allocate(l.width, l.height))
        return false;
    uint8_t palette[256][4] = {};
    bool grey = l.colours > 0;
    for (uint32_t i = 0; i < l.colours; ++i) {
        const uint8_t* e = data.data() + l.paletteAt + i * l.paletteEntry;
        palette[i][0] = e[0], palette[i][1] = e[1], palette[i][2] = e[2], palette[i][3] = 255;
        grey = grey && e[0] == e[1] && e[1] == e[2];
    }
    const uint32_t black = 0xFF000000;  // an index past the palette
    for (uint32_t i = l.colours; i < 256; ++i)
        std::memcpy(palette[i], &black, 4);
    out.grey = grey;
    for (uint32_t y = 0; y < l.height; ++y) {
        const uint8_t* src =
            data.data() + l.pixelsAt + (l.topDown ? y : l.height - 1 - y) * l.stride;
        uint8_t* dst = out.Row(y);
        for (uint32_t x = 0; x < l.width; ++x, dst += 4) {
            switch (l.bits) {
                case 1:
                case 4:
                case 8: {
                    const uint32_t bit = x * l.bits;
                    const unsigned index =
                        (src[bit / 8] >> (8 - l.bits - bit % 8)) & ((1u << l.bits) - 1);
                    std::memcpy(dst, palette[index], 4);
                    break;
                }
                case 24:
                    dst[0] = src[x * 3], dst[1] = src[x * 3 + 1], dst[2] = src[x * 3 + 2],
                    dst[3] = 255;
                    break;
                default: {
                    const uint32_t v = l.bits == 16 ? Le16(src + x * 2) : Le32(src + x * 4);
                    dst[0] = Field(v, l.masks[2], 0);
                    dst[1] = Field(v, l.masks[1], 0);
                    dst[2] = Field(v, l.masks[0], 0);
                    dst[3] = Field(v, l.masks[3], 255);
                    break;
                }
            }
        }
    }
    return true;
}

bool EncodeBmp(const Pixels& image, bool alpha, double xDpi, double yDpi, std::string& out) {
    if (!image.bgra || image.width == 0 || image.height == 0 ||
        image.width > static_cast<uint32_t>(INT32_MAX) ||
        image.height > static_cast<uint32_t>(INT32_MAX))
        return false;
    const bool grey = image.grey && !alpha;
    const uint16_t bits = grey ? 8 : alpha ? 32 : 24;
    const uint64_t stride = (uint64_t{bits} * image.width + 31) / 32 * 4;
    const uint32_t paletteBytes = grey ? 1024 : 0;
    const uint64_t pixelBytes = stride * image.height;
    const uint64_t total = kFileHeader + 40 + paletteBytes + pixelBytes;
    if (total > UINT32_MAX)
        return false;
    const auto ppm = [](double dpi) {
        return static_cast<uint32_t>(dpi > 0 ? std::lround(dpi / 0.0254) : 0);
    };
    try {
        out.clear();
        out.reserve(total);
        out += "BM";
        Put32(out, static_cast<uint32_t>(total));
        Put32(out, 0);
        Put32(out, kFileHeader + 40 + paletteBytes);
        Put32(out, 40);
        Put32(out, image.width);
        Put32(out, image.height);  // positive: rows bottom-up
        Put16(out, 1);
        Put16(out, bits);
        Put32(out, 0);
        Put32(out, static_cast<uint32_t>(pixelBytes));
        Put32(out, ppm(xDpi));
        Put32(out, ppm(yDpi));
        Put32(out, grey ? 256 : 0);
        Put32(out, 0);
        for (uint32_t i = 0; grey && i < 256; ++i)
            Put32(out, i * 0x010101u);
        std::string row(stride, '\0');
        for (uint32_t y = image.height; y-- > 0;) {
            const uint8_t* src = image.Row(y);
            for (uint32_t x = 0; x < image.width; ++x, src += 4) {
                if (grey)
                    row[x] = static_cast<char>(src[1]);
                else
                    std::memcpy(&row[size_t{x} * bits / 8], src, bits / 8);
            }
            out += row;
        }
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace vesk::imaging
