#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/charset.h"
#include "platform/env.h"

namespace env = vesk::env;

namespace {

// Saves the variables a test changes and puts them back afterwards.
class EnvTest : public ::testing::Test {
protected:
    void Save(const char* name) {
        const char* v = std::getenv(name);
        m_saved.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
    }
    void TearDown() override {
        for (const auto& [name, value] : m_saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST_F(EnvTest, SetGetUnsetRoundTrip) {
    Save("VESK_TEST_VAR");
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

TEST_F(EnvTest, AllUsersProfileFallsBackToTheDataFolder) {
    Save("ALLUSERSPROFILE");
    Save("XDG_DATA_HOME");
    Save("HOME");
    setenv("ALLUSERSPROFILE", "/profiles/all", 1);
    EXPECT_EQ(env::Get(L"ALLUSERSPROFILE"), L"/profiles/all");

    unsetenv("ALLUSERSPROFILE");
    setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(env::Get(L"ALLUSERSPROFILE"), L"/data/home");

    // A relative XDG_DATA_HOME is invalid and ignored, as the XDG rules say.
    setenv("XDG_DATA_HOME", "relative", 1);
    setenv("HOME", "/home/someone/", 1);
    EXPECT_EQ(env::Get(L"ALLUSERSPROFILE"), L"/home/someone/.local/share");
    EXPECT_EQ(env::HomeDirectory(), L"/home/someone/");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    struct passwd* pw = getpwuid(getuid());
    ASSERT_TRUE(pw);
    EXPECT_EQ(env::Get(L"ALLUSERSPROFILE"),
              vesk::Utf8ToWide(std::string(pw->pw_dir) + "/.local/share"));
    EXPECT_EQ(env::HomeDirectory(), vesk::Utf8ToWide(pw->pw_dir));

    // Set but empty stays empty: callers treat that as "no profile folder".
    setenv("ALLUSERSPROFILE", "", 1);
    EXPECT_EQ(env::Get(L"ALLUSERSPROFILE"), L"");
}

TEST_F(EnvTest, UserNameFallsBackToTheLoginName) {
    Save("USERNAME");
    Save("USER");
    setenv("USERNAME", "win-user", 1);
    EXPECT_EQ(env::Get(L"USERNAME"), L"win-user");
    unsetenv("USERNAME");
    setenv("USER", "posix-user", 1);
    EXPECT_EQ(env::Get(L"USERNAME"), L"posix-user");
    unsetenv("USER");
    struct passwd* pw = getpwuid(getuid());
    ASSERT_TRUE(pw);
    EXPECT_EQ(env::Get(L"USERNAME"), vesk::Utf8ToWide(pw->pw_name));
}

}  // namespace
