// CVESKDocument's look at local files: the size and resolutions of a downloaded page
// image, and a file's creation time as the text the cache compares with entry dates.
#include <ctime>
#include <new>
#include <optional>

#include "document/vesk_document.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/image_info.h"

namespace {

constexpr int kFileJpeg = 0;
constexpr int kFileTiff = 1;

}  // namespace

int CVESKDocument::LoadFileInfo() {
    try {
        if (m_nFileType == kFileJpeg)
            LoadFileInfoJpg();
        else if (m_nFileType == kFileTiff)
            LoadFileInfoTif();
    } catch (const std::bad_alloc&) {
        // Leaves the listed values, as any other unreadable file does.
    }
    return 1;
}

int CVESKDocument::LoadFileInfoJpg() {
    vesk::image::ImageInfo info;
    if (!vesk::image::ReadJpegInfo(m_strTransFilePath.str(), info))
        return 0;
    m_nWidth = info.width;
    m_nHeight = info.height;
    return 1;
}

int CVESKDocument::LoadFileInfoTif() {
    vesk::image::ImageInfo info;
    if (!vesk::image::ReadTiffInfo(m_strTransFilePath.str(), info))
        return 0;
    m_nWidth = info.width;
    m_nHeight = info.height;
    // A file that gives no resolution leaves the listed ones.
    if (info.xResolution <= 0 || info.yResolution <= 0)
        return 1;
    // The device list's resolutions win when they agree with each other; a pair that
    // is unknown or disagrees is corrected from the file.
    if (m_nXResolution == 0 && m_nYResolution == 0) {
        m_nXResolution = info.xResolution;
        m_nYResolution = info.yResolution;
    } else {
        if (m_nXResolution != m_nYResolution)
            m_nXResolution = info.xResolution;
        if (m_nXResolution != m_nYResolution)
            m_nYResolution = info.yResolution;
    }
    return 1;
}

int CVESKDocument::GetFileCreationTime(const wchar_t* pszPath, CString& text) {
    if (!pszPath)
        return 0;
    try {
        text = L"";
        const std::optional<std::time_t> created = vesk::fs::CreationTime(pszPath);
        std::tm local{};
        if (!created || !vesk::ToLocalTime(*created, local))
            return 0;
        text.Format(L"%d/%02d/%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                    local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        return 1;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
