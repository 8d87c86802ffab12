// CVESKCache: settings, registry values, tree folders and names, size accounting.
#include "cache/vesk_cache.h"

#include <climits>
#include <cstdint>
#include <new>
#include <string>

#include "cache/cache_fs.h"
#include "cache/cache_tree.h"
#include "cache/utility.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "platform/registry.h"

namespace {

constexpr wchar_t kRegistryKey[] = L"Software\\Orvane\\HALD3.1\\cache";
constexpr wchar_t kValueAvailSize[] = L"AVAIL_CACHE_SIZE";
constexpr wchar_t kValueMode[] = L"CACHE_MODE";
constexpr wchar_t kValueDeleteType[] = L"DELETE_TYPE";
constexpr wchar_t kValueRootDir[] = L"CACHE_ROOT_DIR";

constexpr int kDefaultMode = 2;
constexpr int kDefaultLimitMb = 300;
// The widest range of the size limit that any volume allows (LimitRangeForVolume).
constexpr int kMinLimitMb = 30;
constexpr int kMaxLimitMb = 300;
constexpr int kDefaultDeleteType = 0;

constexpr int kMemoryException = -1001;
constexpr int kMaxNameTries = 10;
constexpr int kHexLevelChars = 32;

// Every exported operation keeps a memory exception inside the library. Only the
// outermost one catches it, so an operation that calls others reports -1001 itself
// instead of carrying on with a half-made result.
thread_local int t_guardDepth = 0;

struct GuardScope {
    GuardScope() { ++t_guardDepth; }
    ~GuardScope() { --t_guardDepth; }
    GuardScope(const GuardScope&) = delete;
    GuardScope& operator=(const GuardScope&) = delete;
};

template <class F>
int Guarded(F&& f) {
    if (t_guardDepth > 0)
        return f();
    GuardScope scope;
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return kMemoryException;
    }
}

std::string Native(const CString& s) {
    return vesk::WideToUtf8(s.str());
}

}  // namespace

namespace vesk::cache {

void LimitRangeForVolume(uint64_t totalBytes, int& minSize, int& maxSize) {
    const uint64_t mb = totalBytes / 1024 / 1024;
    minSize = 30;
    int top = mb > 300 ? 300 : static_cast<int>(mb);
    if (top < 30)
        top = 30;
    maxSize = top / 30 * 30;
}

}  // namespace vesk::cache

CVESKCache::CVESKCache() {
    // Running out of memory here fails the construction, as it would for `new` itself.
    GuardScope scope;
    CString base;
    GetUserProfileDir(base);
    m_strTransRootDir = base;
    m_strTempRootDir = base;
    m_strCacheRootDir = base;
}

CVESKCache::CVESKCache(const CVESKCache& other) : CObject() {
    *this = other;
}

CVESKCache& CVESKCache::operator=(const CVESKCache& other) {
    if (this == &other)
        return *this;
    m_strMfpName = other.m_strMfpName;
    m_strUserName = other.m_strUserName;
    m_strBoxID = other.m_strBoxID;
    m_nBoxLogin = other.m_nBoxLogin;
    m_strTransRootDir = other.m_strTransRootDir;
    m_strTempRootDir = other.m_strTempRootDir;
    m_strCacheRootDir = other.m_strCacheRootDir;
    m_nCacheMode = other.m_nCacheMode;
    m_nMaxAvailDiskSize = other.m_nMaxAvailDiskSize;
    m_nDeleteType = other.m_nDeleteType;
    return *this;
}

CVESKCache::~CVESKCache() = default;

// ---- settings --------------------------------------------------------------------------

int CVESKCache::GetCacheFileRootDir(CString& dir) const {
    return Guarded([&] {
        dir = m_strCacheRootDir;
        return 1;
    });
}

int CVESKCache::SetCacheMode(int mode) {
    if (mode < 0 || mode > 2)
        return 0;
    m_nCacheMode = mode;
    return 1;
}

int CVESKCache::SetDeleteType(int type) {
    if (type < 0 || type > 2)
        return 0;
    m_nDeleteType = type;
    return 1;
}

