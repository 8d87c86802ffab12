// The root's options in the registry store of an isolated profile.
#include <gtest/gtest.h>

#include <climits>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/charset.h"
#include "platform/registry.h"
#include "root/vesk_root.h"
#include "support/isolated_env.h"

namespace {

using vesk::reg::Hive;
using vesk::reg::Key;

const std::wstring kBase = L"Software\\Orvane\\HALD3.1";
const wchar_t kNewStart[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\HideDesktopIcons\\NewStartPanel";
const wchar_t kClassic[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\HideDesktopIcons\\ClassicStartMenu";
const wchar_t kIcon[] = L"{3D1F7A60-8C42-4E1B-9A57-C20E64B81F93}";

// Every option in the order the root reads them: its group key (none: the desktop
// icon value of the two shell keys), its value name and its member.
struct Option {
    const wchar_t* group;
    const wchar_t* name;
    void (CVESKRoot::*set)(int);
    int (CVESKRoot::*get)();
};
const Option kOptions[] = {
    {L"Box", L"DISPLAY_RX_BOX", &CVESKRoot::SetDisplayRXBOX, &CVESKRoot::GetDisplayRXBox},
    {L"Box", L"SAVE_PASSWORD", &CVESKRoot::SetSaveBoxPassword, &CVESKRoot::GetsaveBoxPassword},
    {L"Box", L"OPEN_BOX", &CVESKRoot::SetOpenBoxAtSingleClick, &CVESKRoot::GetOpenBoxAtSingleClick},
    {L"Box", L"OPEN_HALD_V", &CVESKRoot::SetOpenWithHaldViewer, &CVESKRoot::GetOpenWithHaldViewer},
    {L"General", L"FILE_FORMAT", &CVESKRoot::SetSelectFileFormat, &CVESKRoot::GetSelectFileFormat},
    {L"General", L"TIMEOUT", &CVESKRoot::SetTimeout, &CVESKRoot::GetTimeout},
    {L"General", L"TIMELIMIT", &CVESKRoot::SetTime, &CVESKRoot::GetTime},
    {L"Login", L"SAVE_USER_NAME", &CVESKRoot::SetSaveUserName, &CVESKRoot::GetSaveUserName},
    {L"Login", L"SAVE_ACCOUNT_NAME", &CVESKRoot::SetSaveAccountName,
     &CVESKRoot::GetSaveAccountName},
    {L"Login", L"DISPLAY_CONFIRMATION", &CVESKRoot::SetDisplayConfirmation,
     &CVESKRoot::GetDisplayConfirmation},
    {nullptr, kIcon, &CVESKRoot::SetDesktopIconStatus, &CVESKRoot::GetDispDeskIcon},
};

class Options : public vesk::test::IsolatedEnv {
protected:
    using M = std::vector<int>;
    using V = std::vector<std::optional<uint32_t>>;

    static std::optional<uint32_t> Value(const std::wstring& key, const wchar_t* name) {
        auto k = Key::Open(Hive::CurrentUser, key);
        return k ? k->GetDword(name) : std::nullopt;
    }
    static void Put(const std::wstring& key, const wchar_t* name, uint32_t value) {
        auto k = Key::CreateOrOpen(Hive::CurrentUser, key);
        ASSERT_TRUE(k);
        ASSERT_TRUE(k->SetDword(name, value));
    }
    // The keys of each option under base; the icon value is in both shell keys.
    static std::vector<std::wstring> Keys(const Option& o, const std::wstring& base) {
        if (o.group)
            return {base + L"\\" + o.group};
        return {kNewStart, kClassic};
    }
    // What the store holds for every option, in table order.
    static V Stored(const std::wstring& base = kBase) {
        V out;
        for (const Option& o : kOptions)
            for (const auto& key : Keys(o, base))
                out.push_back(Value(key, o.name));
        return out;
    }
    static void PutAll(uint32_t v) {
        for (const Option& o : kOptions)
            for (const auto& key : Keys(o, kBase))
                Put(key, o.name, v);
    }
    static void SetAll(CVESKRoot& root, int v) {
        for (const Option& o : kOptions)
            (root.*o.set)(v);
    }
    static M Members(CVESKRoot& root) {
        M out;
        for (const Option& o : kOptions)
            out.push_back((root.*o.get)());
        return out;
    }
    static void ExpectNoKeys(std::initializer_list<std::wstring> keys) {
        for (const auto& key : keys)
            EXPECT_FALSE(Key::Open(Hive::CurrentUser, key)) << vesk::WideToUtf8(key);
    }
};

TEST_F(Options, FirstRunCreatesTheKeysWithTheirDefaults) {
    CVESKRoot root;
    SetAll(root, 7);
    ASSERT_EQ(root.LoadOptions(), 1);

    // The viewer option is not a default of a new key; the time limit is in minutes.
    EXPECT_EQ(Members(root), (M{0, 0, 1, 7, 1, 1, 10 * 60000, 0, 0, 1, 0}));
    EXPECT_EQ(Stored(), (V{0, 0, 1, std::nullopt, 1, 1, 10, 0, 0, 1, 0, 0}));
    EXPECT_EQ(Key::Open(Hive::CurrentUser, kBase + L"\\Box")->GetType(L"OPEN_HALD_V"),
              vesk::reg::ValueType::None);

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
    PutAll(3);
    ASSERT_TRUE(Key::Open(Hive::CurrentUser, kBase + L"\\Box")->DeleteValue(L"OPEN_HALD_V"));
    CVESKRoot root;
    SetAll(root, 7);
    ASSERT_EQ(root.LoadOptions(), 1);
    EXPECT_EQ(Members(root), (M{3, 3, 3, 0, 3, 3, 3 * 60000, 3, 3, 3, 3}));

    // Without OPEN_BOX the Box group fails and no Box member changes; the later groups
    // are not read either.
    ASSERT_TRUE(Key::Open(Hive::CurrentUser, kBase + L"\\Box")->DeleteValue(L"OPEN_BOX"));
    SetAll(root, 7);
    EXPECT_EQ(root.LoadOptions(), 0);
    EXPECT_EQ(Members(root), (M{7, 7, 7, 7, 7, 7, 7 * 60000, 7, 7, 7, 7}));

    // A value of another type counts as missing.
    Put(kBase + L"\\Box", L"OPEN_BOX", 3);
    ASSERT_TRUE(Key::Open(Hive::CurrentUser, kBase + L"\\General")->SetString(L"TIMEOUT", L"3"));
    EXPECT_EQ(root.LoadOptions(), 0);
    EXPECT_EQ(Members(root), (M{3, 3, 3, 0, 7, 7, 7 * 60000, 7, 7, 7, 7}));
}

TEST_F(Options, SavingNeedsTheKeysALoadCreates) {
    CVESKRoot root;
    SetAll(root, 5);
    EXPECT_EQ(root.SetOptions(), 0);
    ExpectNoKeys({kBase + L"\\Box", kBase + L"\\General", kBase + L"\\Login", kNewStart, kClassic});

    ASSERT_EQ(root.LoadOptions(), 1);
    SetAll(root, 5);
    root.SetTime(20);
    ASSERT_EQ(root.SetOptions(), 1);
    EXPECT_EQ(Stored(), (V{5, 5, 5, 5, 5, 5, 20, 5, 5, 5, 5, 5}));
    // The machine-wide copy is only for the oldest Windows shell.
    EXPECT_FALSE(Key::Open(Hive::LocalMachine, kNewStart));

    CVESKRoot reader;
    ASSERT_EQ(reader.LoadOptions(), 1);
    EXPECT_EQ(Members(reader), (M{5, 5, 5, 5, 5, 5, 20 * 60000, 5, 5, 5, 5}));
}

TEST_F(Options, RegistryInformationPathMovesEveryGroup) {
    const std::wstring own = L"Software\\Test\\Own";
    CVESKRoot root;
    root.SetRegInfoPath(own.c_str());
    EXPECT_EQ(root.GetRegInfoPath(), own.c_str());
    ASSERT_EQ(root.LoadOptions(), 1);
    root.SetDisplayRXBOX(1);
    ASSERT_EQ(root.SetOptions(), 1);
    EXPECT_EQ(Stored(own), (V{1, 0, 1, 0, 1, 1, 10, 0, 0, 1, 0, 0}));
    ExpectNoKeys({kBase + L"\\Box", kBase + L"\\General", kBase + L"\\Login"});

    // The default location has its own values.
    PutAll(4);
    CVESKRoot other;
    ASSERT_EQ(other.LoadOptions(), 1);
    EXPECT_EQ(Members(other), (M{4, 4, 4, 4, 4, 4, 4 * 60000, 4, 4, 4, 4}));
    ASSERT_EQ(root.LoadOptions(), 1);  // the shell keys are the same for both
    EXPECT_EQ(Members(root), (M{1, 0, 1, 0, 1, 1, 600000, 0, 0, 1, 4}));
}

TEST_F(Options, DesktopIconStatusComesFromBothShellKeys) {
    PutAll(0);
    Put(kNewStart, kIcon, 1);
    CVESKRoot root;
    ASSERT_EQ(root.LoadOptions(), 1);
    EXPECT_EQ(root.GetDispDeskIcon(), 0);  // the later key decides

    // The NewStartPanel key without the value: the load fails after the three groups.
    ASSERT_TRUE(Key::Open(Hive::CurrentUser, kNewStart)->DeleteValue(kIcon));
    Put(kBase + L"\\Login", L"SAVE_USER_NAME", 1);
    SetAll(root, 7);
    EXPECT_EQ(root.LoadOptions(), 0);
    EXPECT_EQ(root.GetSaveUserName(), 1);
    EXPECT_EQ(root.GetDispDeskIcon(), 7);
}

}  // namespace
