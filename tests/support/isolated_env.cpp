#include "isolated_env.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <system_error>

#include "platform/charset.h"
#include "platform/env.h"

namespace vesk::test {
namespace {

constexpr const char* kRootVar = "VESK_TEST_ROOT";

std::filesystem::path TempBase() {
    const char* tmp = std::getenv("TMPDIR");
    return (tmp && *tmp) ? std::filesystem::path(tmp) : std::filesystem::temp_directory_path();
}

std::filesystem::path MakeTempDirectory(const std::string& prefix) {
    static const char* letters = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix;
        for (int i = 0; i < 8; ++i)
            name += letters[random() % 36];
        const std::filesystem::path dir = TempBase() / name;
        std::error_code ec;
        if (std::filesystem::create_directory(dir, ec))
            return dir;
        if (ec)
            throw std::system_error(ec, "cannot make " + dir.string());
    }
    throw std::system_error(EEXIST, std::generic_category(),
                            "no free name in " + TempBase().string());
}

void SetVariable(const std::string& name, const std::string& value) {
    vesk::env::Set(Utf8ToWide(name), Utf8ToWide(value));
}

void UnsetVariable(const std::string& name) {
    vesk::env::Unset(Utf8ToWide(name));
}

struct LockDirectoryHolder {
    std::filesystem::path path;
    pid_t owner = 0;  // the process that made it and so removes it

    LockDirectoryHolder() {
        path = MakeTempDirectory("vesk-lock-");
        owner = ::getpid();
        SetVariable("VESK_LOCK_DIR", path.string());
    }
    ~LockDirectoryHolder() {
        if (owner == ::getpid()) {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    }
};

}  // namespace

std::filesystem::path ProcessLockDirectory() {
    static LockDirectoryHolder holder;
    return holder.path;
}

ScopedIsolation::ScopedIsolation() {
    ProcessLockDirectory();

    m_root = MakeTempDirectory("vesk-test-");
    m_owner = true;
    for (const auto& dir : {AllUsersProfile(), ConfigHome() / "vesk", DataHome(), HklmDirectory()})
        std::filesystem::create_directories(dir);
    m_env.Set(kRootVar, m_root.string());
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
    if (m_owner) {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }
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
