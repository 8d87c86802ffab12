// vesk boxes, box create|rm|passwd|rename|set: the user boxes of one device, through the
// device item's box list and box administration and the box item's own changes, in a
// session logged in as the options say.
#include <algorithm>
#include <set>

#include "box/mfp_box.h"
#include "core/iteminfo.h"
#include "device/mfp_device.h"
#include "tools/vesk/box_access.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/session.h"
#include "tools/vesk/system.h"

namespace vesk::cli {

namespace {

const OptionDef kJsonOption{"--json", "", "print JSON for scripts instead of a table"};
const OptionDef kNewPasswordFileOption{"--new-box-password-file", "FILE",
                                       "read the new box password from FILE's first line"};

int Boxes(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);  // option mistakes before any connection
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    const std::vector<CVESKMFPBox*> boxes = ListBoxes(d);
    if (a.Has("--json")) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (CVESKMFPBox* b : boxes)
            list.push_back(BoxJson(*b));
        PrintJson({{"device", U8(d.GetItemName())}, {"boxes", list}});
        return kExitOk;
    }
    if (boxes.empty()) {
        Note("%s has no boxes", Printable(U8(d.GetItemName())).c_str());
        return kExitOk;
    }
    Table t(BoxHeader());
    for (CVESKMFPBox* b : boxes)
        t.Add(BoxRow(*b));
    t.Print();
    return kExitOk;
}

int Create(Context& ctx, const ParsedArgs& a) {
    const std::string name = a.Positional()[1];
    CheckNewName(name, "a box name", kMaxBoxNameBytes);
    const std::optional<std::string> owner = a.Get("--owner");
    if (owner)
        CheckTypedName(*owner, "an owner name", kMaxOwnerBytes);
    // A box with an owner belongs to that user unless the type says otherwise.
    const int type = a.GetInt("--type", owner ? 1 : 0, 0, 9);
    const bool protect = a.Has("--protect");
    if (a.Has(BoxPasswordFileOption().name) && !protect)
        throw UsageError("--box-password-file goes with --protect");
    LoginFromArgs(a);

    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    const std::string device = Printable(U8(d.GetItemName()));
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    std::set<long> before;
    for (CVESKMFPBox* b : ListBoxes(d)) {
        if (U8(b->GetItemName()) == name) {
            throw Failure(device + " already has " + BoxLabel(*b) + "; nothing was created",
                          kExitRefused);
        }
        before.insert(b->GetItemID());
    }

    ITEMINFO info;
    info.strBoxName = W(name);
    info.strBoxUserName = W(owner.value_or(""));
    info.nBoxType = type;
    Secret pw = protect ? ReadNewBoxPassword(a.Get(BoxPasswordFileOption().name),
                                             "VESK_BOX_PASSWORD", BoxPasswordFileOption().name,
                                             "the box " + Printable(name) + " on " + device)
                        : Secret();
    if (protect && pw.Text().empty())
        throw UsageError("an empty password protects nothing; leave --protect out");
    info.strBoxPassword = W(pw.Text());
    const int rc = d.AddChildItem(info);
    info.strBoxPassword.str().assign(info.strBoxPassword.str().size(), L'\0');
    if (rc != 1)
        ThrowResult("cannot create the box " + Printable(name) + " on " + device, rc);

    // The library lists a new box only when this login may see it; the device's list
    // tells its number all the same.
    for (CVESKMFPBox* b : ListBoxes(d)) {
        if (!before.count(b->GetItemID()) && U8(b->GetItemName()) == name) {
            Out("created %s on %s%s", BoxLabel(*b).c_str(), device.c_str(),
                protect ? " with a password" : "");
            return kExitOk;
        }
    }
    Out("created the box \"%s\" on %s; the device does not list it for this login",
        Printable(name).c_str(), device.c_str());
    return kExitOk;
}

int Remove(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);
    const bool terminal = sys::StdinIsTerminal();
    if (!a.Has("--yes") && !terminal)
        throw UsageError("removing a box deletes its documents; confirm with --yes");
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    const std::string device = Printable(U8(d.GetItemName()));
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(d, a.Positional()[1]);
    // The item goes with its removal.
    const std::string label = BoxLabel(box);
    const long number = box.GetItemID();
    if (!a.Has("--yes") &&
        !Confirmed("Remove " + label + " and all its documents from " + device + "?"))
        throw Failure("nothing was removed");
    Secret pw = box.GetPasswordProtected()
                    ? ReadPassword({a.Get(BoxPasswordFileOption().name), "VESK_BOX_PASSWORD",
                                    "Password for " + label + " on " + device + ": "})
                    : Secret();
    const int rc = d.DeleteChildItem(static_cast<int>(number), W(pw.Text()));
    if (rc == -1036) {
        Out("removed %s from %s", label.c_str(), device.c_str());
        Note("warning: its cached files were left in place: %s", ResultText(rc).c_str());
        return kExitOk;
    }
    if (rc != 1)
        ThrowResult("cannot remove " + label + " from " + device, rc);
    Out("removed %s from %s", label.c_str(), device.c_str());
    return kExitOk;
}

