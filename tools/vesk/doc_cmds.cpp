// vesk docs, doc rename: the documents of one box, through the box item (box login,
// document list) and the document items, in a session logged in as the options say.
#include "box/mfp_box.h"
#include "device/mfp_device.h"
#include "document/vesk_document.h"
#include "tools/vesk/box_access.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/session.h"

namespace vesk::cli {

namespace {

int Docs(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(d, a.Positional()[1]);
    OpenBox open(d, box, a.Get(BoxPasswordFileOption().name));
    const std::vector<CVESKDocument*> docs = open.Documents();
    if (a.Has("--json")) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (CVESKDocument* doc : docs)
            list.push_back(DocumentJson(*doc));
        PrintJson({{"device", U8(d.GetItemName())}, {"box", BoxJson(box)}, {"documents", list}});
        return kExitOk;
    }
    if (docs.empty()) {
        Note("%s holds no documents", BoxLabel(box).c_str());
        return kExitOk;
    }
    Table t(DocumentHeader());
    for (CVESKDocument* doc : docs)
        t.Add(DocumentRow(*doc));
    t.Print();
    return kExitOk;
}

int Rename(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);
    std::string newName = a.Positional()[3];
    CheckNewName(newName, "a document name", kMaxDocNameBytes + 5);
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(d, a.Positional()[1]);
    OpenBox open(d, box, a.Get(BoxPasswordFileOption().name));
    CVESKDocument& doc = FindDocument(open.Documents(), a.Positional()[2]);

    // The extension shown in the list belongs to the file type, not to the name.
    const std::string ext = U8(CVESKMFPBox::GetDocNameWithExt(CString(), doc.GetFileType()));
    if (!ext.empty() && newName.size() > ext.size() &&
        W(newName.substr(newName.size() - ext.size())).CompareNoCase(W(ext).GetString()) == 0) {
        newName.resize(newName.size() - ext.size());
        Note("note: %s is the file type's extension; the name is \"%s\"", ext.c_str(),
             Printable(newName).c_str());
    }
    CheckNewName(newName, "a document name", kMaxDocNameBytes);

    const std::string before = U8(doc.GetDispDocname());
    const long id = doc.GetItemID();
    const int rc = doc.RenameItem(W(newName).GetString(), CString());
    if (rc != 1) {
        ThrowResult("cannot rename document " + std::to_string(id) + " \"" + Printable(before) +
                        "\" in " + BoxLabel(box),
                    rc);
    }
    Out("renamed document %ld in %s: \"%s\" is now \"%s\"", id, BoxLabel(box).c_str(),
        Printable(before).c_str(),
        Printable(U8(CVESKMFPBox::GetDocNameWithExt(doc.GetItemName(), doc.GetFileType())))
            .c_str());
    return kExitOk;
}

}  // namespace

void AddDocumentCommands(std::vector<Command>& table) {
    const OptionDef json{"--json", "", "print JSON for scripts instead of a table"};
    table.push_back({"docs", "DEVICE BOX", "list the documents of a box",
                     "BOX is a box number or name. Opens the box (a protected one with its\n"
                     "password: --box-password-file FILE, VESK_BOX_PASSWORD or a prompt) and\n"
                     "lists id, name with the file type's extension, pages, type, page size in\n"
                     "pixels (the device's list carries no byte size), colour and date.",
                     SessionOptionsWith({BoxPasswordFileOption(), json}), 2, 2, Docs});
    table.push_back({"doc rename", "DEVICE BOX DOC NEWNAME", "rename a document in a box",
                     "DOC is a document id or name (with or without its extension); a name that\n"
                     "fits several documents is refused: give the id. NEWNAME is at most 90\n"
                     "bytes of UTF-8; the file type's extension, if given, is left off.",
                     SessionOptionsWith({BoxPasswordFileOption()}), 4, 4, Rename});
}

}  // namespace vesk::cli
