// Fixture for tests of the device registry file and the items that use it: an
// isolated profile (IsolatedEnv) with USERNAME fixed, and helpers that read and write
// files byte for byte.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "isolated_env.h"
#include "platform/cstring.h"
#include "platform/env.h"
#include "temp_folder.h"

namespace vesk::test {

inline std::string ReadBytes(const std::filesystem::path& path) {
    return ReadFile(path.string());
}
inline std::string ReadBytes(const CString& path) {
    return ReadBytes(std::filesystem::path(path.str()));
}

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    WriteFile(path.string(), bytes);
}
inline void WriteBytes(const CString& path, const std::string& bytes) {
    WriteBytes(std::filesystem::path(path.str()), bytes);
}

// Counts the entries of a folder (0 when it is missing).
inline int EntriesIn(const std::filesystem::path& dir) {
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator(dir, ec);
         !ec && it != std::filesystem::directory_iterator(); ++it) {
        ++n;
    }
    return n;
}

class RegistryFixture : public IsolatedEnv {
protected:
    void SetUp() override {
        IsolatedEnv::SetUp();
        m_userName.Set("USERNAME", "tester");
    }

    // ALLUSERSPROFILE/ORVANE/HALD/3.1: the registry files and the view settings.
    std::filesystem::path HaldFolder() const {
        return AllUsersProfile() / "ORVANE" / "HALD" / "3.1";
    }
    std::filesystem::path RegistryFile() const { return HaldFolder() / "tester.xml"; }
    std::string RegistryBytes() const { return ReadBytes(RegistryFile()); }
    void WriteRegistry(const std::string& xml) const { WriteBytes(RegistryFile(), xml); }

private:
    ScopedEnvironment m_userName;
};

// For tests of registry files at paths of their own: a folder made for them.
class RegistryFilesFixture : public RegistryFixture {
protected:
    std::filesystem::path Dir() const { return Root() / "files"; }
    void SetUp() override {
        RegistryFixture::SetUp();
        std::filesystem::create_directories(Dir());
    }
    CString PathOf(const char* name) const { return CString((Dir() / name).wstring()); }
};

}  // namespace vesk::test
