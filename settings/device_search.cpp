// Device search: SNMP discovery through QDevMIB, the MIB filter file, and the sort.
#include "settings/device_search.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <utility>

#include "platform/charset.h"
#include "platform/file.h"
#include "platform/registry.h"

namespace vesk {

namespace {

constexpr int kSnmpUnusable = -1049;
constexpr int kDiscoveryFailed = -1050;
constexpr int kMemoryException = -1001;

constexpr const char* kCommunity = "quorle";
constexpr int kSnmpPort = 161;
constexpr int kDescrBufferBytes = 162;

constexpr size_t kAddressChars = 32;
constexpr size_t kObjectIdChars = 40;
constexpr size_t kDescrChars = 80;
constexpr int kRegisteredNameChars = 256;

constexpr const wchar_t* kApplicationKey = L"SOFTWARE\\ORVANE\\HALD3.1\\Application";
constexpr const wchar_t* kApplicationPathValue = L"ApplicationPath";
constexpr const wchar_t* kFilterFileName = L"SrchMIB.conf";
// The application folder is read into a 260-byte buffer of wide characters: a longer
// value does not fit and the read fails.
constexpr size_t kApplicationPathUnits = 260 / 2 - 1;

class QDevMibLibrary final : public IMibLibrary {
public:
    int Initialize() override { return _Mib_Initialize(); }
    int Create() override { return _Mib_Create(); }
    int SetTimeout(int handle, int first, int second) override {
        return _Mib_SetTimeout(handle, first, second);
    }
    int Bind(int handle, const char* community, int port) override {
        return _Mib_Bind(handle, community, port);
    }
    int IsEnabled(int handle) override { return _Mib_IsEnabled(handle); }
    int GetsysObjectIDList(int handle, mib::HGLOBAL* memory, int* count, int* stop) override {
        return _Mib_GetsysObjectIDList(handle, memory, count, 0, stop, 0);
    }
    int GetsysDescr(int handle, char* buffer, int size, const char* address, int* stop) override {
        return _Mib_GetsysDescr(handle, buffer, size, address, 0, stop, 0);
    }
    int Cancel(int handle) override { return _Mib_Cancel(handle); }
    void Delete(int handle) override { _Mib_Delete(handle); }
    void* Lock(mib::HGLOBAL memory) override { return mib::GlobalLock(memory); }
    void Unlock(mib::HGLOBAL memory) override { mib::GlobalUnlock(memory); }
    void Free(mib::HGLOBAL memory) override { mib::GlobalFree(memory); }
    std::size_t Size(mib::HGLOBAL memory) override { return mib::GlobalSize(memory); }
};

// The text of a fixed field that need not be terminated when full.
std::wstring FieldText(const wchar_t* field, size_t capacity) {
    return std::wstring(field, wcsnlen(field, capacity));
}

template <size_t N>
void CopyField(wchar_t (&field)[N], const std::wstring& text) {
    size_t n = text.size() < N ? text.size() : N;
    std::wmemcpy(field, text.data(), n);
    if (n < N)
        field[n] = L'\0';
}

// Deletes the search's MIB handle on every way out once it exists.
class HandleScope {
public:
    HandleScope(IMibLibrary& mib, std::atomic<int>& slot) : mib_(mib), slot_(slot) {}
    ~HandleScope() {
        int handle = slot_.exchange(-1);
        if (handle != -1)
            mib_.Delete(handle);
    }
    HandleScope(const HandleScope&) = delete;
    HandleScope& operator=(const HandleScope&) = delete;

private:
    IMibLibrary& mib_;
    std::atomic<int>& slot_;
};

// Frees the discovery memory on every way out; unlocks it if it was locked.
class MemoryScope {
public:
    MemoryScope(IMibLibrary& mib, mib::HGLOBAL memory) : mib_(mib), memory_(memory) {}
    ~MemoryScope() { Release(); }
    MemoryScope(const MemoryScope&) = delete;
    MemoryScope& operator=(const MemoryScope&) = delete;
    const unsigned char* Lock() {
        locked_ = memory_ ? static_cast<const unsigned char*>(mib_.Lock(memory_)) : nullptr;
        return locked_;
    }
    std::size_t Size() { return memory_ ? mib_.Size(memory_) : 0; }
    void Release() {
        if (!memory_)
            return;
        if (locked_)
            mib_.Unlock(memory_);
        mib_.Free(memory_);
        memory_ = nullptr;
        locked_ = nullptr;
    }

private:
    IMibLibrary& mib_;
    mib::HGLOBAL memory_;
    const unsigned char* locked_ = nullptr;
};

// Parses one inet_addr part: decimal, octal after a leading 0, hex after 0x.
bool ParseInetPart(const char*& p, unsigned long long& value) {
    if (*p < '0' || *p > '9')
        return false;
    int base = 10;
    if (p[0] == '0') {
        bool hexDigitFollows = (p[1] == 'x' || p[1] == 'X') &&
                               ((p[2] >= '0' && p[2] <= '9') || (p[2] >= 'a' && p[2] <= 'f') ||
                                (p[2] >= 'A' && p[2] <= 'F'));
        if (hexDigitFollows) {
            base = 16;
            p += 2;
        } else {
            base = 8;
        }
    }
    value = 0;
    for (;; ++p) {
        int digit;
        if (*p >= '0' && *p <= '9')
            digit = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            digit = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            digit = *p - 'A' + 10;
        else
            break;
        if (digit >= base)
            break;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFull)
            return false;
    }
    return true;
}

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

IMibLibrary& DefaultMibLibrary() {
    static QDevMibLibrary library;
    return library;
}

std::optional<unsigned long> InetAddr(const char* text) {
    if (!text)
        return std::nullopt;
    static const unsigned long long kMax[4] = {0xFFFFFFFFull, 0xFFFFFFull, 0xFFFFull, 0xFFull};
    unsigned long leading = 0;
    int parts = 0;
    unsigned long long value = 0;
    const char* p = text;
    for (;;) {
        if (!ParseInetPart(p, value))
            return std::nullopt;
        if (*p != '.')
            break;
        if (parts > 2 || value > 0xFF)
            return std::nullopt;
        leading |= static_cast<unsigned long>(value) << (24 - 8 * parts);
        ++parts;
        ++p;
    }
    if (*p != '\0' && !IsCSpace(*p))
        return std::nullopt;
    if (value > kMax[parts])
        return std::nullopt;
    unsigned long address = leading | static_cast<unsigned long>(value);
    // The all-ones address is inet_addr's failure value.
    if (address == 0xFFFFFFFFul)
        return std::nullopt;
    return address;
}

}  // namespace vesk

