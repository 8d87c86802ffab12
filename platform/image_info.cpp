// What the header readers share on every platform: the sources they read from, the
// signature checks, and the resolution rule.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "platform/file.h"
#include "platform/image_info.h"

namespace vesk::image {

namespace {

constexpr double kMaxDpi = 1e6;  // beyond this a resolution is garbage, not a scan

bool StartsWith(ISource& source, std::initializer_list<const char*> magics, size_t length) {
    unsigned char head[4] = {};
    const bool read = source.Seek(0) && source.Read(head, length) == length;
    source.Seek(0);
    if (!read)
        return false;
    return std::any_of(magics.begin(), magics.end(),
                       [&](const char* m) { return std::memcmp(head, m, length) == 0; });
}

// A file at one exact path, read through CFile.
class FileSource : public ISource {
public:
    bool Open(const std::wstring& path) {
        if (!m_file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone | CFile::typeBinary))
            return false;
        try {
            m_size = m_file.GetLength();
        } catch (const CFileException&) {
            return false;
        }
        return true;
    }
    size_t Read(void* out, size_t n) override {
        try {
            const unsigned got =
                m_file.Read(out, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
            m_pos += got;
            return got;
        } catch (const CFileException&) {
            return 0;
        }
    }
    bool Seek(uint64_t offset) override {
        if (offset > m_size || offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return false;
        try {
            m_pos = m_file.Seek(static_cast<int64_t>(offset), CFile::begin);
            return m_pos == offset;
        } catch (const CFileException&) {
            return false;
        }
    }
    uint64_t Tell() const override { return m_pos; }
    uint64_t Size() const override { return m_size; }

private:
    CFile m_file;
    uint64_t m_size = 0;
    uint64_t m_pos = 0;
};

}  // namespace

size_t MemorySource::Read(void* out, size_t n) {
    const size_t got = std::min(n, m_size - m_pos);
    if (got)
        std::memcpy(out, m_data + m_pos, got);
    m_pos += got;
    return got;
}

bool MemorySource::Seek(uint64_t offset) {
    if (offset > m_size)
        return false;
    m_pos = static_cast<size_t>(offset);
    return true;
}

bool LooksLikeJpeg(ISource& source) {
    return StartsWith(source, {"\xFF\xD8\xFF"}, 3);
}

bool LooksLikeTiff(ISource& source) {
    return StartsWith(source, {"II*\0", "MM\0*", "II+\0", "MM\0+"}, 4);
}

int ResolutionDpi(double value, bool perCentimetre) {
    double v = value;
    if (!std::isfinite(v) || v <= 0)
        return 0;
    if (perCentimetre)
        v *= 2.54;
    if (v > kMaxDpi)
        return 0;
    return static_cast<int>(std::lround(v));
}

bool ReadJpegInfo(const std::wstring& path, ImageInfo& info) {
    FileSource file;
    return file.Open(path) && ReadJpegInfo(static_cast<ISource&>(file), info);
}

bool ReadTiffInfo(const std::wstring& path, ImageInfo& info) {
    FileSource file;
    return file.Open(path) && ReadTiffInfo(static_cast<ISource&>(file), info);
}

}  // namespace vesk::image
