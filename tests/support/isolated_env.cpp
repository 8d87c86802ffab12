#include "isolated_env.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/charset.h"
#include "platform/env.h"

namespace vesk::test {
namespace {

void SetVariable(const std::string& name, const std::string& value) {
    vesk::env::Set(Utf8ToWide(name), Utf8ToWide(value));
}

void UnsetVariable(const std::string& name) {
    vesk::env::Unset(Utf8ToWide(name));
}

// Made once per process; a forked child that exits normally leaves it to its parent.
struct LockDirectoryHolder {
    TempFolder* folder = new TempFolder("vesk-lock");
    pid_t owner = ::getpid();

    LockDirectoryHolder() { SetVariable("VESK_LOCK_DIR", folder->path()); }
    ~LockDirectoryHolder() {
        if (owner == ::getpid())
            delete folder;
    }
};

}  // namespace

std::filesystem::path ProcessLockDirectory() {
    static LockDirectoryHolder holder;
    return holder.folder->Path();
}

ScopedIsolation::ScopedIsolation() {
    ProcessLockDirectory();
    for (const auto& dir : {AllUsersProfile(), ConfigHome() / "vesk", DataHome(), HklmDirectory()})
        std::filesystem::create_directories(dir);
    m_env.Set("ALLUSERSPROFILE", AllUsersProfile().string());
    m_env.Set("XDG_CONFIG_HOME", ConfigHome().string());
    m_env.Set("XDG_DATA_HOME", DataHome().string());
    m_env.Set("VESK_HKLM_DIR", HklmDirectory().string());
    // The same files the registry store picks from these variables by default, so a
    // child process finds them too.
    reg::SetHivePath(reg::Hive::CurrentUser, HivePath(reg::Hive::CurrentUser).wstring());
    reg::SetHivePath(reg::Hive::LocalMachine, HivePath(reg::Hive::LocalMachine).wstring());
}

ScopedIsolation::~ScopedIsolation() {
    // Back to the defaults, which follow the variables m_env restores next.
    reg::SetHivePath(reg::Hive::CurrentUser, L"");
    reg::SetHivePath(reg::Hive::LocalMachine, L"");
}

std::filesystem::path ScopedIsolation::HivePath(reg::Hive hive) const {
    return hive == reg::Hive::CurrentUser ? ConfigHome() / "vesk" / "hkcu.db"
                                          : HklmDirectory() / "hklm.db";
}

void IsolatedEnv::SetUp() {
    m_isolation = std::make_unique<ScopedIsolation>();
}

void IsolatedEnv::TearDown() {
    m_isolation.reset();
}

ScopedEnvironment::~ScopedEnvironment() {
    for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
        if (it->second)
            SetVariable(it->first, *it->second);
        else
            UnsetVariable(it->first);
    }
}

void ScopedEnvironment::Save(const std::string& name) {
    const char* old = std::getenv(name.c_str());
    m_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
}

void ScopedEnvironment::Set(const std::string& name, const std::string& value) {
    Save(name);
    SetVariable(name, value);
}

void ScopedEnvironment::Unset(const std::string& name) {
    Save(name);
    UnsetVariable(name);
}

}  // namespace vesk::test
