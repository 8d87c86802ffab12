// Environment variables of env.h on Windows: the process environment block, where the
// system itself sets ALLUSERSPROFILE, USERNAME and USERPROFILE.
#include <windows.h>
// (after windows.h)
#include <shlobj.h>

#include <stdlib.h>

#include <string>

#include "platform/env.h"

namespace vesk::env {

namespace {
bool ValidName(const std::wstring& n) {
    return !n.empty() && n.find(L'=') == std::wstring::npos;
}
}  // namespace

std::wstring Get(const std::wstring& name) {
    if (!ValidName(name))
        return {};
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD n =
            GetEnvironmentVariableW(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (n == 0)
            return {};  // unset, or set to an empty value
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.resize(n);  // n counts the terminating zero when the buffer was short
    }
}

// Through the C run-time, which passes the change on to the process environment block,
// so that getenv and the system's own readers agree. A Windows variable cannot hold an
// empty value: setting one removes the variable, which reads back empty all the same.
bool Set(const std::wstring& name, const std::wstring& value) {
    return ValidName(name) && _wputenv_s(name.c_str(), value.c_str()) == 0;
}

bool Unset(const std::wstring& name) {
    return ValidName(name) && _wputenv_s(name.c_str(), L"") == 0;
}

std::wstring HomeDirectory() {
    std::wstring home = Get(L"USERPROFILE");
    if (!home.empty())
        return home;
    PWSTR path = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_Profile, 0, nullptr, &path) == S_OK && path)
        home = path;
    CoTaskMemFree(path);
    return home;
}

}  // namespace vesk::env
