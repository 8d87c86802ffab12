// registry.h on Windows: the system registry itself. A hive path set with SetHivePath
// (tests give each test its own) does not name a file here: it names a private key below
// HKEY_CURRENT_USER\Software\VeskHives that stands in for the hive's root, and that key
// is removed with everything in it when the path is replaced or cleared.
#include <windows.h>

#include <mutex>
#include <vector>

#include "platform/registry.h"
#include "platform/win32_error.h"

namespace vesk::reg {
namespace {

constexpr const wchar_t* kPrivateHives = L"Software\\VeskHives";

std::mutex g_hiveMutex;
std::wstring g_hiveOverride[2];

int Index(Hive hive) {
    return hive == Hive::LocalMachine ? 1 : 0;
}

// The private key of an override path: the path with its backslashes turned into
// slashes, which key names may hold.
std::wstring PrivateKeyOf(const std::wstring& override, Hive hive) {
    std::wstring name = override;
    for (wchar_t& c : name)
        if (c == L'\\')
            c = L'/';
    return std::wstring(kPrivateHives) + L"\\" +
           (hive == Hive::LocalMachine ? L"HKLM " : L"HKCU ") + name;
}

// The hive's root, opened for the caller to close; null on failure.
HKEY OpenRoot(Hive hive, const std::wstring& forPath) {
    std::wstring override;
    {
        std::lock_guard<std::mutex> lock(g_hiveMutex);
        override = g_hiveOverride[Index(hive)];
    }
    HKEY root = nullptr;
    LONG rc;
    if (override.empty())
        rc = RegOpenKeyExW(hive == Hive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                           nullptr, 0, KEY_ALL_ACCESS, &root);
    else
        rc = RegCreateKeyExW(HKEY_CURRENT_USER, PrivateKeyOf(override, hive).c_str(), 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, &root, nullptr);
    if (rc != ERROR_SUCCESS) {
        win32::RecordWin32Error("RegOpenKeyExW", forPath, static_cast<DWORD>(rc));
        return nullptr;
    }
    return root;
}

class Root {
public:
    Root(Hive hive, const std::wstring& path) : m_key(OpenRoot(hive, path)) {}
    ~Root() {
        if (m_key)
            RegCloseKey(m_key);
    }
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;
    HKEY get() const { return m_key; }

private:
    HKEY m_key;
};

// The path with empty levels (doubled, leading or trailing backslashes) dropped.
std::wstring Normalise(const std::wstring& path) {
    std::wstring out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        if (end > start) {
            if (!out.empty())
                out += L'\\';
            out.append(path, start, end - start);
        }
        start = end + 1;
    }
    return out;
}

class Win32Key final : public Key {
public:
    Win32Key(HKEY key, std::wstring path) : m_key(key), m_path(std::move(path)) {}
    ~Win32Key() override { RegCloseKey(m_key); }

    std::optional<uint32_t> GetDword(const std::wstring& name) const override {
        DWORD type = 0, value = 0, size = sizeof value;
        const LONG rc = RegQueryValueExW(m_key, name.c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(&value), &size);
        if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) {
            Note("RegQueryValueExW", name, rc);
            return std::nullopt;
        }
        return value;
    }

    std::optional<std::wstring> GetString(const std::wstring& name) const override {
        for (;;) {
            DWORD type = 0, size = 0;
            LONG rc = RegQueryValueExW(m_key, name.c_str(), nullptr, &type, nullptr, &size);
            if (rc != ERROR_SUCCESS || type != REG_SZ) {
                Note("RegQueryValueExW", name, rc);
                return std::nullopt;
            }
            std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
            DWORD got = static_cast<DWORD>(value.size() * sizeof(wchar_t));
            rc = RegQueryValueExW(m_key, name.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(value.data()), &got);
            if (rc == ERROR_MORE_DATA)
                continue;  // it grew meanwhile
            if (rc != ERROR_SUCCESS || type != REG_SZ) {
                Note("RegQueryValueExW", name, rc);
                return std::nullopt;
            }
            value.resize(got / sizeof(wchar_t));
            while (!value.empty() && value.back() == L'\0')
                value.pop_back();
            return value;
        }
    }

    ValueType GetType(const std::wstring& name) const override {
        DWORD type = 0;
        if (RegQueryValueExW(m_key, name.c_str(), nullptr, &type, nullptr, nullptr) !=
            ERROR_SUCCESS)
            return ValueType::None;
        return type == REG_DWORD ? ValueType::Dword
               : type == REG_SZ  ? ValueType::String
                                 : ValueType::None;
    }

