#include "cache_env.h"

#include <algorithm>
#include <filesystem>

#include "platform/fs.h"
#include "tree_builder.h"

namespace vesk::cachetest {

CString CacheEnv::BaseDir() const {
    return CString(Profile()) + Native(L"/ORVANE/HALD/3.1/");
}

CString Native(const wchar_t* text) {
    std::wstring s(text);
    std::replace(s.begin(), s.end(), L'/', fs::kPathSeparator);
    return CString(std::move(s));
}

bool WindowsNames() {
    return fs::kPathSeparator == L'\\';
}

std::string CacheEnv::CacheDir() const {
    const std::string dir = Profile() + "/ORVANE/HALD/3.1/QBOXCACHE";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir;
}

Undeletable::Undeletable(const std::string& path) {
    m_ok = m_file.Open(Utf8ToWide(path).c_str(), CFile::modeRead | CFile::shareDenyWrite) &&
           SetImmutable(m_file, true);
}

Undeletable::~Undeletable() {
    if (m_ok)
        SetImmutable(m_file, false);
}

bool CanMakeUndeletable(const std::string& scratchDir) {
    const std::string probe = scratchDir + "/undeletable-probe";
    MakeSparseFile(probe, 0, 0);
    bool ok = false;
    {
        Undeletable u(probe);
        ok = u.Ok() && !fs::RemoveFile(Utf8ToWide(probe));
    }
    fs::RemoveFile(Utf8ToWide(probe));
    return ok;
}

}  // namespace vesk::cachetest
