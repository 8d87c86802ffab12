// CVESKRoot's options: box, general and login options and the desktop-icon value,
// kept in the current user's registry.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "platform/registry.h"
#include "root/vesk_root.h"

namespace {

using vesk::reg::Disposition;
using vesk::reg::Hive;
using vesk::reg::Key;

const wchar_t kDefaultOptionsKey[] = L"Software\\Orvane\\HALD3.1";
const wchar_t kNewStartPanelKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\HideDesktopIcons\\NewStartPanel";
const wchar_t kClassicStartMenuKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\HideDesktopIcons\\"
    L"ClassicStartMenu";
// The shell's hide flag for the application's desktop icon is named after its class id.
const wchar_t kDesktopIconValue[] = L"{3D1F7A60-8C42-4E1B-9A57-C20E64B81F93}";

struct Option {
    const wchar_t* name;
    int* member;
    int defaultValue;
    // An optional value reads as 0 when absent and is not written when the key is new.
    bool optional = false;
};

CString GroupKey(const CString& regInfoPath, const wchar_t* group) {
    CString key = regInfoPath.IsEmpty() ? CString(kDefaultOptionsKey) : regInfoPath;
    return key + L"\\" + group;
}

int ReadGroup(const CString& keyPath, std::initializer_list<Option> options) {
    Disposition disposition{};
    std::unique_ptr<Key> key = Key::CreateOrOpen(Hive::CurrentUser, keyPath.str(), &disposition);
    if (!key)
        return 0;

    if (disposition == Disposition::OpenedExistingKey) {
        // All or nothing: a missing value leaves every member of the group as it was.
        std::vector<int> values;
        values.reserve(options.size());
        for (const Option& o : options) {
            std::optional<uint32_t> v = key->GetDword(o.name);
            if (!v && !o.optional)
                return 0;
            values.push_back(v ? static_cast<int>(*v) : 0);
        }
        size_t i = 0;
        for (const Option& o : options)
            *o.member = values[i++];
        return 1;
    }

    for (const Option& o : options) {
        if (!o.optional)
            *o.member = o.defaultValue;
    }
    for (const Option& o : options) {
        if (o.optional)
            continue;
        if (!key->SetDword(o.name, static_cast<uint32_t>(o.defaultValue)))
            return 0;
    }
    return 1;
}

int WriteGroup(const CString& keyPath, std::initializer_list<Option> options) {
    // Only LoadOptions creates the keys.
    std::unique_ptr<Key> key = Key::Open(Hive::CurrentUser, keyPath.str());
    if (!key)
        return 0;
    for (const Option& o : options) {
        if (!key->SetDword(o.name, static_cast<uint32_t>(*o.member)))
            return 0;
    }
    return 1;
}

}  // namespace

// One table per group serves both directions: reading uses the defaults and the
// optional flag, writing stores every member as it is.
int CVESKRoot::OptionGroup(const wchar_t* group, bool write) {
    const CString keyPath = GroupKey(m_strRegInfoPath, group);
    const auto apply = [&](std::initializer_list<Option> options) {
        return write ? WriteGroup(keyPath, options) : ReadGroup(keyPath, options);
    };
    const CString name(group);
    if (name == L"Box")
        return apply({{L"DISPLAY_RX_BOX", &m_nDisplayRXBox, 0},
                      {L"SAVE_PASSWORD", &m_nSaveBoxPassword, 0},
                      {L"OPEN_BOX", &m_nOpenBoxAtSingleClick, 1},
                      {L"OPEN_HALD_V", &m_nOpenWithHaldViewer, 0, true}});
    if (name == L"General")
        return apply({{L"FILE_FORMAT", &m_nSelectFileFormat, 1},
                      {L"TIMEOUT", &m_nTimeout, 1},
                      {L"TIMELIMIT", &m_nTimeLimit, 10}});
    return apply({{L"SAVE_USER_NAME", &m_nSaveUserName, 0},
                  {L"SAVE_ACCOUNT_NAME", &m_nSaveAccountName, 0},
                  {L"DISPLAY_CONFIRMATION", &m_nDisplayConfirmation, 1}});
}

int CVESKRoot::GetBoxOptions() {
    return OptionGroup(L"Box", false);
}
int CVESKRoot::GetGeneralOptions() {
    return OptionGroup(L"General", false);
}
int CVESKRoot::GetLoginOptions() {
    return OptionGroup(L"Login", false);
}
int CVESKRoot::SetBoxOptions() {
    return OptionGroup(L"Box", true);
}
int CVESKRoot::SetGeneralOptions() {
    return OptionGroup(L"General", true);
}
int CVESKRoot::SetLoginOptions() {
    return OptionGroup(L"Login", true);
}

int CVESKRoot::GetDesktopIconOption() {
    Disposition disposition{};
    std::unique_ptr<Key> key =
        Key::CreateOrOpen(Hive::CurrentUser, m_strDesktopKey.str(), &disposition);
    if (!key)
        return 0;
    if (disposition == Disposition::OpenedExistingKey) {
        std::optional<uint32_t> status = key->GetDword(kDesktopIconValue);
        if (!status)
            return 0;
        m_nDispDeskIcon = static_cast<int>(*status);
        return 1;
    }
    m_nDispDeskIcon = 0;
    return key->SetDword(kDesktopIconValue, 0) ? 1 : 0;
}

int CVESKRoot::SetDesktopIconOption() {
    std::unique_ptr<Key> key = Key::CreateOrOpen(Hive::CurrentUser, m_strDesktopKey.str());
    if (!key)
        return 0;
    if (!key->SetDword(kDesktopIconValue, static_cast<uint32_t>(m_nDispDeskIcon)))
        return 0;
    key.reset();
    RefreshDesktop();
    return 1;
}

int CVESKRoot::SetDesktopIconOption_2000() {
    // The machine-wide copy of the flag is only updated where it already exists.
    std::unique_ptr<Key> key = Key::Open(Hive::LocalMachine, m_strDesktopKey.str());
    if (!key)
        return 0;
    if (!key->SetDword(kDesktopIconValue, static_cast<uint32_t>(m_nDispDeskIcon)))
        return 0;
    key.reset();
    RefreshDesktop();
    return 1;
}

// Linux desktops do not read the Windows shell's hide flags and have no "Program
// Manager" window to ask for a redraw, so there is nothing to refresh.
void CVESKRoot::RefreshDesktop() {}

// Only the Windows shell tells its versions apart (kind 13 keeps a machine-wide copy
// of the desktop-icon flag); every other system is kind 1.
int CVESKRoot::GetOSInfo() {
    m_nOSKind = 1;
    return 1;
}

int CVESKRoot::LoadOptions() {
    try {
        if (!GetBoxOptions() || !GetGeneralOptions() || !GetLoginOptions())
            return 0;
        GetOSInfo();
        m_strDesktopKey = kNewStartPanelKey;
        if (!GetDesktopIconOption())
            return 0;
        m_strDesktopKey = kClassicStartMenuKey;
        return GetDesktopIconOption();
    } catch (const std::bad_alloc&) {
        return -1001;
    }
}

int CVESKRoot::SetOptions() {
    try {
        if (!SetBoxOptions() || !SetGeneralOptions() || !SetLoginOptions())
            return 0;
        m_strDesktopKey = kNewStartPanelKey;
        if (!SetDesktopIconOption())
            return 0;
        if (m_nOSKind == 13 && !SetDesktopIconOption_2000())
            return 0;
        m_strDesktopKey = kClassicStartMenuKey;
        return SetDesktopIconOption();
    } catch (const std::bad_alloc&) {
        return -1001;
    }
}
