// CUtility: path, name and file-date helpers on top of platform/fs.h.
#include "cache/utility.h"

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include "cache/cache_fs.h"
#include "cache/unique_names.h"
#include "platform/charset.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/path.h"

using vesk::fs::kPathSeparator;

namespace {

bool IsEmpty(const wchar_t* s) {
    return s == nullptr || *s == L'\0';
}

// A value read into a fixed buffer of this many characters; one that does not fit counts
// as unset rather than being cut.
std::wstring BoundedEnv(const wchar_t* name, size_t bufferChars) {
    std::wstring v = vesk::env::Get(name);
    if (vesk::Utf16Length(v) >= bufferChars)
        return {};
    return v;
}

// ---- unique names -------------------------------------------------------------------

// The counter runs 1..kCounterWrap and then moves to the next letter, "Z" wrapping to
// "A"; one full cycle of names bounds every search.
constexpr int kCounterWrap = 1000000;
constexpr long kCycle = 26L * kCounterWrap;

struct UniqueSeriesState {
    std::mutex lock;
    vesk::cache::UniqueState state{L'A', 1};
};

UniqueSeriesState& Series(vesk::cache::UniqueSeries s) {
    static UniqueSeriesState folders;
    static UniqueSeriesState files;
    return s == vesk::cache::UniqueSeries::Folder ? folders : files;
}

void Advance(vesk::cache::UniqueState& st) {
    if (++st.counter > kCounterWrap) {
        st.counter = 1;
        st.letter = st.letter >= L'Z' ? L'A' : static_cast<wchar_t>(st.letter + 1);
    }
}

CString UniqueName(const vesk::cache::UniqueState& st, const wchar_t* ext) {
    CString name;
    name.Format(L"_%c%06d%s", st.letter, st.counter, ext);
    return name;
}

// ---- escaping -----------------------------------------------------------------------

constexpr std::wstring_view kEscaped = L"\\/:;,*?<>\"|";

void AppendEscaped(std::wstring& out, wchar_t c) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    out += L'%';
    out += kHex[(static_cast<unsigned>(c) >> 4) & 0xF];
    out += kHex[static_cast<unsigned>(c) & 0xF];
}

std::wstring EscapeReserved(std::wstring_view name) {
    std::wstring out;
    out.reserve(name.size());
    for (wchar_t c : name) {
        if (kEscaped.find(c) != std::wstring_view::npos)
            AppendEscaped(out, c);
        else
            out += c;
    }
    return out;
}

// Escapes the leading run of ch, then the trailing run of what remains.
void EscapeRuns(std::wstring& s, wchar_t ch) {
    size_t lead = 0;
    while (lead < s.size() && s[lead] == ch)
        ++lead;
    if (lead > 0) {
        std::wstring rep;
        for (size_t i = 0; i < lead; ++i)
            AppendEscaped(rep, ch);
        s.replace(0, lead, rep);
    }
    size_t end = s.size();
    while (end > 0 && s[end - 1] == ch)
        --end;
    if (end < s.size()) {
        std::wstring rep;
        for (size_t i = end; i < s.size(); ++i)
            AppendEscaped(rep, ch);
        s.replace(end, std::wstring::npos, rep);
    }
}

// ---- valid names --------------------------------------------------------------------

enum class NameCheck { Valid, TooLong, Invalid };

NameCheck CheckName(std::wstring_view name, size_t maxBytes) {
    if (name.empty() || name == L"." || name == L"..")
        return NameCheck::Invalid;
    for (wchar_t c : name) {
        const auto u = static_cast<char32_t>(c);
        // A separator or NUL would change which file is meant; a code point UTF-8
        // cannot carry would be created under another name.
        if (c == kPathSeparator || c == L'\0' || (u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF)
            return NameCheck::Invalid;
    }
    if (!vesk::cache::NameAllowed(name))
        return NameCheck::Invalid;
    if (vesk::WideToUtf8(name).size() > maxBytes)
        return NameCheck::TooLong;
    return NameCheck::Valid;
}

// Cuts s to at most maxBytes of UTF-8, keeping whole characters.
std::wstring CutToBytes(std::wstring_view s, size_t maxBytes) {
    size_t bytes = 0;
    size_t i = 0;
    for (; i < s.size(); ++i) {
        const auto u = static_cast<char32_t>(s[i]);
        const size_t w = u < 0x80 ? 1 : u < 0x800 ? 2 : u < 0x10000 ? 3 : 4;
        if (bytes + w > maxBytes)
            break;
        bytes += w;
    }
    return std::wstring(s.substr(0, i));
}

// Shortens the part before the extension so the whole name fits maxBytes; a name
// whose extension alone takes most of the room is cut as a whole.
std::wstring ShortenName(const std::wstring& name, size_t maxBytes) {
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0) {
        const std::wstring ext = name.substr(dot);
        const size_t extBytes = vesk::WideToUtf8(ext).size();
        if (extBytes <= maxBytes / 2)
            return CutToBytes(name.substr(0, dot), maxBytes - extBytes) + ext;
    }
    return CutToBytes(name, maxBytes);
}