using vesk::FieldText;

CDeviceSearch::CDeviceSearch(vesk::IRegisteredDevices* registered, vesk::IMibLibrary* mib)
    : m_pRegistered(registered), m_pMib(mib ? mib : &vesk::DefaultMibLibrary()) {}

void CDeviceSearch::CancelSearch() {
    int handle = m_nMibHandle.load();
    if (handle != -1)
        m_pMib->Cancel(handle);
}

int CDeviceSearch::SearchDevice(CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&>& results) {
    using namespace vesk;
    vesk::IMibLibrary& mib = *m_pMib;
    HandleScope handleScope(mib, m_nMibHandle);
    try {
        results.RemoveAll();
        results.FreeExtra();
        CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&> found;
        CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&> targets;

        if (!mib.Initialize())
            return kSnmpUnusable;
        int handle = mib.Create();
        if (handle == -1)
            return kSnmpUnusable;
        m_nMibHandle = handle;
        mib.SetTimeout(handle, 0, 8);
        mib.SetTimeout(handle, 3, 15);
        if (!mib.Bind(handle, kCommunity, kSnmpPort))
            return kSnmpUnusable;
        if (!mib.IsEnabled(handle))
            return kSnmpUnusable;

        int stop = 0;
        mib::HGLOBAL memory = nullptr;
        int count = 0;
        if (mib.GetsysObjectIDList(handle, &memory, &count, &stop) != 1) {
            // A failed call may still have handed out memory.
            MemoryScope leftover(mib, memory);
            return kDiscoveryFailed;
        }
        {
            MemoryScope block(mib, memory);
            const unsigned char* bytes = block.Lock();
            if (!bytes)
                return 0;
            // Never read past the block, whatever count says.
            size_t entries = count > 0 ? static_cast<size_t>(count) : 0;
            size_t fit = block.Size() / mib::kEntryBytes;
            if (entries > fit)
                entries = fit;
            for (size_t i = 0; i < entries; ++i) {
                const char* entry = reinterpret_cast<const char*>(bytes + i * mib::kEntryBytes);
                std::wstring address =
                    Utf8ToWide(std::string_view(entry, strnlen(entry, mib::kAddressBytes)));
                const char* oidField = entry + mib::kAddressBytes;
                std::wstring objectId =
                    Utf8ToWide(std::string_view(oidField, strnlen(oidField, mib::kObjectIdBytes)));
                if (Utf16Length(address) > kAddressChars || Utf16Length(objectId) > kObjectIdChars)
                    continue;
                DEVICE_SEARCH_RESULT record{};
                vesk::CopyField(record.szIPAddress, address);
                vesk::CopyField(record.szObjectID, objectId);
                found.Add(record);
            }
        }

        if (GetTargetDevIDList(targets, found) != 1)
            return 0;

        for (INT_PTR i = 0; i < targets.GetSize(); ++i) {
            const DEVICE_SEARCH_RESULT& target = targets.GetAt(i);
            std::wstring address = FieldText(target.szIPAddress, 33);
            std::string narrow = WideToUtf8(address);
            char buffer[kDescrBufferBytes] = {};
            if (mib.GetsysDescr(handle, buffer, kDescrBufferBytes, narrow.c_str(), &stop) != 1)
                continue;
            buffer[kDescrBufferBytes - 1] = '\0';
            std::wstring descr = Utf16Left(Utf8ToWide(buffer), kDescrChars);
            if (stop == 1)
                return 1;

            DEVICE_SEARCH_INFOEX info{};
            std::wmemcpy(info.szIPAddress, target.szIPAddress, 33);
            std::wmemcpy(info.szObjectID, target.szObjectID, 40);
            vesk::CopyField(info.szSysDescr, descr);
            info.nIndex = static_cast<int>(i);
            if (m_pRegistered) {
                // The callbacks get their own terminated copy of the address.
                std::wstring query = address;
                info.bRegistered = m_pRegistered->IsRegisteredDevice(query.data()) == 1 ? 1 : 0;
                m_pRegistered->GetRegisteredName(info.szRegisteredName, kRegisteredNameChars,
                                                 query.c_str());
                info.szRegisteredName[kRegisteredNameChars - 1] = L'\0';
            }
            results.Add(info);
        }

        if (results.IsEmpty())
            return 0;
        SortIPAddressAsend(results);
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemoryException;
    }
}

