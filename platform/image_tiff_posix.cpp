// TIFF on libtiff, read from memory or a file descriptor and written to memory through
// client procedures. Errors and warnings go to handlers of our own (never stderr), and
// one allocation is bounded.
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <vector>

#include "platform/image_codec_posix.h"

namespace vesk::imaging {

namespace {

// A strip of a large uncompressed colour page, with room to spare.
constexpr tmsize_t kMaxAllocation = tmsize_t{256} << 20;

// Reads from a file smaller than this go through a block of this size: libtiff reads a
// directory a few bytes at a time (counts, entries, arrays, the next offset), and one
// pread a piece would cost more than the reading.
constexpr size_t kBlock = size_t{16} << 10;

// What libtiff reads (data, or the file fd) or writes (out, grown as needed).
struct Stream {
    Bytes data;
    std::string* out = nullptr;
    int fd = -1;
    uint64_t fileSize = 0;
    uint64_t pos = 0;
    std::unique_ptr<uint8_t[]> block;  // of the file, from blockAt, blockSize bytes
    uint64_t blockAt = 0;
    size_t blockSize = 0;

    explicit Stream(const TiffSource& source)
        : data(source.data), fd(source.fd), fileSize(source.size) {}
    explicit Stream(std::string* written) : out(written) {}

    uint64_t Size() const { return out ? out->size() : fd >= 0 ? fileSize : data.size(); }
};

Stream& S(thandle_t h) {
    return *static_cast<Stream*>(h);
}

// All n bytes at offset, or false (a file cut short, a read error).
bool ReadAt(int fd, void* buf, size_t n, uint64_t offset) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got, n -= static_cast<size_t>(got), offset += static_cast<uint64_t>(got);
    }
    return true;
}

// n bytes of the file at s.pos; small reads through the block.
bool ReadFile(Stream& s, void* buf, uint64_t n) {
    if (n >= kBlock)
        return ReadAt(s.fd, buf, n, s.pos);
    if (s.pos < s.blockAt || s.pos + n > s.blockAt + s.blockSize) {
        if (!s.block)
            s.block.reset(new (std::nothrow) uint8_t[kBlock]);
        // From the page boundary before, so that reading back a little still hits.
        uint64_t at = s.pos / 4096 * 4096;
        if (s.pos + n > at + kBlock)
            at = s.pos;
        const auto length = static_cast<size_t>(std::min<uint64_t>(kBlock, s.fileSize - at));
        s.blockSize = 0;
        if (!s.block || !ReadAt(s.fd, s.block.get(), length, at))
            return false;
        s.blockAt = at;
        s.blockSize = length;
    }
    std::memcpy(buf, s.block.get() + (s.pos - s.blockAt), n);
    return true;
}

tmsize_t Read(thandle_t h, void* buf, tmsize_t n) {
    Stream& s = S(h);
    const uint64_t size = s.Size();
    if (n <= 0 || s.pos >= size)
        return 0;
    const auto got = std::min<uint64_t>(static_cast<uint64_t>(n), size - s.pos);
    if (s.fd >= 0 && !s.out) {
        if (!ReadFile(s, buf, got))
            return -1;
    } else {
        const uint8_t* base =
            s.out ? reinterpret_cast<const uint8_t*>(s.out->data()) : s.data.data();
        std::memcpy(buf, base + s.pos, got);
    }
    s.pos += got;
    return static_cast<tmsize_t>(got);
}

tmsize_t Write(thandle_t h, void* buf, tmsize_t n) {
    Stream& s = S(h);
    if (!s.out || n < 0)
        return -1;
    try {
        if (s.pos == s.out->size()) {  // the usual case: appending, nothing to clear first
            s.out->append(static_cast<const char*>(buf), static_cast<size_t>(n));
            s.pos += n;
            return n;
        }
        if (s.out->size() < s.pos + n)
            s.out->resize(s.pos + n);
    } catch (const std::exception&) {  // out of memory, or past what a string holds
        return -1;
    }
    std::memcpy(s.out->data() + s.pos, buf, static_cast<size_t>(n));
    s.pos += n;
    return n;
}

toff_t Seek(thandle_t h, toff_t offset, int whence) {
    Stream& s = S(h);
    const uint64_t base = whence == SEEK_CUR ? s.pos : whence == SEEK_END ? s.Size() : 0;
    const auto delta = static_cast<int64_t>(offset);  // relative offsets may be negative
    if (whence != SEEK_SET && delta < 0 && 0 - static_cast<uint64_t>(delta) > base)
        return static_cast<toff_t>(-1);
    const uint64_t target = whence == SEEK_SET ? offset : base + delta;
    // Writers may seek past the end; readers may not.
    if (!s.out && target > s.Size())
        return static_cast<toff_t>(-1);
    s.pos = target;
    return target;
}

