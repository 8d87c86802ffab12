// libFuzzer target for the header readers behind CVESKDocument::LoadFileInfo: any bytes,
// read as a JPEG and as a TIFF, from memory and from a file. A reader either refuses or
// gives a positive size; the file and memory roads agree; the kinds never overlap.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "document/image_info.h"
#include "platform/charset.h"

namespace {

using vesk::image::ImageInfo;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void CheckSane(const ImageInfo& info) {
    Check(info.width > 0 && info.height > 0, "a read image has a size");
    Check(info.xResolution >= 0 && info.yResolution >= 0, "resolutions are never negative");
}

const std::string& TempPath() {
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        return std::string(base && *base ? base : "/tmp") + "/fileinfo-fuzz-" +
               std::to_string(getpid());
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ImageInfo jpeg;
    ImageInfo tiff;
    vesk::image::MemorySource jpegBytes(data, size);
    vesk::image::MemorySource tiffBytes(data, size);
    const bool isJpeg = vesk::image::ReadJpegInfo(jpegBytes, jpeg);
    const bool isTiff = vesk::image::ReadTiffInfo(tiffBytes, tiff);
    Check(!(isJpeg && isTiff), "one file is never both kinds");
    if (isJpeg)
        CheckSane(jpeg);
    if (isTiff)
        CheckSane(tiff);

    // The road LoadFileInfo takes: the same bytes in a file at an exact path.
    FILE* f = std::fopen(TempPath().c_str(), "wb");
    if (!f)
        return 0;
    const bool written = std::fwrite(data, 1, size, f) == size;
    std::fclose(f);
    if (!written)
        return 0;
    const std::wstring path = vesk::Utf8ToWide(TempPath());
    ImageInfo fromFile;
    Check(vesk::image::ReadJpegInfo(path, fromFile) == isJpeg, "JPEG: file agrees with memory");
    if (isJpeg)
        Check(fromFile == jpeg, "JPEG: same size from file");
    fromFile = {};
    Check(vesk::image::ReadTiffInfo(path, fromFile) == isTiff, "TIFF: file agrees with memory");
    if (isTiff)
        Check(fromFile == tiff, "TIFF: same values from file");
    return 0;
}