int Passwd(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);
    const bool clear = a.Has("--clear");
    if (clear && a.Has(kNewPasswordFileOption.name))
        throw UsageError("--clear and --new-box-password-file exclude each other");
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    const std::string device = Printable(U8(d.GetItemName()));
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(d, a.Positional()[1]);
    const std::string label = BoxLabel(box) + " on " + device;
    // The device checks the present password of a protected box.
    if (box.GetPasswordProtected()) {
        Secret old = ReadPassword({a.Get(BoxPasswordFileOption().name), "VESK_BOX_PASSWORD",
                                   "Present password for " + label + ": "});
        box.SetPassword(W(old.Text()));
    }
    Secret pw =
        clear ? Secret()
              : ReadNewBoxPassword(a.Get(kNewPasswordFileOption.name), "VESK_NEW_BOX_PASSWORD",
                                   kNewPasswordFileOption.name, label);
    if (!clear && pw.Text().empty())
        throw UsageError("the new password is empty; use --clear to remove the box's password");
    int detail = 0;
    const int rc = d.ChangeBoxPassword(&box, W(pw.Text()), detail);
    if (rc == -1030 && detail != 0)
        throw Failure(
            "cannot change the password of " + label + ": the device refused the present password",
            kExitPassword);
    if (rc != 1)
        ThrowResult("cannot change the password of " + label, rc);
    Out("%s %s", label.c_str(), clear ? "has no password now" : "has a new password");
    return kExitOk;
}

// The password of a protected box, asked for only when the box has one.
Secret PresentPassword(const ParsedArgs& a, CVESKMFPBox& box, const std::string& label) {
    if (!box.GetPasswordProtected())
        return Secret();
    return ReadPassword({a.Get(BoxPasswordFileOption().name), "VESK_BOX_PASSWORD",
                         "Present password for " + label + ": "});
}

int RenameBox(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);
    const std::string name = a.Positional()[2];
    CheckNewName(name, "a box name", kMaxBoxNameBytes);
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    const std::string device = Printable(U8(d.GetItemName()));
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(d, a.Positional()[1]);
    const std::string label = BoxLabel(box) + " on " + device;
    Secret pw = PresentPassword(a, box, label);
    const int rc = box.RenameItem(W(name).GetString(), W(pw.Text()));
    if (rc == -1065)
        throw Failure("cannot rename " + label + ": another box is named " + Printable(name),
                      kExitRefused);
    if (rc != 1)
        ThrowResult("cannot rename " + label, rc);
    Out("renamed %s: it is %s now", label.c_str(), BoxLabel(box).c_str());
    return kExitOk;
}

// How the device tells who owns a box of a type: 0 nobody, 1 a user, 2 an account.
int OwnerKind(int boxType) {
    return boxType == 0 ? 0 : boxType == 2 ? 2 : 1;
}

int SetBox(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);
    const std::optional<std::string> name = a.Get("--name");
    if (name)
        CheckNewName(*name, "a box name", kMaxBoxNameBytes);
    const std::optional<std::string> owner = a.Get("--owner");
    if (owner)
        CheckTypedName(*owner, "an owner name", kMaxOwnerBytes);
    const bool clear = a.Has("--clear-password");
    const bool rekey = a.Has(kNewPasswordFileOption.name);
    if (clear && rekey)
        throw UsageError("--clear-password and a new password exclude each other");
    if (!name && !owner && !clear && !rekey && !a.Has("--type"))
        throw UsageError("nothing to change: give --name, --type, --owner or a new password");
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    const std::string device = Printable(U8(d.GetItemName()));
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(d, a.Positional()[1]);
    const std::string label = BoxLabel(box) + " on " + device;
    if (box.GetItemID() == 0 || box.GetFilingBoxType() == 1)
        throw Failure(label + " is not a user box; its settings are the device's", kExitRefused);

    // The device takes every setting at once: what is not changed is sent as it is.
    Secret present = PresentPassword(a, box, label);
    ITEMINFO info;
    info.strBoxName = name ? W(*name) : box.GetItemName();
    info.nBoxType = a.GetInt("--type", box.GetBoxType(), 0, 9);
    info.nBoxValueB = OwnerKind(info.nBoxType);
    info.strBoxUserName = owner ? W(*owner) : box.GetUserNameW();
    info.nSearchChar = box.GetSearchChar();
    info.nMain = box.GetMain();
    info.nAutoDelTime = box.GetAutoDelTime();
    info.nAutoDelTimeType = box.GetAutoDelTimeType();
    info.nAutoDelTimeMinute = box.GetAutoDelTimeMinute();
    Secret next =
        rekey ? ReadNewBoxPassword(a.Get(kNewPasswordFileOption.name), "VESK_NEW_BOX_PASSWORD",
                                   kNewPasswordFileOption.name, label)
              : Secret();
    if (rekey && next.Text().empty())
        throw UsageError("the new password is empty; use --clear-password to remove it");
    info.strBoxPassword = W(rekey ? next.Text() : clear ? std::string() : present.Text());
    // What the box has now, so that only changes count as changes.
    box.SetPassword(W(present.Text()));
    const int rc = box.ModifyItem(info, W(present.Text()));
    info.strBoxPassword.str().assign(info.strBoxPassword.str().size(), L'\0');
    if (rc == -1063 || rc == -1065) {
        throw Failure("cannot change " + label + ": the device refused " +
                          (rc == -1065 ? "the owner" : "the settings (a name in use?)"),
                      kExitRefused);
    }
    if (rc != 1)
        ThrowResult("cannot change " + label, rc);
    if (a.Has("--json")) {
        PrintJson(BoxJson(box));
        return kExitOk;
    }
    Out("changed %s", label.c_str());
    Table t(BoxHeader());
    t.Add(BoxRow(box));
    t.Print();
    return kExitOk;
}

}  // namespace