int Close(thandle_t) {
    return 0;
}
toff_t Size(thandle_t h) {
    return S(h).Size();
}
int Map(thandle_t, void**, toff_t*) {
    return 0;
}
void Unmap(thandle_t, void*, toff_t) {}
int Quiet(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TiffPtr Open(Stream& stream, const char* mode) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options, Quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, Quiet, nullptr);
    TIFF* tif = TIFFClientOpenExt("image", mode, &stream, Read, Write, Seek, Close, Size, Map,
                                  Unmap, options);
    TIFFOpenOptionsFree(options);
    return TiffPtr(tif);
}

bool IsTiff(const Stream& stream) {
    if (stream.fd < 0)
        return Sniff(stream.data) == Kind::kTiff;
    uint8_t head[4];
    return stream.fileSize >= sizeof head && ReadAt(stream.fd, head, sizeof head, 0) &&
           Sniff({head, sizeof head}) == Kind::kTiff;
}

TiffPtr OpenFrame(Stream& stream, uint32_t frame) {
    if (!IsTiff(stream))
        return nullptr;
    TiffPtr tif = Open(stream, "r");
    if (!tif || !TIFFSetDirectory(tif.get(), static_cast<tdir_t>(frame)))
        return nullptr;
    return tif;
}

bool Size(TIFF* tif, uint32_t& width, uint32_t& height) {
    return TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) == 1 &&
           TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) == 1 && width > 0 && height > 0 &&
           uint64_t{width} * height <= kMaxPixels;
}

double Dpi(TIFF* tif, ttag_t tag) {
    float value = 0;
    uint16_t unit = RESUNIT_INCH;
    if (TIFFGetField(tif, tag, &value) != 1 || !(value > 0) || value > 1e6f)
        return kDefaultDpi;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    return unit == RESUNIT_CENTIMETER ? value * 2.54 : value;
}

int32_t PixelFormat(TIFF* tif) {
    uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    const bool deep = bits > 8;
    switch (photometric) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_PALETTE:
            if (samples > 1)
                return deep ? kFormat64bppARGB : kFormat32bppARGB;
            return bits == 1   ? kFormat1bppIndexed
                   : bits <= 4 ? kFormat4bppIndexed
                   : bits <= 8 ? kFormat8bppIndexed
                               : kFormat16bppGrayScale;
        case PHOTOMETRIC_SEPARATED:
            return kFormat32bppCMYK;
        default:
            if (samples > 3)
                return deep ? kFormat64bppARGB : kFormat32bppARGB;
            return deep ? kFormat48bppRGB : kFormat24bppRGB;
    }
}

// Tags copied with the coded strips: whatever a reader needs to decode them.
template <class T>
void Copy1(TIFF* in, TIFF* out, ttag_t tag) {
    T v{};
    if (TIFFGetField(in, tag, &v) == 1)
        TIFFSetField(out, tag, v);
}

bool CopyTags(TIFF* in, TIFF* out) {
    uint32_t width = 0, height = 0;
    if (!Size(in, width, height))
        return false;
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
    for (ttag_t tag :
         {TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_COMPRESSION, TIFFTAG_PHOTOMETRIC,
          TIFFTAG_FILLORDER, TIFFTAG_PLANARCONFIG, TIFFTAG_ORIENTATION, TIFFTAG_RESOLUTIONUNIT,
          TIFFTAG_PREDICTOR, TIFFTAG_SAMPLEFORMAT, TIFFTAG_YCBCRPOSITIONING, TIFFTAG_INKSET})
        Copy1<uint16_t>(in, out, tag);
    for (ttag_t tag : {TIFFTAG_T4OPTIONS, TIFFTAG_T6OPTIONS})
        Copy1<uint32_t>(in, out, tag);
    for (ttag_t tag : {TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION})
        Copy1<float>(in, out, tag);
    if (TIFFIsTiled(in)) {
        Copy1<uint32_t>(in, out, TIFFTAG_TILEWIDTH);
        Copy1<uint32_t>(in, out, TIFFTAG_TILELENGTH);
    } else {
        uint32_t rows = height;
        TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &rows);
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, rows);
    }
    uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (TIFFGetField(in, TIFFTAG_COLORMAP, &red, &green, &blue) == 1)
        TIFFSetField(out, TIFFTAG_COLORMAP, red, green, blue);
    uint16_t count = 0;
    uint16_t* extra = nullptr;
    if (TIFFGetField(in, TIFFTAG_EXTRASAMPLES, &count, &extra) == 1)
        TIFFSetField(out, TIFFTAG_EXTRASAMPLES, count, extra);
    uint16_t h = 0, v = 0;
    if (TIFFGetField(in, TIFFTAG_YCBCRSUBSAMPLING, &h, &v) == 1)
        TIFFSetField(out, TIFFTAG_YCBCRSUBSAMPLING, h, v);
    float* reference = nullptr;
    if (TIFFGetField(in, TIFFTAG_REFERENCEBLACKWHITE, &reference) == 1)
        TIFFSetField(out, TIFFTAG_REFERENCEBLACKWHITE, reference);
    uint32_t tablesSize = 0;
    void* tables = nullptr;
    if (TIFFGetField(in, TIFFTAG_JPEGTABLES, &tablesSize, &tables) == 1)
        TIFFSetField(out, TIFFTAG_JPEGTABLES, tablesSize, tables);
    return true;
}