int CVESKCache::SetMaxAvailDiskSize(int mb) {
    return Guarded([&] {
        int lo = 0;
        int hi = 0;
        GetAvailCacheSize(m_strCacheRootDir, lo, hi);
        if (mb < lo || mb > hi)
            return 0;
        m_nMaxAvailDiskSize = mb;
        return 1;
    });
}

int CVESKCache::GetAvailCacheSize(const wchar_t* dir, int& minSize, int& maxSize) {
    return Guarded([&] {
        const CString root = CUtility::GetDriveRoot(dir);
        uint64_t bytes = 0;
        if (!root.IsEmpty())
            bytes = vesk::fs::VolumeTotalBytes(root.str()).value_or(0);
        vesk::cache::LimitRangeForVolume(bytes, minSize, maxSize);
        return 1;
    });
}

int CVESKCache::SetCacheFileRootDir(const wchar_t* dir) {
    return Guarded([&] {
        if (dir == nullptr || *dir == L'\0') {
            CString base;
            GetUserProfileDir(base);
            m_strCacheRootDir = base;
            return 1;
        }
        if (!CUtility::IsDirectoryExist(dir))
            return 0;
        const CString root = CUtility::GetDriveRoot(dir);
        if (root.IsEmpty() || !vesk::fs::IsFixedVolume(root.str()))
            return 0;
        int lo = 0;
        int hi = 0;
        if (GetAvailCacheSize(dir, lo, hi) != 1)
            return 0;
        if (m_nMaxAvailDiskSize < lo)
            m_nMaxAvailDiskSize = lo;
        if (m_nMaxAvailDiskSize > hi)
            m_nMaxAvailDiskSize = hi;
        m_strCacheRootDir = dir;
        return 1;
    });
}

int CVESKCache::LoadParameterFromRegistry() {
    return Guarded([&] {
        using vesk::reg::Disposition;
        Disposition disposition = Disposition::OpenedExistingKey;
        auto key =
            vesk::reg::Key::CreateOrOpen(vesk::reg::Hive::CurrentUser, kRegistryKey, &disposition);
        if (!key)
            return 0;
        if (disposition == Disposition::CreatedNewKey) {
            CString base;
            GetUserProfileDir(base);
            m_nMaxAvailDiskSize = kDefaultLimitMb;
            m_nCacheMode = kDefaultMode;
            m_nDeleteType = kDefaultDeleteType;
            m_strCacheRootDir = base;
            return 1;
        }
        const auto limit = key->GetDword(kValueAvailSize);
        if (!limit)
            return 0;
        const auto mode = key->GetDword(kValueMode);
        if (!mode)
            return 0;
        const auto type = key->GetDword(kValueDeleteType);
        if (!type)
            return 0;
        const auto root = key->GetString(kValueRootDir);
        if (!root)
            return 0;
        // A value the setters would refuse counts as missing: a stored limit of 0
        // would otherwise empty the cache on every eviction.
        if (*limit < static_cast<uint32_t>(kMinLimitMb) ||
            *limit > static_cast<uint32_t>(kMaxLimitMb) || *mode > 2 || *type > 2) {
            return 0;
        }
        m_nMaxAvailDiskSize = static_cast<int>(*limit);
        m_nCacheMode = static_cast<int>(*mode);
        m_nDeleteType = static_cast<int>(*type);
        m_strCacheRootDir = CString(*root);
        return 1;
    });
}

int CVESKCache::SaveParameterToRegistry() {
    return Guarded([&] {
        auto key = vesk::reg::Key::Open(vesk::reg::Hive::CurrentUser, kRegistryKey);
        if (!key)
            return 0;
        if (!key->SetDword(kValueAvailSize, static_cast<uint32_t>(m_nMaxAvailDiskSize)))
            return 0;
        if (!key->SetDword(kValueMode, static_cast<uint32_t>(m_nCacheMode)))
            return 0;
        if (!key->SetDword(kValueDeleteType, static_cast<uint32_t>(m_nDeleteType)))
            return 0;
        if (!key->SetString(kValueRootDir, m_strCacheRootDir.str()))
            return 0;
        return 1;
    });
}

