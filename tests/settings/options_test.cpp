// The root's options in the registry store of an isolated profile.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <utility>

#include "platform/charset.h"
#include "platform/registry.h"
#include "root/vesk_root.h"
#include "support/isolated_env.h"

namespace {

using vesk::reg::Hive;
using vesk::reg::Key;

const wchar_t kBox[] = L"Software\\Orvane\\HALD3.1\\Box";
const wchar_t kGeneral[] = L"Software\\Orvane\\HALD3.1\\General";
const wchar_t kLogin[] = L"Software\\Orvane\\HALD3.1\\Login";
const wchar_t kNewStart[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\HideDesktopIcons\\NewStartPanel";
const wchar_t kClassic[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\HideDesktopIcons\\ClassicStartMenu";
const wchar_t kIcon[] = L"{3D1F7A60-8C42-4E1B-9A57-C20E64B81F93}";

class Options : public vesk::test::IsolatedEnv {
protected:
    static std::optional<uint32_t> Value(const std::wstring& key, const wchar_t* name,
                                         Hive hive = Hive::CurrentUser) {
        auto k = Key::Open(hive, key);
        if (!k)
            return std::nullopt;
        return k->GetDword(name);
    }
    static void Put(const std::wstring& key, const wchar_t* name, uint32_t value) {
        auto k = Key::CreateOrOpen(Hive::CurrentUser, key);
        ASSERT_TRUE(k);
        ASSERT_TRUE(k->SetDword(name, value));
    }
    static void PutAll(const std::wstring& base, uint32_t v) {
        for (const wchar_t* name :
             {L"DISPLAY_RX_BOX", L"SAVE_PASSWORD", L"OPEN_BOX", L"OPEN_HALD_V"})
            Put(base + L"\\Box", name, v);
        for (const wchar_t* name : {L"FILE_FORMAT", L"TIMEOUT", L"TIMELIMIT"})
            Put(base + L"\\General", name, v);
        for (const wchar_t* name :
             {L"SAVE_USER_NAME", L"SAVE_ACCOUNT_NAME", L"DISPLAY_CONFIRMATION"})
            Put(base + L"\\Login", name, v);
        Put(kNewStart, kIcon, v);
        Put(kClassic, kIcon, v);
    }
    // Sets every option member to v.
    static void SetAll(CVESKRoot& root, int v) {
        root.SetDisplayRXBOX(v);
        root.SetSaveBoxPassword(v);
        root.SetOpenBoxAtSingleClick(v);
        root.SetOpenWithHaldViewer(v);
        root.SetSelectFileFormat(v);
        root.SetTimeout(v);
        root.SetTime(v);
        root.SetSaveUserName(v);
        root.SetSaveAccountName(v);
        root.SetDisplayConfirmation(v);
        root.SetDesktopIconStatus(v);
    }
    static void ExpectNoDefaultGroups() {
        for (const wchar_t* key : {kBox, kGeneral, kLogin}) {
            EXPECT_FALSE(Key::Open(Hive::CurrentUser, key)) << vesk::WideToUtf8(key);
        }
    }
    // Every option member, in the order SetAll sets them.
    static std::vector<int> Members(CVESKRoot& r) {
        return {r.GetDisplayRXBox(),
                r.GetsaveBoxPassword(),
                r.GetOpenBoxAtSingleClick(),
                r.GetOpenWithHaldViewer(),
                r.GetSelectFileFormat(),
                r.GetTimeout(),
                r.GetTime(),
                r.GetSaveUserName(),
                r.GetSaveAccountName(),
                r.GetDisplayConfirmation(),
                r.GetDispDeskIcon()};
    }
    using M = std::vector<int>;
};

TEST_F(Options, FirstRunCreatesTheKeysWithTheirDefaults) {
    CVESKRoot root;
    SetAll(root, 7);
    ASSERT_EQ(root.LoadOptions(), 1);

    // The viewer option is not a default of a new key; the time limit is in minutes.
    EXPECT_EQ(Members(root), (M{0, 0, 1, 7, 1, 1, 10 * 60000, 0, 0, 1, 0}));
    EXPECT_EQ(Value(kBox, L"DISPLAY_RX_BOX"), 0u);
    EXPECT_EQ(Value(kBox, L"SAVE_PASSWORD"), 0u);
    EXPECT_EQ(Value(kBox, L"OPEN_BOX"), 1u);
    EXPECT_EQ(Value(kBox, L"OPEN_HALD_V"), std::nullopt);
    EXPECT_EQ(Key::Open(Hive::CurrentUser, kBox)->GetType(L"OPEN_HALD_V"),
              vesk::reg::ValueType::None);
    EXPECT_EQ(Value(kGeneral, L"FILE_FORMAT"), 1u);
    EXPECT_EQ(Value(kGeneral, L"TIMEOUT"), 1u);
    EXPECT_EQ(Value(kGeneral, L"TIMELIMIT"), 10u);
    EXPECT_EQ(Value(kLogin, L"SAVE_USER_NAME"), 0u);
    EXPECT_EQ(Value(kLogin, L"SAVE_ACCOUNT_NAME"), 0u);
    EXPECT_EQ(Value(kLogin, L"DISPLAY_CONFIRMATION"), 1u);
    EXPECT_EQ(Value(kNewStart, kIcon), 0u);
    EXPECT_EQ(Value(kClassic, kIcon), 0u);

    // A second load reads what the first one wrote (the viewer value is still absent
    // and reads as 0).
    CVESKRoot again;
    SetAll(again, 7);
    ASSERT_EQ(again.LoadOptions(), 1);
    EXPECT_EQ(Members(again), (M{0, 0, 1, 0, 1, 1, 600000, 0, 0, 1, 0}));
}

TEST_F(Options, TimeLimitInMillisecondsNeverWraps) {
    CVESKRoot root;
    const std::pair<int, int> cases[] = {
        {10, 600000}, {35791, 2147460000}, {35792, INT_MAX}, {40000, INT_MAX}, {-40000, INT_MIN}};
    for (const auto& [minutes, ms] : cases) {
        root.SetTime(minutes);
        EXPECT_EQ(root.GetTime(), ms) << minutes;
    }
}

TEST_F(Options, AGroupIsReadWhollyOrNotAtAll) {
    PutAll(L"Software\\Orvane\\HALD3.1", 3);
    ASSERT_TRUE(Key::Open(Hive::CurrentUser, kBox)->DeleteValue(L"OPEN_HALD_V"));
    CVESKRoot root;
    SetAll(root, 7);
    ASSERT_EQ(root.LoadOptions(), 1);
    EXPECT_EQ(Members(root), (M{3, 3, 3, 0, 3, 3, 3 * 60000, 3, 3, 3, 3}));

    // Without OPEN_BOX the Box group fails and no Box member changes; the later groups
    // are not read either.
    ASSERT_TRUE(Key::Open(Hive::CurrentUser, kBox)->DeleteValue(L"OPEN_BOX"));
    SetAll(root, 7);
    EXPECT_EQ(root.LoadOptions(), 0);
    EXPECT_EQ(Members(root), (M{7, 7, 7, 7, 7, 7, 7 * 60000, 7, 7, 7, 7}));

    // A value of another type counts as missing.
    Put(kBox, L"OPEN_BOX", 3);
    ASSERT_TRUE(Key::Open(Hive::CurrentUser, kGeneral)->SetString(L"TIMEOUT", L"3"));
    EXPECT_EQ(root.LoadOptions(), 0);
    EXPECT_EQ(Members(root), (M{3, 3, 3, 0, 7, 7, 7 * 60000, 7, 7, 7, 7}));
}

TEST_F(Options, SavingNeedsTheKeysALoadCreates) {
    CVESKRoot root;
    SetAll(root, 5);
    EXPECT_EQ(root.SetOptions(), 0);
    for (const wchar_t* key : {kBox, kGeneral, kLogin, kNewStart, kClassic}) {
        EXPECT_FALSE(Key::Open(Hive::CurrentUser, key)) << vesk::WideToUtf8(key);
    }

    ASSERT_EQ(root.LoadOptions(), 1);
    SetAll(root, 5);
    root.SetTime(20);
    ASSERT_EQ(root.SetOptions(), 1);
    EXPECT_EQ(Value(kBox, L"OPEN_HALD_V"), 5u);
    EXPECT_EQ(Value(kGeneral, L"TIMELIMIT"), 20u);
    EXPECT_EQ(Value(kLogin, L"DISPLAY_CONFIRMATION"), 5u);
    EXPECT_EQ(Value(kNewStart, kIcon), 5u);
    EXPECT_EQ(Value(kClassic, kIcon), 5u);
    // The machine-wide copy is only for the oldest Windows shell.
    EXPECT_FALSE(Key::Open(Hive::LocalMachine, kNewStart));

    CVESKRoot reader;
    ASSERT_EQ(reader.LoadOptions(), 1);
    EXPECT_EQ(Members(reader), (M{5, 5, 5, 5, 5, 5, 20 * 60000, 5, 5, 5, 5}));
}

TEST_F(Options, RegistryInformationPathMovesEveryGroup) {
    CVESKRoot root;
    root.SetRegInfoPath(L"Software\\Test\\Own");
    EXPECT_EQ(root.GetRegInfoPath(), L"Software\\Test\\Own");
    ASSERT_EQ(root.LoadOptions(), 1);
    EXPECT_EQ(Value(L"Software\\Test\\Own\\Box", L"OPEN_BOX"), 1u);
    EXPECT_EQ(Value(L"Software\\Test\\Own\\General", L"TIMELIMIT"), 10u);
    EXPECT_EQ(Value(L"Software\\Test\\Own\\Login", L"DISPLAY_CONFIRMATION"), 1u);
    ExpectNoDefaultGroups();

    root.SetDisplayRXBOX(1);
    ASSERT_EQ(root.SetOptions(), 1);
    EXPECT_EQ(Value(L"Software\\Test\\Own\\Box", L"DISPLAY_RX_BOX"), 1u);
    ExpectNoDefaultGroups();

    // The default location has its own values.
    PutAll(L"Software\\Orvane\\HALD3.1", 4);
    CVESKRoot other;
    ASSERT_EQ(other.LoadOptions(), 1);
    EXPECT_EQ(Members(other), (M{4, 4, 4, 4, 4, 4, 4 * 60000, 4, 4, 4, 4}));
    ASSERT_EQ(root.LoadOptions(), 1);  // the shell keys are the same for both
    EXPECT_EQ(Members(root), (M{1, 0, 1, 0, 1, 1, 600000, 0, 0, 1, 4}));
}

TEST_F(Options, DesktopIconStatusComesFromBothShellKeys) {
    PutAll(L"Software\\Orvane\\HALD3.1", 0);
    Put(kNewStart, kIcon, 1);
    Put(kClassic, kIcon, 0);
    CVESKRoot root;
    ASSERT_EQ(root.LoadOptions(), 1);
    EXPECT_EQ(root.GetDispDeskIcon(), 0);  // the later key decides

    // The NewStartPanel key without the value: the load fails after the three groups.
    ASSERT_TRUE(Key::Open(Hive::CurrentUser, kNewStart)->DeleteValue(kIcon));
    Put(L"Software\\Orvane\\HALD3.1\\Login", L"SAVE_USER_NAME", 1);
    SetAll(root, 7);
    EXPECT_EQ(root.LoadOptions(), 0);
    EXPECT_EQ(root.GetSaveUserName(), 1);
    EXPECT_EQ(root.GetDispDeskIcon(), 7);
}

}  // namespace
