// A private profile folder and registry hive for each cache test, so tests never touch
// the user's state, plus helpers for files that cannot be deleted.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/charset.h"
#include "platform/cstring.h"
#include "support/isolated_env.h"

// Readable CString values in test failures.
inline void PrintTo(const CString& s, std::ostream* os) {
    *os << '"' << vesk::WideToUtf8(s.str()) << '"';
}

namespace vesk::cachetest {

// Each test runs in the team's isolated environment (its own ALLUSERSPROFILE and
// registry hives); files a test made undeletable are released before clean-up.
class CacheEnv : public vesk::test::IsolatedEnv {
protected:
    void TearDown() override;

    // Temporary folder of this test (UTF-8, no trailing separator).
    std::string Tmp() const { return Root().string(); }
    // The profile folder ALLUSERSPROFILE points to.
    std::string Profile() const { return AllUsersProfile().string(); }
    // The default base folder, as the cache builds it.
    CString BaseDir() const;
    // QBOXCACHE below the default base folder, created.
    std::string CacheDir() const;
};

// Makes a file impossible to delete with the file system's immutable flag (needs the
// right to set it: root, or CAP_LINUX_IMMUTABLE). Undone on destruction.
class Undeletable {
public:
    explicit Undeletable(const std::string& path);
    ~Undeletable();
    Undeletable(const Undeletable&) = delete;
    Undeletable& operator=(const Undeletable&) = delete;
    bool Ok() const { return m_ok; }

private:
    std::string m_path;
    bool m_ok = false;
};

// Whether this machine lets a test make a file undeletable.
bool CanMakeUndeletable(const std::string& scratchDir);

}  // namespace vesk::cachetest