// The coded chunks go to the writer as they are stored. From memory they go straight
// from the bytes there; from a file, chunks that lie one after another (as a page's
// strips usually do) are read together, a run of up to kRunBytes with one pread, into
// one buffer that stays small enough to stay in the cache.
constexpr uint64_t kRunBytes = uint64_t{256} << 10;

bool CopyChunks(TIFF* in, TIFF* out, const Stream& source) {
    const bool tiled = TIFFIsTiled(in);
    const uint32_t chunks = tiled ? TIFFNumberOfTiles(in) : TIFFNumberOfStrips(in);
    const uint64_t fileSize = source.Size();
    std::vector<uint8_t> buffer;
    uint64_t bufferAt = 0, bufferEnd = 0;  // the file's bytes the buffer holds
    for (uint32_t i = 0; i < chunks; ++i) {
        const uint64_t size = TIFFGetStrileByteCount(in, i);
        const uint64_t offset = TIFFGetStrileOffset(in, i);
        if (size == 0 || offset > fileSize || size > fileSize - offset)
            return false;
        const uint8_t* chunk = nullptr;
        if (source.fd < 0) {
            chunk = source.data.data() + offset;
        } else {
            if (offset < bufferAt || offset + size > bufferEnd) {
                // This chunk and those right after it, as far as kRunBytes reaches.
                uint64_t end = offset + size;
                for (uint32_t j = i + 1; j < chunks; ++j) {
                    const uint64_t next = TIFFGetStrileOffset(in, j);
                    const uint64_t length = TIFFGetStrileByteCount(in, j);
                    if (next != end || length > fileSize - next ||
                        next + length - offset > kRunBytes)
                        break;
                    end = next + length;
                }
                try {
                    if (buffer.size() < end - offset)
                        buffer.resize(end - offset);
                } catch (const std::exception&) {
                    return false;
                }
                if (!ReadAt(source.fd, buffer.data(), end - offset, offset))
                    return false;
                bufferAt = offset;
                bufferEnd = end;
            }
            chunk = buffer.data() + (offset - bufferAt);
        }
        auto* bytes = const_cast<uint8_t*>(chunk);  // libtiff only reads it
        const auto n = static_cast<tmsize_t>(size);
        if ((tiled ? TIFFWriteRawTile(out, i, bytes, n) : TIFFWriteRawStrip(out, i, bytes, n)) != n)
            return false;
    }
    return true;
}

}  // namespace

namespace {

bool Info(TIFF* tif, FrameInfo& info) {
    uint32_t width = 0, height = 0;
    if (!Size(tif, width, height))
        return false;
    info = FrameInfo{width, height, PixelFormat(tif), Dpi(tif, TIFFTAG_XRESOLUTION),
                     Dpi(tif, TIFFTAG_YRESOLUTION)};
    return true;
}

}  // namespace

uint32_t TiffFrameCount(const TiffSource& source, FrameInfo* first) {
    Stream stream(source);
    if (!IsTiff(stream))
        return 0;
    TiffPtr tif = Open(stream, "r");
    // Counting leaves the first directory current.
    const uint32_t count = tif ? TIFFNumberOfDirectories(tif.get()) : 0;
    return count > 0 && (!first || Info(tif.get(), *first)) ? count : 0;
}