std::wstring InsertSuffix(const std::wstring& name, int i) {
    CString suffix;
    suffix.Format(L"_%02d", i);
    const size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos)
        return name + suffix.str();
    return name.substr(0, dot) + suffix.str() + name.substr(dot);
}

// ---- dates and addresses ------------------------------------------------------------

bool ParseUInt(std::wstring_view s, int& out) {
    while (!s.empty() && iswspace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && iswspace(s.back()))
        s.remove_suffix(1);
    if (s.empty() || s.size() > 9)
        return false;
    int v = 0;
    for (wchar_t c : s) {
        if (c < L'0' || c > L'9')
            return false;
        v = v * 10 + (c - L'0');
    }
    out = v;
    return true;
}

bool ParseIPv4(const wchar_t* text, int (&octets)[4]) {
    if (text == nullptr)
        return false;
    std::wstring_view s(text);
    for (int i = 0; i < 4; ++i) {
        const size_t end = i < 3 ? s.find(L'.') : s.size();
        if (end == std::wstring_view::npos)
            return false;
        const std::wstring_view part = s.substr(0, end);
        if (part.empty() || part.size() > 3)
            return false;
        int v = 0;
        for (wchar_t c : part) {
            if (c < L'0' || c > L'9')
                return false;
            v = v * 10 + (c - L'0');
        }
        if (v > 255)
            return false;
        octets[i] = v;
        s = i < 3 ? s.substr(end + 1) : std::wstring_view();
    }
    return true;
}

}  // namespace

namespace vesk::cache {

UniqueState GetUniqueState(UniqueSeries series) {
    auto& s = Series(series);
    std::lock_guard<std::mutex> g(s.lock);
    return s.state;
}

void SetUniqueState(UniqueSeries series, UniqueState state) {
    auto& s = Series(series);
    std::lock_guard<std::mutex> g(s.lock);
    s.state = state;
}

}  // namespace vesk::cache

CString CUtility::GetAllUsersProfileDir() {
    return CString(vesk::env::Get(L"ALLUSERSPROFILE"));
}

CString CUtility::GetLoginUserName() {
    return CString(BoundedEnv(L"USERNAME", 255));
}

int CUtility::IsDirectoryExist(const wchar_t* path) {
    if (IsEmpty(path))
        return 0;
    return vesk::fs::IsDirectory(path) ? 1 : 0;
}

int CUtility::IsFileExist(const wchar_t* path) {
    if (IsEmpty(path))
        return 0;
    return vesk::fs::IsFile(path) ? 1 : 0;
}

int CUtility::CreateDirectoryTree(const wchar_t* path) {
    if (IsEmpty(path) || !vesk::fs::IsAbsolutePath(path))
        return 0;
    if (vesk::fs::IsDirectory(path))
        return 1;
    return vesk::fs::CreateDirectoryTree(path) ? 1 : 0;
}

CString CUtility::JoinPath(const wchar_t* a, const wchar_t* b) {
    if (IsEmpty(a) || IsEmpty(b))
        return CString();
    std::wstring out(a);
    if (out.back() != kPathSeparator)
        out += kPathSeparator;
    out += (b[0] == kPathSeparator) ? b + 1 : b;
    return CString(std::move(out));
}

CString CUtility::GetDirPart(const wchar_t* path) {
    if (IsEmpty(path))
        return CString();
    const std::wstring_view p(path);
    const size_t pos = p.rfind(kPathSeparator);
    if (pos == std::wstring_view::npos)
        return CString();
    return CString(p.substr(0, pos + 1));
}