int CVESKCache::UpdateCacheData(int mode, CString rootDir) {
    return Guarded([&] {
        if (mode < 0 || mode > 2)
            return 0;
        m_nCacheMode = mode;
        if (!vesk::cache::SamePathText(rootDir.str(), m_strCacheRootDir.str())) {
            DeleteAllCacheFiles(1);
            if (SetCacheFileRootDir(rootDir) != 1)
                return 0;
        }
        if (mode == 0) {
            const int cache = DeleteAllCacheFiles(1);
            const int temp = DeleteAllTempFiles(0);
            return cache == 1 && temp == 1 ? 1 : 0;
        }
        return DeleteCacheExtraSize();
    });
}

// ---- folders and names -----------------------------------------------------------------

int CVESKCache::GetUserProfileDir(CString& dir) {
    return Guarded([&] {
        const CString base = CUtility::GetAllUsersProfileDir();
        if (base.IsEmpty())
            return 0;
        const std::wstring s(1, vesk::fs::kPathSeparator);
        const std::wstring kLevels[] = {s + L"ORVANE" + s, s + L"ORVANE" + s + L"HALD" + s,
                                        s + L"ORVANE" + s + L"HALD" + s + L"3.1" + s};
        // Every device item's cache asks; one look settles it once the folders exist.
        CString path = base + kLevels[2].c_str();
        bool made = vesk::fs::IsDirectory(path.str());
        if (!made) {
            for (const std::wstring& level : kLevels) {
                path = base + level.c_str();
                if (!vesk::fs::Exists(path.str()))
                    vesk::fs::CreateDirectory(path.str());
            }
            made = vesk::fs::IsDirectory(path.str());
        }
        dir = path;
        // The path is handed out either way, but a folder that could not be made is a
        // failure the caller should hear about.
        return made ? 1 : 0;
    });
}

int CVESKCache::GetCacheDirectory(CString& dir) {
    return Guarded([&] {
        dir = CUtility::JoinPath(m_strCacheRootDir, L"QBOXCACHE");
        return 1;
    });
}

int CVESKCache::GetTempFileRootDir(CString& dir) {
    return Guarded([&] {
        dir = CUtility::JoinPath(m_strTempRootDir, L"QBOXCTEMP");
        return 1;
    });
}

int CVESKCache::GetTransFileRootDir(CString& dir) {
    return Guarded([&] {
        dir = CUtility::JoinPath(m_strTransRootDir, L"QBOXTRANS");
        return 1;
    });
}

int CVESKCache::GetTransFileDir(CString& dir, int create) {
    return Guarded([&] {
        CString path;
        GetTransFileRootDir(path);
        // One working string for all three levels: an empty name keeps the previous
        // level's text, and an empty first level leaves no folder at all.
        CString work;
        CString level;
        ConvertNameToHex(work, m_strMfpName);
        ConvertHexNameToHexCacheMfpName(level, work);
        path = CUtility::JoinPath(path, level);
        ConvertNameToHex(work, m_strUserName);
        ConvertHexNameToHexCacheMfpUserName(level, work);
        path = CUtility::JoinPath(path, level);
        ConvertNameToHex(work, m_strBoxID);
        path = CUtility::JoinPath(path, work);
        if (create == 1 && !CUtility::IsDirectoryExist(path) &&
            !CUtility::CreateDirectoryTree(path))
            return 0;
        dir = path;
        return 1;
    });
}