bool TiffInfo(const TiffSource& source, uint32_t frame, FrameInfo& info) {
    Stream stream(source);
    TiffPtr tif = OpenFrame(stream, frame);
    return tif && Info(tif.get(), info);
}

bool DecodeTiff(const TiffSource& source, uint32_t frame, Pixels& out) {
    Stream stream(source);
    TiffPtr tif = OpenFrame(stream, frame);
    uint32_t width = 0, height = 0;
    char message[1024] = {};
    if (!tif || !Size(tif.get(), width, height) || !TIFFRGBAImageOK(tif.get(), message) ||
        !out.Allocate(width, height))
        return false;
    auto* raster = reinterpret_cast<uint32_t*>(out.bgra.get());
    if (!TIFFReadRGBAImageOriented(tif.get(), width, height, raster, ORIENTATION_TOPLEFT, 1)) {
        out.bgra.reset();
        return false;
    }
    // libtiff packs red in the low byte, ours is blue first; and it multiplies colour
    // by alpha, ours is not multiplied.
    const size_t count = size_t{width} * height;
    uint8_t* p = out.bgra.get();
    for (size_t i = 0; i < count; ++i, p += 4) {
        std::swap(p[0], p[2]);
        if (p[3] != 255 && p[3] != 0)
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<uint8_t>(std::min(255, (p[c] * 255 + p[3] / 2) / p[3]));
    }
    uint16_t samples = 1, photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric);
    out.grey = samples == 1 &&
               (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE);
    return true;
}

bool CopyTiffFrame(const TiffSource& from, uint32_t frame, std::string& out) {
    Stream in(from);
    TiffPtr source = OpenFrame(in, frame);
    uint16_t compression = COMPRESSION_NONE;
    if (!source)
        return false;
    TIFFGetFieldDefaulted(source.get(), TIFFTAG_COMPRESSION, &compression);
    if (compression == COMPRESSION_OJPEG || !TIFFIsCODECConfigured(compression))
        return false;
    std::string result;
    try {  // the coded chunks and room for the tags: one allocation instead of many
        const bool tiled = TIFFIsTiled(source.get());
        const uint32_t chunks =
            tiled ? TIFFNumberOfTiles(source.get()) : TIFFNumberOfStrips(source.get());
        const uint64_t fileSize = in.Size();
        uint64_t total = 64 * 1024;
        for (uint32_t i = 0; i < chunks && total <= fileSize; ++i)
            total += TIFFGetStrileByteCount(source.get(), i);
        result.reserve(std::min<uint64_t>(total, fileSize + 64 * 1024));
    } catch (const std::exception&) {
        return false;
    }
    Stream written(&result);
    {
        TiffPtr target = Open(written, TIFFIsBigEndian(source.get()) ? "wb" : "wl");
        if (!target || !CopyTags(source.get(), target.get()) ||
            !CopyChunks(source.get(), target.get(), in) || !TIFFWriteDirectory(target.get()))
            return false;
    }
    out = std::move(result);
    return true;
}

bool EncodeTiff(const Pixels& image, bool alpha, double xDpi, double yDpi, std::string& out) {
    if (!image.bgra || image.width == 0 || image.height == 0)
        return false;
    const bool grey = image.grey && !alpha;
    const uint16_t samples = grey ? 1 : alpha ? 4 : 3;
    std::string result;
    Stream written(&result);
    {
        TiffPtr tif = Open(written, "w");
        if (!tif)
            return false;
        TIFF* t = tif.get();
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, image.width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, image.height);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, grey ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        if (alpha) {
            const uint16_t kind = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &kind);
        }
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(xDpi > 0 ? xDpi : kDefaultDpi));
        TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(yDpi > 0 ? yDpi : kDefaultDpi));
        std::vector<uint8_t> row;
        try {
            row.resize(size_t{image.width} * samples);
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (uint32_t y = 0; y < image.height; ++y) {
            const uint8_t* src = image.Row(y);
            for (uint32_t x = 0; x < image.width; ++x, src += 4) {
                uint8_t* dst = row.data() + size_t{x} * samples;
                if (grey) {
                    dst[0] = src[1];
                } else {
                    dst[0] = src[2], dst[1] = src[1], dst[2] = src[0];
                    if (alpha)
                        dst[3] = src[3];
                }
            }
            if (TIFFWriteScanline(t, row.data(), y, 0) != 1)
                return false;
        }
        if (!TIFFWriteDirectory(t))
            return false;
    }
    out = std::move(result);
    return true;
}

}  // namespace vesk::imaging
