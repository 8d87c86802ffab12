// vesk rm, vesk bind: deleting documents of a box, and several documents of a box
// downloaded bound into one file, through the box item.
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "box/mfp_box.h"
#include "device/mfp_device.h"
#include "document/vesk_document.h"
#include "platform/fs.h"
#include "tools/vesk/box_access.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/session.h"
#include "tools/vesk/system.h"

namespace vesk::cli {

namespace {

// The documents the operands name, each once, in the order given.
std::vector<CVESKDocument*> PickDocuments(OpenBox& open, const ParsedArgs& a) {
    const std::vector<CVESKDocument*> docs = open.Documents();
    std::vector<CVESKDocument*> picked;
    for (size_t i = 2; i < a.Positional().size(); ++i) {
        CVESKDocument* doc = &FindDocument(docs, a.Positional()[i]);
        if (std::find(picked.begin(), picked.end(), doc) == picked.end())
            picked.push_back(doc);
    }
    return picked;
}

std::string DocLabel(CVESKDocument& doc) {
    std::string out = "document " + std::to_string(doc.GetItemID()) + " \"";
    out += Printable(U8(doc.GetDispDocname()));
    out += '"';
    return out;
}

int Remove(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);
    if (!a.Has("--yes") && !sys::StdinIsTerminal())
        throw UsageError("a removed document cannot be brought back; confirm with --yes");
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(d, a.Positional()[1]);
    OpenBox open(d, box, a.Get(BoxPasswordFileOption().name));
    // Every name is resolved before anything is removed.
    const std::vector<CVESKDocument*> picked = PickDocuments(open, a);
    const std::string where = BoxLabel(box) + " on " + Printable(U8(d.GetItemName()));
    if (!a.Has("--yes") &&
        !Confirmed("Remove " + std::to_string(picked.size()) + " document(s) from " + where + "?"))
        throw Failure("nothing was removed");
    size_t removed = 0;
    for (CVESKDocument* doc : picked) {
        const std::string label = DocLabel(*doc);
        // The memory-RX box takes the password that opened it as its removal password.
        const int rc = box.DeleteChildItem(static_cast<int>(doc->GetItemID()), box.GetPassword());
        if (rc != 1) {
            ThrowResult("cannot remove " + label + " from " + where +
                            (removed ? " (" + std::to_string(removed) + " removed before it)" : ""),
                        rc);
        }
        ++removed;
        Out("removed %s from %s", label.c_str(), where.c_str());
    }
    return kExitOk;
}

struct BindFormat {
    const char* name;
    int fileType;
    const char* text;
};
const BindFormat kBindFormats[] = {{"pdf", 2, "PDF"}, {"tiff", 1, "TIFF"}, {"xps", 5, "XPS"}};

// Puts the finished file in place: renamed over the target when it may be replaced (a
// reader sees the old file or the new one, never a part), never over one otherwise.
bool PlaceFile(const std::wstring& from, const std::wstring& to, bool overwrite) {
    if (!overwrite)
        return vesk::fs::MoveFile(from, to);
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    return !ec || vesk::fs::CopyFile(from, to, false);
}

int Bind(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);
    const std::string formatName = a.Get("--format").value_or("pdf");
    const BindFormat* format = nullptr;
    for (const BindFormat& f : kBindFormats)
        format = formatName == f.name ? &f : format;
    if (!format)
        throw UsageError("--format takes pdf, tiff or xps, not " + Printable(formatName));
    const std::optional<std::string> output = a.Get("-o");
    if (!output || output->empty())
        throw UsageError("give the file to write with -o FILE");
    const std::filesystem::path target = std::filesystem::absolute(*output);
    const bool overwrite = a.Has("--overwrite");
    if (std::filesystem::is_directory(target))
        throw UsageError(Printable(*output) + " is a folder; -o names the file to write");
    if (std::filesystem::exists(target) && !overwrite)
        throw Failure(Printable(*output) + " exists; --overwrite replaces it", kExitExists);
    if (!std::filesystem::is_directory(target.parent_path()))
        throw Failure("there is no folder " + Printable(target.parent_path().string()));

    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(d, a.Positional()[1]);
    OpenBox open(d, box, a.Get(BoxPasswordFileOption().name));
    const std::vector<CVESKDocument*> picked = PickDocuments(open, a);
    std::vector<long> ids;
    for (CVESKDocument* doc : picked)
        ids.push_back(doc->GetItemID());
    const std::string where = BoxLabel(box) + " on " + Printable(U8(d.GetItemName()));

    CString bound;
    const int rc = box.GetDocumentAfterBind(bound, ids.data(), static_cast<int>(ids.size()),
                                            format->fileType, nullptr);
    if (rc != 1)
        ThrowResult("cannot download the documents of " + where + " bound as " + format->text, rc);
    const std::wstring from = bound.str();
    const bool placed = PlaceFile(from, target.wstring(), overwrite);
    vesk::fs::RemoveFile(from);
    vesk::fs::RemoveDirectory(std::filesystem::path(from).parent_path().wstring());
    if (!placed)
        throw Failure("cannot write " + Printable(*output) +
                      (overwrite ? "" : " (it may exist now; --overwrite replaces it)"));
    std::error_code ec;
    const uintmax_t bytes = std::filesystem::file_size(target, ec);
    if (a.Has("--json")) {
        PrintJson({{"file", target.string()},
                   {"bytes", ec ? 0 : bytes},
                   {"format", formatName},
                   {"documents", ids}});
        return kExitOk;
    }
    Out("wrote %s: %zu document(s) of %s bound as %s, %ju bytes", Printable(*output).c_str(),
        ids.size(), where.c_str(), format->text, ec ? uintmax_t{0} : bytes);
    return kExitOk;
}

}  // namespace

void AddBindCommands(std::vector<Command>& table) {
    table.push_back(
        {"rm", "DEVICE BOX DOC...", "remove documents from a box",
         "BOX is a box number or name, each DOC a document id or name (with or\n"
         "without its extension). Every DOC is found before anything is removed.\n"
         "Asks first (--yes does not; needed without a terminal). A protected box\n"
         "needs its password (--box-password-file FILE, VESK_BOX_PASSWORD or a\n"
         "prompt); in the memory-RX box that password also removes. Exit status 4\n"
         "when the device refuses a removal (the ones before it stay removed).",
         SessionOptionsWith({BoxPasswordFileOption(), {"--yes", "", "remove without asking"}}), 3,
         1000, Remove});
    table.push_back(
        {"bind", "DEVICE BOX DOC...", "download documents of a box bound into one file",
         "The device binds the documents, in the order given, into one PDF, TIFF or\n"
         "XPS file, written to -o FILE. An existing FILE is replaced only with\n"
         "--overwrite, and then whole or not at all; a failed download leaves nothing.",
         SessionOptionsWith({BoxPasswordFileOption(),
                             {"--format", "pdf|tiff|xps", "the bound file's format (default pdf)"},
                             {"-o", "FILE", "the file to write"},
                             {"--overwrite", "", "replace FILE if it exists"},
                             {"--json", "", "print JSON for scripts"}}),
         3, 1000, Bind});
}

}  // namespace vesk::cli