int CDeviceSearch::GetTargetDevIDList(CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&>& targets,
                                      CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&>& found) {
    try {
        targets.RemoveAll();
        m_arrOIDInclude.RemoveAll();
        m_arrOIDExclude.RemoveAll();
        // Without a filter file the include list stays empty and nothing is a target.
        LoadParameterFromFile();
        for (INT_PTR i = 0; i < found.GetSize(); ++i) {
            // The identifier field is full (not terminated) at 40 characters.
            std::wstring objectId = FieldText(found.GetAt(i).szObjectID, 40);
            if (IsTargetDevice(objectId.c_str()) == 1)
                targets.Add(found.ElementAt(i));
        }
        return 1;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int CDeviceSearch::LoadParameterFromFile() {
    CString path = m_strFilterFilePath;
    if (path.IsEmpty()) {
        auto key = vesk::reg::Key::Open(vesk::reg::Hive::LocalMachine, vesk::kApplicationKey);
        if (!key)
            return 0;
        auto folder = key->GetString(vesk::kApplicationPathValue);
        if (!folder || vesk::Utf16Length(*folder) > vesk::kApplicationPathUnits)
            return 0;
        // The value names the folder with its trailing separator.
        path = CString(*folder) + vesk::kFilterFileName;
    }

    CFile file;
    if (!file.Open(path, CFile::modeRead | CFile::shareDenyNone | CFile::typeBinary))
        return 0;
    try {
        std::string line;
        bool first = true;
        char chunk[4096];
        for (;;) {
            unsigned got = file.Read(chunk, sizeof chunk);
            if (got == 0)
                break;
            for (unsigned i = 0; i < got; ++i) {
                if (chunk[i] != '\n') {
                    line += chunk[i];
                    continue;
                }
                if (first && line.rfind("\xEF\xBB\xBF", 0) == 0)
                    line.erase(0, 3);
                first = false;
                ParseFilterLine(CString(vesk::Utf8ToWide(line)));
                line.clear();
            }
        }
        if (first && line.rfind("\xEF\xBB\xBF", 0) == 0)
            line.erase(0, 3);
        if (!line.empty())
            ParseFilterLine(CString(vesk::Utf8ToWide(line)));
    } catch (const CFileException&) {
        // Patterns read before the error stay in the lists.
        file.Abort();
        return 0;
    }
    file.Abort();
    return 1;
}

void CDeviceSearch::ParseFilterLine(CString line) {
    static const CString kInclude = L"OIDInclude = ";
    static const CString kExclude = L"OIDExclude = ";
    line.Trim();
    if (line.IsEmpty() || line[0] == L'#')
        return;
    CStringArray* list = nullptr;
    if (line.Left(kInclude.GetLength()) == kInclude)
        list = &m_arrOIDInclude;
    else if (line.Left(kExclude.GetLength()) == kExclude)
        list = &m_arrOIDExclude;
    else
        return;
    // The keyword, then its spaces and the equals sign.
    CString pattern = line.Mid(kInclude.GetLength() - 3);
    pattern.TrimLeft(L" =");
    if (IsCorrectMIB(pattern) == 1)
        list->Add(pattern);
}

int CDeviceSearch::IsCorrectMIB(const wchar_t* pszPattern) {
    if (!pszPattern || !*pszPattern)
        return 0;
    const std::wstring pattern = pszPattern;
    const long length = static_cast<long>(pattern.size());
    auto starAt = [&](long pos) {
        return pos >= 0 && pos < length && pattern[static_cast<size_t>(pos)] == L'*';
    };
    // Where a "*" may stand: the pattern's last, third-last or fifth-last character is
    // a "*", or the wildcard sits at the ninth dot.
    const bool starPlaced = starAt(length - 1) || starAt(length - 3) || starAt(length - 5);
    int dots = 0;
    size_t start = 0;
    for (;;) {
        size_t dot = pattern.find(L'.', start);
        std::wstring_view component(pattern.data() + start,
                                    (dot == std::wstring::npos ? pattern.size() : dot) - start);
        if (dot != std::wstring::npos)
            ++dots;
        if (component == L"*") {
            if (!starPlaced && dots != 9)
                return 0;
        } else {
            for (wchar_t c : component)
                if (c < L'0' || c > L'9')
                    return 0;
        }
        if (dot == std::wstring::npos)
            break;
        start = dot + 1;
    }
    return 1;
}

int CDeviceSearch::IsMatchDeviceID(CString strObjectID, CString strPattern) {
    if (strObjectID.IsEmpty() || strPattern.IsEmpty())
        return 0;
    if (strObjectID.GetLength() == strPattern.GetLength() && strObjectID == strPattern)
        return 1;
    CString id = strObjectID;
    CString pattern = strPattern;
    for (int star = pattern.Find(L'*'); star != -1; star = pattern.Find(L'*')) {
        if (id.Left(star) != pattern.Left(star))
            return 0;
        // The "*" takes the rest of the identifier's component.
        id = id.Mid(star + 1);
        int dot = id.Find(L'.');
        if (dot != -1)
            id = id.Mid(dot);
        pattern = pattern.Mid(star + 1);
    }
    if (id.Find(L'.') == -1)
        id.Empty();
    return id == pattern ? 1 : 0;
}

int CDeviceSearch::IsTargetDevice(const wchar_t* pszObjectID) {
    if (!pszObjectID)
        return 0;
    CString objectId(pszObjectID);
    bool included = false;
    for (INT_PTR i = 0; i < m_arrOIDInclude.GetSize() && !included; ++i)
        included = IsMatchDeviceID(objectId, m_arrOIDInclude.GetAt(i)) == 1;
    if (!included)
        return 0;
    for (INT_PTR i = 0; i < m_arrOIDExclude.GetSize(); ++i)
        if (IsMatchDeviceID(objectId, m_arrOIDExclude.GetAt(i)) == 1)
            return 0;
    return 1;
}

int CDeviceSearch::SortIPAddressAsend(
    CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&>& results) {
    auto addressOf = [](const DEVICE_SEARCH_INFOEX& r) {
        return vesk::InetAddr(vesk::WideToUtf8(FieldText(r.szIPAddress, 33)).c_str());
    };
    const INT_PTR n = results.GetSize();
    for (INT_PTR i = 0; i + 1 < n; ++i) {
        for (INT_PTR j = i + 1; j < n; ++j) {
            auto a = addressOf(results.GetAt(i));
            auto b = addressOf(results.GetAt(j));
            // An address that does not parse counts as the smaller one.
            if (a && b && *a > *b)
                std::swap(results.ElementAt(i), results.ElementAt(j));
        }
    }
    return 1;
}