void AddBoxCommands(std::vector<Command>& table) {
    table.push_back({"boxes", "DEVICE", "list the boxes of a device",
                     "Logs in and lists the boxes: number, name, owner, type and whether a\n"
                     "password is asked of this login (never for the box administrator). The\n"
                     "memory-RX box comes first, filing-number boxes last. The device's list\n"
                     "carries no document count; 'vesk docs DEVICE BOX' lists a box's documents.",
                     SessionOptionsWith({kJsonOption}), 1, 1, Boxes});
    table.push_back(
        {"box create", "DEVICE NAME", "create a box on a device",
         "NAME is at most 60 bytes of UTF-8. Type 0 is a shared box, 1 a user's box\n"
         "(the default with --owner), 2 an account's box. With --protect the box\n"
         "gets a password: from --box-password-file FILE, VESK_BOX_PASSWORD or typed\n"
         "twice at a prompt. Exit status 5 when the device has no room for another\n"
         "box, 4 when it refuses.",
         SessionOptionsWith({{"--owner", "USER", "the user (or account) the box belongs to"},
                             {"--type", "N", "box type, 0 to 9 (default 0, or 1 with --owner)"},
                             {"--protect", "", "give the box a password"},
                             BoxPasswordFileOption()}),
         2, 2, Create});
    table.push_back(
        {"box rm", "DEVICE BOX", "remove a box and its documents from a device",
         "BOX is a box number or name. Asks before removing (--yes does not); a\n"
         "protected box needs its password: --box-password-file FILE,\n"
         "VESK_BOX_PASSWORD or a prompt. Exit status 3 for a refused password, 4\n"
         "when the device refuses (the box is in use, or not this login's).",
         SessionOptionsWith({BoxPasswordFileOption(),
                             {"--yes", "", "remove without asking (needed without a terminal)"}}),
         2, 2, Remove});
    table.push_back({"box passwd", "DEVICE BOX", "change or remove the password of a box",
                     "The present password (for a protected box) comes from --box-password-file\n"
                     "FILE, VESK_BOX_PASSWORD or a prompt; the new one from\n"
                     "--new-box-password-file FILE, VESK_NEW_BOX_PASSWORD or is typed twice.\n"
                     "--clear removes the password. Exit status 3 when the present password is\n"
                     "refused, 4 when the device refuses the change.",
                     SessionOptionsWith({BoxPasswordFileOption(),
                                         kNewPasswordFileOption,
                                         {"--clear", "", "remove the box's password"}}),
                     2, 2, Passwd});
    table.push_back({"box rename", "DEVICE BOX NEWNAME", "rename a box",
                     "BOX is a box number or name; NEWNAME is at most 60 bytes of UTF-8. A\n"
                     "protected box needs its password: --box-password-file FILE,\n"
                     "VESK_BOX_PASSWORD or a prompt. Exit status 3 for a refused password, 4\n"
                     "when the device refuses (the name is in use, or not this login's box).",
                     SessionOptionsWith({BoxPasswordFileOption()}), 3, 3, RenameBox});
    table.push_back(
        {"box set", "DEVICE BOX", "change a box's name, type, owner or password",
         "Changes what the options give and sends the rest as it is. A protected box\n"
         "needs its present password (--box-password-file FILE, VESK_BOX_PASSWORD or\n"
         "a prompt); a new one from --new-box-password-file FILE (-: standard input).\n"
         "Prints the box as it is now. Exit\n"
         "status 3 for a refused password, 4 when the device refuses a setting.",
         SessionOptionsWith({{"--name", "NAME", "the new name (at most 60 bytes of UTF-8)"},
                             {"--type", "N", "box type: 0 shared, 1 a user's, 2 an account's"},
                             {"--owner", "USER", "the user (or account) the box belongs to"},
                             BoxPasswordFileOption(),
                             kNewPasswordFileOption,
                             {"--clear-password", "", "remove the box's password"},
                             kJsonOption}),
         2, 2, SetBox});
}

}  // namespace vesk::cli
