// Page images for the emulated device: synthetic scans, JPEG and TIFF in memory
// (libjpeg-turbo, libtiff), conversions between them and thumbnails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mfpsim::img {

// 8-bit samples, 1 (grey) or 3 (RGB) channels, rows top to bottom without padding.
// A bilevel page is a grey image holding only 0 and 255.
struct Image {
    int width = 0;
    int height = 0;
    int channels = 1;
    int dpi = 0;  // 0: unknown
    std::vector<uint8_t> pixels;

    bool Empty() const { return width <= 0 || height <= 0; }
    uint8_t* Row(int y) { return pixels.data() + static_cast<size_t>(y) * width * channels; }
    const uint8_t* Row(int y) const {
        return pixels.data() + static_cast<size_t>(y) * width * channels;
    }
};

enum class PageStyle { kBilevel, kGrey, kColour };

// A deterministic text-like page: header bar, lines of word blocks, and for colour
// pages a coloured picture block. The page number is drawn as that many short bars in
// the top-right corner so a page can be told apart after a round trip.
Image SyntheticPage(uint32_t seed, int pageNumber, int width, int height, PageStyle style, int dpi);

std::vector<uint8_t> EncodeJpeg(const Image& image, int quality = 85);
// Returns false on malformed data.
bool DecodeJpeg(const std::vector<uint8_t>& data, Image& out);
// Size, channels and resolution from the header only.
bool JpegInfo(const std::vector<uint8_t>& data, int& width, int& height, int& channels, int& dpi);

enum class TiffCoding {
    kAuto,  // G4 for bilevel grey images, LZW otherwise
    kG4,    // 1 bit, CCITT group 4 (grey input is thresholded)
    kLzw,   // 8-bit grey or RGB, LZW
};
// One TIFF file with one directory per page.
std::vector<uint8_t> EncodeTiff(const std::vector<Image>& pages,
                                TiffCoding coding = TiffCoding::kAuto);
// Every page of a TIFF file, as grey (1-sample files) or RGB images.
bool DecodeTiff(const std::vector<uint8_t>& data, std::vector<Image>& out);
// Number of pages without decoding them; -1 on malformed data.
int CountTiffPages(const std::vector<uint8_t>& data);
// The group-4 coded bits of one bilevel image, as a PDF CCITTFaxDecode filter expects.
std::vector<uint8_t> EncodeG4Raw(const Image& bilevel);

// A page ready to be placed into a PDF or XPS: JPEG data (passed through unchanged) or
// group-4 coded bilevel bits.
struct EncodedPage {
    bool g4 = false;
    std::vector<uint8_t> data;
    int width = 0;
    int height = 0;
    int channels = 1;
    int dpi = 0;
};
bool PageFromJpeg(std::vector<uint8_t> jpeg, EncodedPage& out);
// Bilevel images become group 4, others JPEG.
EncodedPage PageFromImage(const Image& image);

bool IsBilevel(const Image& image);
Image ToGrey(const Image& image);
Image Threshold(const Image& image, uint8_t level = 128);
// Area-averaging scale to the given size.
Image Scale(const Image& image, int width, int height);

// 8-bit grey thumbnail exactly 104 pixels wide, no row padding, rows top to bottom.
inline constexpr int kRawThumbnailWidth = 104;
std::vector<uint8_t> RawThumbnail(const Image& page);
// JPEG thumbnail whose longer side is `side` pixels.
std::vector<uint8_t> JpegThumbnail(const Image& page, int side = 160);

}  // namespace mfpsim::img
