// libFuzzer target for the header readers behind CVESKDocument::LoadFileInfo: any bytes,
// read as a JPEG and as a TIFF, from memory and from a file. A reader either refuses or
// gives a positive size; the file and memory roads agree; the kinds never overlap.
#include <cstdint>
#include <string>

#include "platform/charset.h"
#include "platform/image_info.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using vesk::image::ImageInfo;

// Reads data both ways with read; returns whether it succeeded.
template <class Read>
bool ReadBothWays(const uint8_t* data, size_t size, const std::string& file, Read read) {
    vesk::image::MemorySource memory(data, size);
    ImageInfo fromMemory;
    ImageInfo fromFile;
    const bool ok = read(memory, fromMemory);
    if (ok)
        Check(fromMemory.width > 0 && fromMemory.height > 0 && fromMemory.xResolution >= 0 &&
                  fromMemory.yResolution >= 0,
              "a read image has a size and no negative resolution");
    Check(read(vesk::Utf8ToWide(file), fromFile) == ok, "the file agrees with memory");
    Check(fromFile == fromMemory, "the same values from the file");
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& file = WriteScratchFile("fileinfo", data, size);
    const bool jpeg = ReadBothWays(data, size, file, [](auto&& from, ImageInfo& info) {
        return vesk::image::ReadJpegInfo(from, info);
    });
    const bool tiff = ReadBothWays(data, size, file, [](auto&& from, ImageInfo& info) {
        return vesk::image::ReadTiffInfo(from, info);
    });
    Check(!(jpeg && tiff), "one file is never both kinds");
    return 0;
}