CString CUtility::GetFileNameWithExt(const wchar_t* path) {
    if (IsEmpty(path))
        return CString();
    const std::wstring_view p(path);
    const size_t pos = p.rfind(kPathSeparator);
    return CString(pos == std::wstring_view::npos ? p : p.substr(pos + 1));
}

CString CUtility::GetFileTitle(const wchar_t* path) {
    const CString name = GetFileNameWithExt(path);
    const int dot = name.ReverseFind(L'.');
    return dot < 0 ? name : name.Left(dot);
}

CString CUtility::GetFileExt(const wchar_t* path, int withDot) {
    const CString name = GetFileNameWithExt(path);
    const int dot = name.ReverseFind(L'.');
    if (dot < 0)
        return CString();
    return name.Mid(withDot == 1 ? dot : dot + 1);
}

int CUtility::AddOrRemoveLastBackslash(CString& path, int add) {
    if (path.IsEmpty())
        return 0;
    const bool has = path[path.GetLength() - 1] == kPathSeparator;
    if (add == 1) {
        if (!has)
            path += kPathSeparator;
        return 1;
    }
    if (add == 0) {
        if (has)
            path.Truncate(path.GetLength() - 1);
        return 1;
    }
    return 0;
}

CString CUtility::GetDriveRoot(const wchar_t* path) {
    // A folder still to be made lies on the volume of its nearest existing parent,
    // which the platform finds for us.
    if (IsEmpty(path) || !vesk::fs::IsAbsolutePath(path))
        return CString();
    return CString(vesk::fs::VolumeRoot(path));
}

int CUtility::CompareIPAddress(const wchar_t* a, const wchar_t* b) {
    int x[4];
    int y[4];
    if (!ParseIPv4(a, x) || !ParseIPv4(b, y))
        return -1;
    for (int i = 0; i < 4; ++i) {
        if (x[i] != y[i])
            return x[i] < y[i] ? -1 : 1;
    }
    return 0;
}

int CUtility::SetFileTimeFromText(const wchar_t* path, const wchar_t* text, int flag) {
    if (IsEmpty(path) || text == nullptr || (flag != 0 && flag != 1))
        return 0;
    if (!vesk::fs::Exists(path))
        return 0;
    static constexpr wchar_t kSeparators[] = {L'/', L'/', L' ', L':', L':'};
    int parts[6];
    std::wstring_view rest(text);
    for (int i = 0; i < 6; ++i) {
        size_t end = rest.size();
        if (i < 5) {
            // The space before the time is looked for after the day's own padding.
            size_t from = 0;
            if (kSeparators[i] == L' ')
                while (from < rest.size() && iswspace(rest[from]))
                    ++from;
            end = rest.find(kSeparators[i], from);
            if (end == std::wstring_view::npos)
                return 0;
        }
        if (!ParseUInt(rest.substr(0, end), parts[i]))
            return 0;
        rest = i < 5 ? rest.substr(end + 1) : std::wstring_view();
    }
    const int year = parts[0], month = parts[1], day = parts[2];
    const int hour = parts[3], minute = parts[4], second = parts[5];
    if (year < 1900 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 59)
        return 0;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1))
        return 0;
    const bool ok =
        flag == 0 ? vesk::fs::SetCreationTime(path, t) : vesk::fs::SetModificationTime(path, t);
    return ok ? 1 : 0;
}

int CUtility::GetOSVersionCode() {
    return -1;
}

CString CUtility::EscapeFileName(const wchar_t* name) {
    if (name == nullptr)
        return CString();
    std::wstring out = EscapeReserved(name);
    EscapeRuns(out, L' ');
    EscapeRuns(out, L'.');
    return CString(std::move(out));
}

CString CUtility::EscapeFileNameKeepExt(const wchar_t* name) {
    if (name == nullptr)
        return CString();
    const std::wstring_view n(name);
    const size_t dot = n.rfind(L'.');
    if (dot == std::wstring_view::npos)
        return EscapeFileName(name);
    const std::wstring stem(n.substr(0, dot));
    return EscapeFileName(stem.c_str()) + CString(EscapeReserved(n.substr(dot)));
}