int CVESKCache::GetTransFilePath(CString& path, CString dir, CString name, int newFolder,
                                 int fileType, int kind) {
    return Guarded([&] {
        CString folder = dir;
        if (folder.IsEmpty() && GetTransFileDir(folder, 1) != 1)
            return 0;
        if (newFolder != 0) {
            CString sub;
            if (!CUtility::GetUniqueFolder(sub, folder, 1))
                return 0;
            folder = sub;
        }
        if (name.IsEmpty()) {
            CString file;
            if (!CUtility::GetUniqueFile(file, folder, fileType, kind))
                return 0;
            path = file;
            return 1;
        }
        // A name without a dot keeps all of it as its stem rather than losing it.
        const int dot = name.ReverseFind(L'.');
        const CString stem = dot < 0 ? name : name.Left(dot);
        // Only the stem is escaped: its trailing spaces and dots are trailing ones of
        // the name the user sees before the extension ("a .jpg" -> "a%20.jpg").
        CString file = CUtility::EscapeFileName(stem);
        if (const wchar_t* ext = CUtility::FileTypeExtension(fileType))
            file += ext;
        CString target = CUtility::JoinPath(folder, file);
        if (!CUtility::CreateValidNewFile(target, kMaxNameTries))
            return 0;
        path = target;
        return 1;
    });
}

int CVESKCache::ConvertNameToHex(CString& hex, const wchar_t* name) {
    return Guarded([&] {
        if (name == nullptr || *name == L'\0')
            return 0;
        std::wstring out;
        auto put = [&out](unsigned unit) {
            static const wchar_t kHex[] = L"0123456789abcdef";
            const unsigned low = unit & 0xFF;
            if (low >= 16)
                out += kHex[low >> 4];
            out += kHex[low & 0xF];
        };
        for (const wchar_t* p = name; *p; ++p) {
            auto c = static_cast<char32_t>(*p);
            if (c > 0x10FFFF)
                c = 0xFFFD;
            if (c >= 0x10000) {
                // The two UTF-16 units a Windows build would hold for this character.
                c -= 0x10000;
                put(0xD800 + (c >> 10));
                put(0xDC00 + (c & 0x3FF));
            } else {
                put(c);
            }
        }
        hex = CString(std::move(out));
        return 1;
    });
}

int CVESKCache::ConvertHexNameToHexCacheMfpName(CString& out, const wchar_t* hex) {
    return Guarded([&] {
        if (hex == nullptr)
            return 0;
        out = CString(vesk::Utf16Left(hex, kHexLevelChars));
        return 1;
    });
}

int CVESKCache::ConvertHexNameToHexCacheMfpUserName(CString& out, const wchar_t* hex) {
    return ConvertHexNameToHexCacheMfpName(out, hex);
}

// ---- size accounting and eviction ------------------------------------------------------

int CVESKCache::GetTotalUsedCacheSize(const wchar_t* dir) {
    // A size, not a result code: running out of memory measures nothing.
    try {
        if (!CUtility::IsDirectoryExist(dir))
            return 0;
        const int64_t mb = vesk::cache::MeasureTree(vesk::WideToUtf8(dir));
        return mb > INT_MAX ? INT_MAX : static_cast<int>(mb);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int CVESKCache::DeleteCacheExtraSize() {
    return Guarded([&] {
        CString dir;
        GetCacheDirectory(dir);
        if (dir.IsEmpty())
            return 0;
        vesk::cache::EvictTree(Native(dir), m_nMaxAvailDiskSize);
        return 1;
    });
}

int CVESKCache::EmptyTree(const CString& dir, int removeRoot) {
    if (dir.IsEmpty() || !CUtility::IsDirectoryExist(dir))
        return 1;
    const std::string native = Native(dir);
    vesk::cache::EmptyFolder(native);
    if (removeRoot == 1)
        vesk::cache::RemoveEmptyFolder(native);
    return 1;
}

int CVESKCache::DeleteAllCacheFiles(int removeRoot) {
    return Guarded([&] {
        CString dir;
        GetCacheDirectory(dir);
        return EmptyTree(dir, removeRoot);
    });
}

int CVESKCache::DeleteAllTempFiles(int removeRoot) {
    return Guarded([&] {
        CString dir;
        GetTempFileRootDir(dir);
        return EmptyTree(dir, removeRoot);
    });
}

int CVESKCache::DeleteAllTransFiles(int removeRoot) {
    return Guarded([&] {
        CString dir;
        GetTransFileRootDir(dir);
        return EmptyTree(dir, removeRoot);
    });
}
