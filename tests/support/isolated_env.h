// Private per-user state for a test: its own ALLUSERSPROFILE, XDG_CONFIG_HOME,
// XDG_DATA_HOME and registry hives in a fresh temporary folder, removed afterwards,
// with the previous values restored. Tests never touch the user's real state.
//
// VESK_LOCK_DIR is private to the test process rather than to each test: the library
// opens its lock once per process, on first use, and keeps it. ctest runs every test
// in a process of its own, so there each test has its own lock folder as well.
//
// A forked child inherits the folders; it must leave the scope by _exit, as
// ForkedChild does, so that only the parent removes them.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"
#include "temp_folder.h"

namespace vesk::test {

// Environment variables set for a scope and put back (or removed) afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    void Set(const std::string& name, const std::string& value);
    void Unset(const std::string& name);
    // Only remembers the value, for a variable the code under test changes.
    void Save(const std::string& name);

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

class ScopedIsolation {
public:
    ScopedIsolation();
    ~ScopedIsolation();
    ScopedIsolation(const ScopedIsolation&) = delete;
    ScopedIsolation& operator=(const ScopedIsolation&) = delete;

    const std::filesystem::path& Root() const { return m_root; }
    std::filesystem::path AllUsersProfile() const { return m_root / "allusers"; }
    std::filesystem::path ConfigHome() const { return m_root / "config"; }
    std::filesystem::path DataHome() const { return m_root / "data"; }
    std::filesystem::path HklmDirectory() const { return m_root / "hklm"; }
    std::filesystem::path HivePath(reg::Hive hive) const;

private:
    ScopedEnvironment m_env;
    TempFolder m_dir{"vesk-test"};  // removed before m_env restores the variables
    std::filesystem::path m_root = m_dir.Path();
};

// The lock folder of this test process (created on first call, removed at exit).
std::filesystem::path ProcessLockDirectory();

// Fixture base: each test runs inside its own ScopedIsolation.
class IsolatedEnv : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const std::filesystem::path& Root() const { return m_isolation->Root(); }
    std::filesystem::path AllUsersProfile() const { return m_isolation->AllUsersProfile(); }
    std::filesystem::path ConfigHome() const { return m_isolation->ConfigHome(); }
    std::filesystem::path HivePath(reg::Hive hive) const { return m_isolation->HivePath(hive); }
    std::filesystem::path LockDirectory() const { return ProcessLockDirectory(); }

private:
    std::unique_ptr<ScopedIsolation> m_isolation;
};

// The same isolation for a whole test program, for programs whose tests may share one
// set of folders: ::testing::AddGlobalTestEnvironment(new IsolatedProgram).
class IsolatedProgram : public ::testing::Environment {
public:
    void SetUp() override { m_isolation = std::make_unique<ScopedIsolation>(); }
    void TearDown() override { m_isolation.reset(); }

private:
    std::unique_ptr<ScopedIsolation> m_isolation;
};

// Makes the folder (with its trailing separator) the application folder, where the
// search looks for its filter file; the HKLM hive should be a test's own (IsolatedEnv).
inline void SetApplicationPath(const std::wstring& value) {
    auto key =
        reg::Key::CreateOrOpen(reg::Hive::LocalMachine, L"SOFTWARE\\ORVANE\\HALD3.1\\Application");
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->SetString(L"ApplicationPath", value));
}
inline std::string UseApplicationFolder(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    SetApplicationPath(folder.wstring() + L"/");
    return folder.string() + "/";
}

}  // namespace vesk::test