int CUtility::IsValidFileName(const wchar_t* name, const wchar_t* dir) {
    if (name == nullptr)
        return 0;
    const size_t maxBytes = vesk::cache::MaxNameBytes(IsEmpty(dir) ? L"." : dir);
    return CheckName(name, maxBytes) == NameCheck::Valid ? 1 : 0;
}

int CUtility::CreateValidNewFile(CString& path, int maxTries) {
    const std::wstring& p = path.str();
    // A NUL inside would make the system create a file under a shorter, different path.
    if (p.empty() || p.find(L'\0') != std::wstring::npos)
        return 0;
    const size_t sep = p.rfind(kPathSeparator);
    const std::wstring dir = sep == std::wstring::npos ? std::wstring() : p.substr(0, sep + 1);
    std::wstring name = sep == std::wstring::npos ? p : p.substr(sep + 1);
    const size_t maxBytes = vesk::cache::MaxNameBytes(dir.empty() ? L"." : dir);

    NameCheck check = CheckName(name, maxBytes);
    if (check == NameCheck::Valid)
        return vesk::fs::CreateNewFile(p) ? 1 : 0;
    if (dir.empty())
        return 0;
    if (check == NameCheck::TooLong) {
        name = ShortenName(name, maxBytes);
        check = CheckName(name, maxBytes);
    }
    const int tries = maxTries > 99 ? 99 : maxTries;
    for (int i = 1; check != NameCheck::Valid && i <= tries; ++i) {
        name = InsertSuffix(name, i);
        check = CheckName(name, maxBytes);
        if (check == NameCheck::TooLong) {
            name = ShortenName(name, maxBytes);
            check = CheckName(name, maxBytes);
        }
    }
    if (check != NameCheck::Valid)
        return 0;
    const std::wstring target = dir + name;
    if (!vesk::fs::CreateNewFile(target))
        return 0;
    path = CString(target);
    return 1;
}

int CUtility::GetUniqueFolder(CString& out, const wchar_t* parent, int create) {
    if (IsEmpty(parent))
        return 0;
    auto& series = Series(vesk::cache::UniqueSeries::Folder);
    // Held until the folder is made, so two threads never settle on the same name.
    std::lock_guard<std::mutex> g(series.lock);
    CString candidate;
    long steps = 0;
    for (;; ++steps) {
        if (steps == kCycle)
            return 0;
        candidate = JoinPath(parent, UniqueName(series.state, L""));
        // Anything of that name, not only a folder, blocks it.
        if (!vesk::fs::Exists(candidate.str()))
            break;
        Advance(series.state);
    }
    if (create == 1 && !CreateDirectoryTree(candidate))
        return 0;
    out = candidate;
    return 1;
}

int CUtility::GetUniqueFile(CString& out, const wchar_t* dir, int fileType, int kind) {
    if (IsEmpty(dir) || fileType < 0 || fileType > 9)
        return 0;
    const wchar_t* ext = nullptr;
    switch (kind) {
        case 0:
            ext = FileTypeExtension(fileType);
            break;
        case 1:
            ext = L".dig";
            break;
        case 2:
            ext = L".tmp";
            break;
        default:
            return 0;
    }
    auto& series = Series(vesk::cache::UniqueSeries::File);
    std::lock_guard<std::mutex> g(series.lock);
    for (long steps = 0; steps < kCycle; ++steps, Advance(series.state)) {
        const CString candidate = JoinPath(dir, UniqueName(series.state, ext));
        if (vesk::fs::Exists(candidate.str()))
            continue;
        if (vesk::fs::CreateNewFile(candidate.str())) {
            out = candidate;
            return 1;
        }
        // A free name that cannot be made means the folder takes no new files; stepping
        // on would only try the same thing millions of times.
        if (!vesk::fs::Exists(candidate.str()))
            return 0;
    }
    return 0;
}

const wchar_t* CUtility::FileTypeExtension(int fileType) {
    static const wchar_t* const kExt[] = {L".jpg", L".tif", L".pdf",  L".tmp",  L".pdf",
                                          L".xps", L".xps", L".pptx", L".docx", L".xlsx"};
    if (fileType < 0 || fileType > 9)
        return nullptr;
    return kExt[fileType];
}
