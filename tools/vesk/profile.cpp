#include "tools/vesk/profile.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/charset.h"
#include "platform/env.h"
#include "platform/registry.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/system.h"

namespace vesk::cli {

namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kApplicationKey = L"SOFTWARE\\ORVANE\\HALD3.1\\Application";
constexpr const wchar_t* kApplicationPathValue = L"ApplicationPath";
constexpr const char* kFilterFile = "SrchMIB.conf";
// The library reads the value into a 260-byte buffer of UTF-16 text.
constexpr size_t kApplicationPathUnits = 129;

// The source tree's settings folder, as the build recorded it.
fs::path SourceSettingsFolder() {
#ifdef VESK_SETTINGS_SOURCE_DIR
    return fs::path(VESK_SETTINGS_SOURCE_DIR);
#else
    return fs::path();
#endif
}

}  // namespace

std::string UseProfileFolder(const std::string& folder) {
    std::error_code ec;
    fs::path base = fs::absolute(folder, ec);
    if (ec || base.empty())
        throw UsageError("cannot use the profile folder " + folder);
    base = base.lexically_normal();
    const fs::path data = base / "allusers";
    const fs::path registry = base / "registry";
    const fs::path lock = base / "lock";
    for (const fs::path& p : {data, registry, lock}) {
        fs::create_directories(p, ec);
        if (ec)
            throw Failure("cannot create " + p.string() + ": " + ec.message());
    }
    vesk::env::Set(L"ALLUSERSPROFILE", data.wstring());
    vesk::env::Set(L"VESK_LOCK_DIR", lock.wstring());
    vesk::reg::SetHivePath(vesk::reg::Hive::CurrentUser,
                           vesk::Utf8ToWide((registry / "hkcu.db").string()));
    vesk::reg::SetHivePath(vesk::reg::Hive::LocalMachine,
                           vesk::Utf8ToWide((registry / "hklm.db").string()));
    return base.string();
}

void LeaveProfileFolder() {
    vesk::reg::SetHivePath(vesk::reg::Hive::CurrentUser, L"");
    vesk::reg::SetHivePath(vesk::reg::Hive::LocalMachine, L"");
}

std::string FindFilterFolder() {
    std::vector<fs::path> candidates;
    if (fs::path exe = sys::ExecutableFolder(); !exe.empty()) {
        candidates.push_back(exe.parent_path() / "share" / "vesk");
        candidates.push_back(exe);
    }
    if (fs::path src = SourceSettingsFolder(); !src.empty())
        candidates.push_back(src);
    for (const fs::path& dir : candidates) {
        std::error_code ec;
        if (fs::is_regular_file(dir / kFilterFile, ec)) {
            fs::path found = fs::weakly_canonical(dir, ec);
            if (ec)
                found = dir.lexically_normal();
            // With the system's own separator at its end.
            if (found.has_filename())
                found /= "";
            return found.string();
        }
    }
    return {};
}

std::string EnsureApplicationPath() {
    using vesk::reg::Hive;
    using vesk::reg::Key;
    if (auto key = Key::Open(Hive::LocalMachine, kApplicationKey)) {
        if (auto value = key->GetString(kApplicationPathValue); value && !value->empty())
            return vesk::WideToUtf8(*value);
    }
    const std::string folder = FindFilterFolder();
    if (folder.empty()) {
        Note("warning: no %s found near this program; the device search will find nothing",
             kFilterFile);
        return {};
    }
    const std::wstring wide = vesk::Utf8ToWide(folder);
    if (vesk::Utf16Length(wide) > kApplicationPathUnits) {
        Note(
            "warning: the application folder %s is longer than the library accepts; the "
            "device search will find nothing",
            folder.c_str());
        return {};
    }
    auto key = Key::CreateOrOpen(Hive::LocalMachine, kApplicationKey);
    if (!key || !key->SetString(kApplicationPathValue, wide)) {
        Note("warning: cannot record the application folder in the machine registry (%s)",
             vesk::WideToUtf8(vesk::reg::GetHivePath(Hive::LocalMachine)).c_str());
        return {};
    }
    return folder;
}

}  // namespace vesk::cli
