#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/charset.h"
#include "platform/env.h"
#include "support/isolated_env.h"

namespace env = vesk::env;

namespace {

TEST(Env, SetGetUnsetRoundTrip) {
    vesk::test::ScopedEnvironment saved;
    saved.Save("VESK_TEST_VAR");
    EXPECT_TRUE(env::Set(L"VESK_TEST_VAR", L"C:/\u00e4\u00f6\u00fc/\u30c6\u30b9\u30c8"));
    EXPECT_EQ(env::Get(L"VESK_TEST_VAR"), L"C:/\u00e4\u00f6\u00fc/\u30c6\u30b9\u30c8");
    EXPECT_STREQ(std::getenv("VESK_TEST_VAR"),
                 "C:/\xc3\xa4\xc3\xb6\xc3\xbc/\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88");
    EXPECT_TRUE(env::Unset(L"VESK_TEST_VAR"));
    EXPECT_EQ(env::Get(L"VESK_TEST_VAR"), L"");
    EXPECT_EQ(std::getenv("VESK_TEST_VAR"), nullptr);

    EXPECT_FALSE(env::Set(L"", L"x"));
    EXPECT_FALSE(env::Set(L"A=B", L"x"));
    EXPECT_EQ(std::getenv("A"), nullptr);
    EXPECT_EQ(env::Get(L""), L"");
}

// The Windows variables fall back to their POSIX sources, in order.
TEST(Env, WindowsVariablesFallBackToTheirPosixSources) {
    const passwd* pw = getpwuid(getuid());
    ASSERT_TRUE(pw);
    const std::string home = pw->pw_dir, login = pw->pw_name;
    struct Case {
        const char* allUsers;  // nullptr: unset
        const char* dataHome;
        const char* homeVar;
        std::string profile;
    };
    // A relative XDG_DATA_HOME is invalid and ignored, as the XDG rules say; set but
    // empty stays empty (callers read that as "no profile folder").
    const Case cases[] = {
        {"/profiles/all", "/data/home", "/h/", "/profiles/all"},
        {nullptr, "/data/home", "/h/", "/data/home"},
        {nullptr, "relative", "/home/someone/", "/home/someone/.local/share"},
        {nullptr, nullptr, nullptr, home + "/.local/share"},
        {"", "/data/home", "/h/", ""},
    };
    for (const Case& c : cases) {
        vesk::test::ScopedEnvironment e;
        const std::pair<const char*, const char*> vars[] = {
            {"ALLUSERSPROFILE", c.allUsers}, {"XDG_DATA_HOME", c.dataHome}, {"HOME", c.homeVar}};
        for (auto [name, value] : vars)
            value ? e.Set(name, value) : e.Unset(name);
        EXPECT_EQ(env::Get(L"ALLUSERSPROFILE"), vesk::Utf8ToWide(c.profile)) << c.profile;
        EXPECT_EQ(env::HomeDirectory(), vesk::Utf8ToWide(c.homeVar ? c.homeVar : home));
    }

    const std::pair<const char*, const char*> users[] = {
        {"win-user", "posix-user"}, {nullptr, "posix-user"}, {nullptr, nullptr}};
    for (auto [windows, posix] : users) {
        vesk::test::ScopedEnvironment e;
        windows ? e.Set("USERNAME", windows) : e.Unset("USERNAME");
        posix ? e.Set("USER", posix) : e.Unset("USER");
        EXPECT_EQ(env::Get(L"USERNAME"), vesk::Utf8ToWide(windows ? windows
                                                          : posix ? posix
                                                                  : login));
    }
}

}  // namespace
