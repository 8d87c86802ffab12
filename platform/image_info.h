// Size and resolution of a local JPEG or TIFF file, read from its header only (no
// pixels are decoded): on libjpeg-turbo and libtiff (image_info_posix.cpp), on the
// Windows Imaging Component (image_info_win32.cpp). Each reader checks the file's content first: a
// file of the other kind, a truncated file or garbage is refused cleanly, and nothing is written to
// the caller's record unless the read succeeded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk::image {

struct ImageInfo {
    int width = 0;
    int height = 0;
    // Dots per inch of the first page; 0 when the file does not say (JPEG never sets them).
    int xResolution = 0;
    int yResolution = 0;
    bool operator==(const ImageInfo&) const = default;
};

// The bytes a reader walks through: a file, or memory (tests and fuzzing).
class ISource {
public:
    virtual ~ISource() = default;
    // Up to n bytes into out; 0 at the end or on an error.
    virtual size_t Read(void* out, size_t n) = 0;
    virtual bool Seek(uint64_t offset) = 0;
    virtual uint64_t Tell() const = 0;
    virtual uint64_t Size() const = 0;
};

class MemorySource : public ISource {
public:
    MemorySource(const void* data, size_t size)
        : m_data(static_cast<const unsigned char*>(data)), m_size(size) {}
    size_t Read(void* out, size_t n) override;
    bool Seek(uint64_t offset) override;
    uint64_t Tell() const override { return m_pos; }
    uint64_t Size() const override { return m_size; }

private:
    const unsigned char* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// First bytes of the kinds: FF D8 FF for JPEG; "II*\0", "MM\0*" (or their BigTIFF
// forms with '+') for TIFF. The source is left at its start.
bool LooksLikeJpeg(ISource& source);
bool LooksLikeTiff(ISource& source);

// Width and height of a baseline or progressive JPEG. Resolutions stay 0.
bool ReadJpegInfo(ISource& source, ImageInfo& info);
// Width, height and resolutions of the first page of a TIFF. A resolution given per
// centimetre is turned into dots per inch; a missing or absurd one is 0.
bool ReadTiffInfo(ISource& source, ImageInfo& info);

// A TIFF resolution in dots per inch: a value per centimetre is converted; a missing
// (0), negative, non-finite or absurd one (over a million dpi) gives 0.
int ResolutionDpi(double value, bool perCentimetre);

// The same over the file at exactly path (no pattern matching).
bool ReadJpegInfo(const std::wstring& path, ImageInfo& info);
bool ReadTiffInfo(const std::wstring& path, ImageInfo& info);

}  // namespace vesk::image
