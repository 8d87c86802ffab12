// The image codecs behind the GDI+ layer: JPEG on libjpeg-turbo, TIFF on libtiff, BMP of
// our own. JPEG and BMP work on whole files held in memory; TIFF reads either memory or
// a file descriptor the caller opened for the one call (with pread, so only what the
// call needs is read). Every reader checks sizes against the data it was given and
// refuses images of more than kMaxPixels; no reader writes to stderr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vesk::imaging {

using Bytes = std::span<const uint8_t>;

// Larger images are refused: 128 Mpx is an A3 page at 1000 dpi, 512 MiB of pixels.
inline constexpr uint64_t kMaxPixels = uint64_t{1} << 27;

enum class Kind { kUnknown, kJpeg, kTiff, kBmp };
// By the first bytes only: FF D8 FF; "II*\0" or "MM\0*"; "BM".
Kind Sniff(Bytes data);

// GDI+ pixel format values (the GDI+ headers' PixelFormat* constants).
enum : int32_t {
    kFormat1bppIndexed = 0x30101,
    kFormat4bppIndexed = 0x30402,
    kFormat8bppIndexed = 0x30803,
    kFormat16bppGrayScale = 0x101004,
    kFormat16bppRGB555 = 0x21005,
    kFormat16bppRGB565 = 0x21006,
    kFormat24bppRGB = 0x21808,
    kFormat32bppRGB = 0x22009,
    kFormat32bppARGB = 0x26200A,
    kFormat48bppRGB = 0x10300C,
    kFormat64bppARGB = 0x34400D,
    kFormat32bppCMYK = 0x200F,
};

// What a frame says about itself, without decoding its pixels.
struct FrameInfo {
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t pixelFormat = 0;
    double xDpi = 0;  // the file's value, or kDefaultDpi when it gives none
    double yDpi = 0;
};
inline constexpr double kDefaultDpi = 96;

// Decoded pixels: rows top to bottom, 4 bytes a pixel (blue, green, red, alpha), no
// padding. `grey` says every pixel has equal colour samples and full alpha, so an
// encoder may write one sample a pixel.
struct Pixels {
    uint32_t width = 0;
    uint32_t height = 0;
    bool grey = false;
    std::unique_ptr<uint8_t[]> bgra;

    size_t Stride() const { return size_t{width} * 4; }
    uint8_t* Row(uint32_t y) { return bgra.get() + y * Stride(); }
    const uint8_t* Row(uint32_t y) const { return bgra.get() + y * Stride(); }
    // Uninitialised pixels; false (and nothing allocated) past kMaxPixels or without memory.
    bool Allocate(uint32_t w, uint32_t h);
};

// ---- JPEG ----
bool JpegInfo(Bytes data, FrameInfo& info);
// The whole image, or, when minWidth and minHeight are not 0, the image decoded at the
// smallest DCT scale (n/8) whose size still covers minWidth × minHeight. A file whose
// coded data ends early is refused.
bool DecodeJpeg(Bytes data, uint32_t minWidth, uint32_t minHeight, Pixels& out);
// The image decoded at the smallest DCT scale that covers width × height and resampled
// to exactly that size as it is decoded (as DecodeJpeg then Resize, without holding the
// decoded image).
bool DecodeJpegResized(Bytes data, uint32_t width, uint32_t height, Pixels& out);
// Baseline JPEG with a JFIF header giving dpi (when positive); one sample a pixel for
// grey images. quality 0..100.
bool EncodeJpeg(const Pixels& image, int quality, double xDpi, double yDpi, std::string& out);

// ---- TIFF ----
// Where a TIFF's bytes are: in memory, or in an open file of the given size read with
// pread (the descriptor's offset is left alone). A file that reads short or fails makes
// the call fail as malformed data would.
struct TiffSource {
    TiffSource(Bytes bytes) : data(bytes) {}  // implicit: callers pass bytes as they are
    TiffSource(int descriptor, uint64_t length) : fd(descriptor), size(length) {}

    Bytes data;
    int fd = -1;
    uint64_t size = 0;
};

// Number of pages (image directories); 0 for data libtiff cannot open, or when `first`
// is given and the first page's description does not read (then filled in).
uint32_t TiffFrameCount(const TiffSource& source, FrameInfo* first = nullptr);
bool TiffInfo(const TiffSource& source, uint32_t frame, FrameInfo& info);
bool DecodeTiff(const TiffSource& source, uint32_t frame, Pixels& out);
// The page as a one-page TIFF whose strips or tiles are copied as they are coded, with
// the tags that describe them (size, samples, photometric, compression and its tables,
// resolution). False when its compression cannot be copied that way (old-style JPEG,
// one libtiff does not know) or on malformed data.
bool CopyTiffFrame(const TiffSource& source, uint32_t frame, std::string& out);
// LZW-coded grey (8-bit) or RGB/RGBA pixels with the given resolution.
bool EncodeTiff(const Pixels& image, bool alpha, double xDpi, double yDpi, std::string& out);

// ---- BMP ----
// Uncompressed or bit-field BMP: 1, 4, 8 (palette), 16, 24 and 32 bits, rows either way.
bool BmpInfo(Bytes data, FrameInfo& info);
bool DecodeBmp(Bytes data, Pixels& out);
// 8-bit grey palette for grey images, 32 bits with alpha when `alpha`, else 24 bits.
bool EncodeBmp(const Pixels& image, bool alpha, double xDpi, double yDpi, std::string& out);

// ---- Scaling ----
// Area-averaging resample to width × height (both positive).
bool Resize(const Pixels& in, uint32_t width, uint32_t height, Pixels& out);

// Source samples and their weights for each destination index of one axis.
struct ResampleTaps {
    std::vector<uint32_t> first;   // first source index per destination index
    std::vector<uint32_t> offset;  // into weights, one more entry than destinations
    std::vector<uint32_t> weights;
};

// The resample of Resize fed one source row at a time, top to bottom, so that no whole
// source image needs to be held: each destination row is written once its last source
// row is in. The result is the same as Resize's.
class RowScaler {
public:
    // Allocates `out` (width × height, `grey` as given). False without memory.
    bool Start(uint32_t fromWidth, uint32_t fromHeight, uint32_t width, uint32_t height, bool grey,
               Pixels& out);
    // A buffer of one source row (fromWidth × 4 bytes) a caller may fill and Push.
    uint8_t* InputRow() { return m_input.data(); }
    void Push(const uint8_t* row);

private:
    void Emit(uint32_t y);

    ResampleTaps m_across;
    ResampleTaps m_down;
    std::vector<uint8_t> m_input;
    std::vector<uint16_t> m_ring;  // the latest source rows scaled across, 8 fraction bits
    std::vector<uint32_t> m_acc;
    uint32_t m_ringRows = 0;
    uint32_t m_nextIn = 0;
    uint32_t m_nextOut = 0;
    Pixels* m_out = nullptr;
};

}  // namespace vesk::imaging
