// Environment variables of env.h on POSIX, with fallbacks for the Windows names.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/charset.h"
#include "platform/env.h"

namespace vesk::env {
namespace {

// getenv is not safe against a concurrent setenv; our own calls at least take turns.
std::mutex& EnvMutex() {
    static std::mutex m;
    return m;
}

std::optional<std::string> Raw(const char* name) {
    const char* v = std::getenv(name);
    if (!v)
        return std::nullopt;
    return std::string(v);
}

// The password database entry of the real user: home folder or login name.
std::string FromPasswd(bool wantHome) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found)
        return {};
    const char* v = wantHome ? found->pw_dir : found->pw_name;
    return v ? v : "";
}

// Caller holds EnvMutex.
std::string HomeLocked() {
    auto home = Raw("HOME");
    return (home && !home->empty()) ? *home : FromPasswd(true);
}

bool ValidName(const std::string& n) {
    return !n.empty() && n.find('=') == std::string::npos;
}

}  // namespace

std::wstring Get(const std::wstring& name) {
    const std::string n = WideToUtf8(name);
    if (!ValidName(n))
        return {};
    std::lock_guard<std::mutex> lock(EnvMutex());
    // A variable that is set, even to an empty value, is taken as it is.
    if (auto v = Raw(n.c_str()))
        return Utf8ToWide(*v);
    if (n == "ALLUSERSPROFILE") {
        auto data = Raw("XDG_DATA_HOME");
        if (data && !data->empty() && data->front() == '/')
            return Utf8ToWide(*data);
        std::string h = HomeLocked();
        if (h.empty())
            return {};
        if (h.back() == '/')
            h.pop_back();
        return Utf8ToWide(h + "/.local/share");
    }
    if (n == "USERNAME") {
        auto user = Raw("USER");
        if (user && !user->empty())
            return Utf8ToWide(*user);
        return Utf8ToWide(FromPasswd(false));
    }
    return {};
}

bool Set(const std::wstring& name, const std::wstring& value) {
    const std::string n = WideToUtf8(name);
    if (!ValidName(n))
        return false;
    std::lock_guard<std::mutex> lock(EnvMutex());
    return setenv(n.c_str(), WideToUtf8(value).c_str(), 1) == 0;
}

bool Unset(const std::wstring& name) {
    const std::string n = WideToUtf8(name);
    if (!ValidName(n))
        return false;
    std::lock_guard<std::mutex> lock(EnvMutex());
    return unsetenv(n.c_str()) == 0;
}

std::wstring HomeDirectory() {
    std::lock_guard<std::mutex> lock(EnvMutex());
    return Utf8ToWide(HomeLocked());
}

}  // namespace vesk::env
