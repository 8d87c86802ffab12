// vesk options show|set: the user's options that the root item keeps in the registry.
#include <functional>

#include "root/vesk_root.h"
#include "tools/vesk/cli.h"

namespace vesk::cli {

namespace {

struct OptionKey {
    const char* key;
    const char* registryName;
    bool boolean;
    int min;
    int max;
    const char* help;
    std::function<int(CVESKRoot&)> get;
    std::function<void(CVESKRoot&, int)> set;
};

const std::vector<OptionKey>& Keys() {
    static const std::vector<OptionKey> keys = {
        {"display-rx-box", "DISPLAY_RX_BOX", true, 0, 1, "show the memory-RX box",
         [](CVESKRoot& r) { return r.GetDisplayRXBox(); },
         [](CVESKRoot& r, int v) { r.SetDisplayRXBOX(v); }},
        {"save-box-password", "SAVE_PASSWORD", true, 0, 1, "remember box passwords",
         [](CVESKRoot& r) { return r.GetsaveBoxPassword(); },
         [](CVESKRoot& r, int v) { r.SetSaveBoxPassword(v); }},
        {"open-box-single-click", "OPEN_BOX", true, 0, 1, "open a box with a single click",
         [](CVESKRoot& r) { return r.GetOpenBoxAtSingleClick(); },
         [](CVESKRoot& r, int v) { r.SetOpenBoxAtSingleClick(v); }},
        {"open-with-viewer", "OPEN_HALD_V", true, 0, 1, "open documents with the viewer",
         [](CVESKRoot& r) { return r.GetOpenWithHaldViewer(); },
         [](CVESKRoot& r, int v) { r.SetOpenWithHaldViewer(v); }},
        {"file-format", "FILE_FORMAT", false, 0, 99, "preferred download file format",
         [](CVESKRoot& r) { return r.GetSelectFileFormat(); },
         [](CVESKRoot& r, int v) { r.SetSelectFileFormat(v); }},
        {"timeout", "TIMEOUT", false, 0, 1000000, "time-out setting",
         [](CVESKRoot& r) { return r.GetTimeout(); }, [](CVESKRoot& r, int v) { r.SetTimeout(v); }},
        {"time-limit", "TIMELIMIT", false, 1, 35000, "time limit in minutes",
         [](CVESKRoot& r) { return r.GetTime() / 60000; },
         [](CVESKRoot& r, int v) { r.SetTime(v); }},
        {"save-user-name", "SAVE_USER_NAME", true, 0, 1, "remember the last user name",
         [](CVESKRoot& r) { return r.GetSaveUserName(); },
         [](CVESKRoot& r, int v) { r.SetSaveUserName(v); }},
        {"save-account-name", "SAVE_ACCOUNT_NAME", true, 0, 1, "remember the last account name",
         [](CVESKRoot& r) { return r.GetSaveAccountName(); },
         [](CVESKRoot& r, int v) { r.SetSaveAccountName(v); }},
        {"display-confirmation", "DISPLAY_CONFIRMATION", true, 0, 1, "ask before acting",
         [](CVESKRoot& r) { return r.GetDisplayConfirmation(); },
         [](CVESKRoot& r, int v) { r.SetDisplayConfirmation(v); }},
        {"hide-desktop-icon", "{3D1F7A60-...}", true, 0, 1, "hide the desktop icon",
         [](CVESKRoot& r) { return r.GetDispDeskIcon(); },
         [](CVESKRoot& r, int v) { r.SetDesktopIconStatus(v); }},
    };
    return keys;
}

void Load(CVESKRoot& root) {
    if (root.LoadOptions() != 1)
        throw Failure("cannot read the options from the user registry");
}

int ParseValue(const OptionKey& k, const std::string& text) {
    if (k.boolean) {
        if (text == "1" || text == "yes" || text == "on" || text == "true")
            return 1;
        if (text == "0" || text == "no" || text == "off" || text == "false")
            return 0;
        throw UsageError(std::string(k.key) + " is 0 or 1 (or yes/no, on/off), not '" + text + "'");
    }
    return ParseInt(text, k.key, k.min, k.max);
}

int Show(Context& ctx, const ParsedArgs& a) {
    CVESKRoot& root = ctx.Root();
    Load(root);
    const std::string only = a.Positional().empty() ? "" : a.Positional()[0];
    bool any = false;
    Table t({"KEY", "VALUE", "MEANING"});
    for (const OptionKey& k : Keys()) {
        if (!only.empty() && only != k.key)
            continue;
        t.Add({k.key, std::to_string(k.get(root)), k.help});
        any = true;
    }
    if (!any)
        throw UsageError("unknown option key '" + only + "' (see 'vesk options show')");
    t.Print();
    return kExitOk;
}

int SetOne(Context& ctx, const ParsedArgs& a) {
    const std::string key = a.Positional()[0];
    const OptionKey* k = nullptr;
    for (const OptionKey& candidate : Keys()) {
        if (key == candidate.key)
            k = &candidate;
    }
    if (!k)
        throw UsageError("unknown option key '" + key + "' (see 'vesk options show')");
    const int value = ParseValue(*k, a.Positional()[1]);

    CVESKRoot& root = ctx.Root();
    Load(root);
    k->set(root, value);
    if (root.SetOptions() != 1)
        throw Failure("cannot write the options to the user registry");
    // Read back through a root of its own: what a later run will see.
    CVESKRoot check;
    Load(check);
    if (k->get(check) != value)
        throw Failure(std::string("the registry did not keep ") + k->key);
    Out("%s = %d", k->key, value);
    return kExitOk;
}

}  // namespace

void AddOptionsCommands(std::vector<Command>& table) {
    std::string keys = "keys:\n";
    for (const OptionKey& k : Keys()) {
        std::string line = std::string("  ") + k.key;
        line.append(line.size() < 26 ? 26 - line.size() : 1, ' ');
        keys += line + k.help + (k.boolean ? " (0 or 1)" : "") + "\n";
    }
    keys.pop_back();
    table.push_back({"options show", "[KEY]", "show the user's options", keys, {}, 0, 1, Show});
    table.push_back(
        {"options set", "KEY VALUE", "change one of the user's options", keys, {}, 2, 2, SetOne});
}

}  // namespace vesk::cli