    bool SetDword(const std::wstring& name, uint32_t value) override {
        const DWORD v = value;
        return Check("RegSetValueExW", name,
                     RegSetValueExW(m_key, name.c_str(), 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&v), sizeof v));
    }

    bool SetString(const std::wstring& name, const std::wstring& value) override {
        return Check("RegSetValueExW", name,
                     RegSetValueExW(m_key, name.c_str(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(value.c_str()),
                                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
    }

    bool DeleteValue(const std::wstring& name) override {
        return Check("RegDeleteValueW", name, RegDeleteValueW(m_key, name.c_str()));
    }

private:
    void Note(const char* call, const std::wstring& name, LONG rc) const {
        win32::RecordWin32Error(
            call, m_path + L"\\" + name,
            rc == ERROR_SUCCESS ? ERROR_INVALID_DATATYPE : static_cast<DWORD>(rc));
    }
    bool Check(const char* call, const std::wstring& name, LONG rc) const {
        if (rc == ERROR_SUCCESS)
            return true;
        Note(call, name, rc);
        return false;
    }

    HKEY m_key;
    std::wstring m_path;
};

}  // namespace

std::unique_ptr<Key> Key::CreateOrOpen(Hive hive, const std::wstring& path,
                                       Disposition* disposition) {
    Root root(hive, path);
    if (!root.get())
        return nullptr;
    const std::wstring p = Normalise(path);
    HKEY key = nullptr;
    DWORD disp = 0;
    const LONG rc = RegCreateKeyExW(root.get(), p.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                    nullptr, &key, &disp);
    if (rc != ERROR_SUCCESS) {
        win32::RecordWin32Error("RegCreateKeyExW", path, static_cast<DWORD>(rc));
        return nullptr;
    }
    if (disposition)
        *disposition = disp == REG_CREATED_NEW_KEY ? Disposition::CreatedNewKey
                                                   : Disposition::OpenedExistingKey;
    return std::make_unique<Win32Key>(key, p);
}

std::unique_ptr<Key> Key::Open(Hive hive, const std::wstring& path) {
    Root root(hive, path);
    if (!root.get())
        return nullptr;
    const std::wstring p = Normalise(path);
    HKEY key = nullptr;
    const LONG rc = RegOpenKeyExW(root.get(), p.c_str(), 0, KEY_READ | KEY_WRITE, &key);
    if (rc != ERROR_SUCCESS) {
        win32::RecordWin32Error("RegOpenKeyExW", path, static_cast<DWORD>(rc));
        return nullptr;
    }
    return std::make_unique<Win32Key>(key, p);
}

bool Key::Delete(Hive hive, const std::wstring& path) {
    const std::wstring p = Normalise(path);
    if (p.empty()) {
        // The hive's root cannot go.
        RecordOsError("RegDeleteTreeW", EACCES, path);
        return false;
    }
    Root root(hive, path);
    if (!root.get())
        return false;
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(root.get(), p.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        win32::RecordWin32Error("RegOpenKeyExW", path, static_cast<DWORD>(rc));
        return false;
    }
    RegCloseKey(key);
    rc = RegDeleteTreeW(root.get(), p.c_str());
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND)
        rc = RegDeleteKeyW(root.get(), p.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        win32::RecordWin32Error("RegDeleteTreeW", path, static_cast<DWORD>(rc));
        return false;
    }
    return true;
}

void SetHivePath(Hive hive, const std::wstring& databaseFile) {
    std::lock_guard<std::mutex> lock(g_hiveMutex);
    std::wstring& slot = g_hiveOverride[Index(hive)];
    if (!slot.empty() && slot != databaseFile)
        RegDeleteTreeW(HKEY_CURRENT_USER, PrivateKeyOf(slot, hive).c_str()),
            RegDeleteKeyW(HKEY_CURRENT_USER, PrivateKeyOf(slot, hive).c_str());
    slot = databaseFile;
}

std::wstring GetHivePath(Hive hive) {
    {
        std::lock_guard<std::mutex> lock(g_hiveMutex);
        const auto& p = g_hiveOverride[Index(hive)];
        if (!p.empty())
            return p;
    }
    return hive == Hive::LocalMachine ? L"HKEY_LOCAL_MACHINE" : L"HKEY_CURRENT_USER";
}

}  // namespace vesk::reg
