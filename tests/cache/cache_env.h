// A private profile folder and registry hive for each cache test, so tests never touch
// the user's state, plus helpers for files that cannot be deleted.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/charset.h"
#include "platform/cstring.h"
#include "platform/file.h"
#include "support/isolated_env.h"

// Readable CString values in test failures.
inline void PrintTo(const CString& s, std::ostream* os) {
    *os << '"' << vesk::WideToUtf8(s.str()) << '"';
}

namespace vesk::cachetest {

// Each test runs in the team's isolated environment (its own ALLUSERSPROFILE and
// registry hives).
class CacheEnv : public vesk::test::IsolatedEnv {
protected:
    // Temporary folder of this test (UTF-8, no trailing separator).
    std::string Tmp() const { return Root().string(); }
    // The profile folder ALLUSERSPROFILE points to.
    std::string Profile() const { return AllUsersProfile().string(); }
    // The default base folder, as the cache builds it.
    CString BaseDir() const;
    // QBOXCACHE below the default base folder, created.
    std::string CacheDir() const;
};

// Text with each "/" turned into the platform's separator: the parts of expected paths
// that the library writes itself.
CString Native(const wchar_t* text);
// Whether names follow Windows rules (device names such as CON are reserved).
bool WindowsNames();

// Makes a file impossible to delete while the object lives: on Windows the open file
// shares no deletion; elsewhere the file system's immutable flag is set on it (needs the
// right to set it: root, or CAP_LINUX_IMMUTABLE).
class Undeletable {
public:
    explicit Undeletable(const std::string& path);
    ~Undeletable();
    Undeletable(const Undeletable&) = delete;
    Undeletable& operator=(const Undeletable&) = delete;
    bool Ok() const { return m_ok; }

private:
    CFile m_file;
    bool m_ok = false;
};

// Sets or clears the immutable flag where the system has one; true on Windows, where
// the open file is the protection (cache_env_posix.cpp, cache_env_win32.cpp).
bool SetImmutable(CFile& file, bool on);

// Whether this machine lets a test make a file undeletable.
bool CanMakeUndeletable(const std::string& scratchDir);

}  // namespace vesk::cachetest
