// Images read with a client's own decoders, not with the emulator's code: libjpeg and
// libtiff on POSIX (decoded_image_posix.cpp), GDI+ on Windows (decoded_image_win32.cpp,
// where Wine's GDI+ cannot read a JPEG-compressed TIFF).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::test {

struct JpegInfo {
    int width = 0;
    int height = 0;
    int components = 0;
    int density = 0;  // dots per inch when the unit is inches
    std::vector<unsigned char> pixels;
};
// Decodes a whole JPEG; false (and why) when it is not a valid one.
bool DecodeJpeg(const std::vector<unsigned char>& data, JpegInfo& info, std::string& why);

struct TiffPage {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bits = 0;
    uint16_t compression = 0;
    float xres = 0;
    std::vector<uint32_t> rgba;
};
// Decodes every page of a TIFF file (or its bytes); false on any failure.
bool DecodeTiffFile(const std::string& path, std::vector<TiffPage>& pages);
bool DecodeTiff(const std::vector<unsigned char>& data, std::vector<TiffPage>& pages);
// The number of pages of a TIFF file's bytes; -1 when it is not one.
int TiffPageCount(const std::vector<unsigned char>& data);

}  // namespace vesk::test
