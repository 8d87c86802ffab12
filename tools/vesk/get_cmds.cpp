// vesk get, cp, mv: documents out of a box, through the box item's copy and move (into
// a local folder, downloaded by the document item; or into another box of the same
// device, done by the device), in a session logged in as the options say. Downloads
// show their progress, and Ctrl-C cancels the one under way: the library then leaves
// no partial file, and a file that was there before stays as it was.
#include <algorithm>
#include <filesystem>
#include <map>

#include "box/mfp_box.h"
#include "cache/utility.h"
#include "core/current_tcpcore.h"
#include "device/mfp_device.h"
#include "document/vesk_document.h"
#include "platform/charset.h"
#include "tcpcore/tcpcore.h"
#include "tools/vesk/box_access.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/progress.h"
#include "tools/vesk/session.h"

namespace vesk::cli {

namespace {

namespace fs = std::filesystem;

// ---- formats -----------------------------------------------------------------

struct FormatName {
    const char* name;
    int code;  // the file type code asked of the device
};
// Both PDF kinds (2 and 4) and both XPS kinds (5 and 6) answer to one name; a
// document of the second kind is saved in its own kind (see FormatFor).
const FormatName kFormats[] = {{"jpeg", 0}, {"jpg", 0},  {"tiff", 1}, {"tif", 1}, {"pdf", 2},
                               {"xps", 5},  {"pptx", 7}, {"docx", 8}, {"xlsx", 9}};

std::string FormatLabel(int code) {
    static const char* const kLabels[] = {"JPEG", "TIFF", "PDF",        "?",    "PDF",
                                          "XPS",  "XPS",  "PowerPoint", "Word", "Excel"};
    return code >= 0 && code <= 9 ? kLabels[code] : std::string("type ") + std::to_string(code);
}

// What --format asked for: -1 the document's own format; `exact` for a code given as a
// number.
struct FormatChoice {
    int code = -1;
    bool exact = false;
};

FormatChoice ParseFormat(const std::optional<std::string>& text) {
    if (!text)
        return {};
    for (const FormatName& f : kFormats) {
        if (W(*text).CompareNoCase(W(f.name).GetString()) == 0)
            return {f.code, false};
    }
    if (text->size() == 1 && (*text)[0] >= '0' && (*text)[0] <= '9' && (*text)[0] != '3')
        return {(*text)[0] - '0', true};
    throw UsageError(
        "--format is jpeg, tiff, pdf, xps, pptx, docx, xlsx or a file type code "
        "(0-2, 4-9), not '" +
        Printable(*text) + "'");
}

// The file type code to hand to the box, -1 for the document's own.
int FormatFor(CVESKDocument& doc, const FormatChoice& choice) {
    if (choice.code < 0 || choice.exact)
        return choice.code;
    const int own = doc.GetFileType();
    if (choice.code == 2 && own == 4)
        return 4;
    if (choice.code == 5 && own == 6)
        return 6;
    return choice.code;
}

// ---- documents ---------------------------------------------------------------

struct Picked {
    long id;
    std::string name;  // the display name, printable
};

std::string DocLabel(const Picked& p) {
    std::string out = std::string("document ") + std::to_string(p.id) + " \"";
    out += p.name;
    out += '"';
    return out;
}

// The documents the operands name, each once, in the order given. Throws before
// anything is done when one of them is not in the box.
std::vector<Picked> PickDocuments(const std::vector<CVESKDocument*>& docs,
                                  const std::vector<std::string>& operands) {
    std::vector<Picked> out;
    for (size_t i = 2; i < operands.size(); ++i) {
        CVESKDocument& doc = FindDocument(docs, operands[i]);
        const long id = doc.GetItemID();
        if (std::none_of(out.begin(), out.end(), [&](const Picked& p) { return p.id == id; }))
            out.push_back({id, Printable(U8(doc.GetDispDocname()))});
    }
    return out;
}

// The box's listed document with that id, looked up afresh: a move removes its
// document from the list.
CVESKDocument* Listed(CVESKMFPBox& box, long id) {
    CVESKItemList* list = box.GetItemList();
    for (POSITION pos = list ? list->GetHeadPosition() : nullptr; pos;) {
        auto* doc = DYNAMIC_DOWNCAST(CVESKDocument, list->GetNext(pos));
        if (doc && doc->GetItemID() == id)
            return doc;
    }
    return nullptr;
}

// The device's code for the last failure, QTCP_OK when there is none.
int LastDeviceCode() {
    CTcpCore* core = vesk::GetCurrentTcpCore();
    int code = QTCP_OK;
    int detail = 0;
    if (core)
        core->GetLastErrorCode(code, detail);
    return code;
}

std::string WithDeviceError(std::string text) {
    const std::string detail = LastDeviceError();
    if (!detail.empty()) {
        text += " (";
        text += detail;
        text += ')';
    }
    return text;
}

// ---- into a folder -------------------------------------------------------------

struct FolderRequest {
    bool copy = true;
    std::string folder;  // absolute, ending in '/'
    FormatChoice format;
    bool allPages = false;
    bool overwrite = false;
    bool quiet = false;
};

// An existing folder, absolute and ending in '/', as the box wants it.
std::string TargetFolder(const std::string& given) {
    if (given.empty())
        throw UsageError("an empty folder name was given");
    if (vesk::WideToUtf8(vesk::Utf8ToWide(given)) != given)
        throw UsageError("the folder name must be UTF-8 text");
    std::error_code ec;
    fs::path p = fs::absolute(given, ec);
    if (ec || !fs::is_directory(p, ec))
        throw Failure(std::string("no folder ") + Printable(given));
    std::string out = p.lexically_normal().string();
    if (out.empty() || out.back() != '/')
        out += '/';
    return out;
}

long long FileSize(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path p(path);
    if (!std::filesystem::is_regular_file(p, ec))
        return -1;
    const auto size = std::filesystem::file_size(p, ec);
    return ec ? -1 : static_cast<long long>(size);
}

// The files of an all-pages JPEG download: the name the box returned with "_" and the
// page number, zero-padded to the digits of the page count, before its extension.
std::vector<std::string> PageFiles(const std::string& path, int pages) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExt ? path.substr(0, dot) : path;
    const std::string ext = hasExt ? path.substr(dot) : std::string();
    const size_t width = std::to_string(pages).size();
    std::vector<std::string> out;
    for (int n = 1; n <= pages; ++n) {
        std::string number = std::to_string(n);
        number.insert(0, width - std::min(width, number.size()), '0');
        std::string file = stem;
        file += '_';
        file += number;
        file += ext;
        out.push_back(std::move(file));
    }
    return out;
}

// The name the box gives the document's file when saved as fileType (-1 its own):
// its display name made safe, with the type's extension.
std::string TargetName(CVESKDocument& doc, int fileType) {
    CString name = CUtility::EscapeFileNameKeepExt(doc.GetDispDocname());
    if (fileType != -1) {
        const int dot = name.ReverseFind(L'.');
        CString stem = dot < 0 ? name : name.Left(dot);
        name = stem + CUtility::FileTypeExtension(fileType);
    }
    return U8(name);
}

// Reports what a successful (or, for a move, half successful) pass wrote.
void ReportSaved(const FolderRequest& r, const Picked& p, const std::string& path, int pages,
                 double seconds) {
    const char* verb = r.copy ? "saved" : "moved";
    if (pages <= 1) {
        Out("%s %s as %s (%lld bytes, %.1f s)", verb, DocLabel(p).c_str(), Printable(path).c_str(),
            FileSize(path), seconds);
        return;
    }
    long long bytes = 0;
    int found = 0;
    const std::vector<std::string> files = PageFiles(path, pages);
    for (const std::string& f : files) {
        if (const long long n = FileSize(f); n >= 0) {
            bytes += n;
            ++found;
        }
    }
    Out("%s %s as %d page files %s to %s (%lld bytes, %.1f s)", verb, DocLabel(p).c_str(), found,
        Printable(files.front()).c_str(), Printable(files.back()).c_str(), bytes, seconds);
    if (found != pages)
        Note("warning: %d of the %d page files are missing", pages - found, pages);
}

// Why a pass failed, and the exit status that tells it.
std::pair<std::string, int> FolderFailure(const FolderRequest& r, int rc) {
    switch (rc) {
        case 0: {
            const int device = LastDeviceCode();
            return {WithDeviceError("the download failed"),
                    device >= 8000 && device < 9000 ? kExitRefused : kExitFailed};
        }
        case -1035:
            return {std::string("a file of that name is in ") + Printable(r.folder) +
                        " (--overwrite replaces it)",
                    kExitExists};
        case -1028:
            return {std::string("the file could not be put in place in ") + Printable(r.folder),
                    kExitFailed};
        case -1029:
            return {WithDeviceError("the file is in place, but the device did not delete the "
                                    "document"),
                    kExitRefused};
        case -1036:
            return {"the downloaded file cannot be read", kExitFailed};
        case -1037:
            return {"the box is not logged in", kExitFailed};
        case -1040:
            return {"the box no longer lists it", kExitFailed};
        case -1045:
            return {"the cache folders cannot be made", kExitFailed};
        default:
            return {ResultText(rc), kExitFailed};
    }
}

// Copies or moves the documents into the folder, one after the other; a failure is
// reported and the others go on. Returns the exit status of the first failure.
int SaveToFolder(CVESKMFPDevice& d, CVESKMFPBox& box, const std::vector<Picked>& picked,
                 const FolderRequest& r) {
    const int protocol = d.GetTCPVersion();
    TransferProgress progress(ProgressStyleFor(r.quiet));
    int status = kExitOk;
    // Files saved in this run, by the document saved there: two documents of one name
    // never replace each other, --overwrite or not.
    std::map<std::string, long> saved;
    const char* verb = r.copy ? "save" : "move";
    for (const Picked& p : picked) {
        if (Interrupted()) {
            ClearInterrupt();
            throw Failure(std::string("interrupted before ") + DocLabel(p), kExitInterrupted);
        }
        CVESKDocument* doc = Listed(box, p.id);
        if (!doc) {
            Note("cannot %s %s: the box no longer lists it", verb, DocLabel(p).c_str());
            status = status ? status : kExitFailed;
            continue;
        }
        // --all-pages splits the JPEG documents (and those asked for as JPEG); the
        // other formats hold every page in one file anyway.
        const int asked = FormatFor(*doc, r.format);
        const bool split = r.allPages && (asked == 0 || (asked < 0 && doc->GetFileType() == 0));
        const int fileType = split ? 0 : asked;
        if (fileType >= 0 && !doc->IsDocCompatible(fileType)) {
            Note("cannot %s %s as %s: it is a %s document", verb, DocLabel(p).c_str(),
                 FormatLabel(fileType).c_str(), FormatLabel(doc->GetFileType()).c_str());
            status = status ? status : kExitFailed;
            continue;
        }
        // As the document's own save does: on newer devices the colour the user may
        // have, at the device's resolution.
        if (protocol >= 32) {
            doc->SetColor(doc->GetDefaultDownloadColor());
            doc->SetResolution(0);
        }
        doc->SetDownlaodAll(split ? 1 : 0);
        const int pageCount = doc->GetPageNo();
        const bool jpeg = fileType == 0 || (fileType < 0 && doc->GetFileType() == 0);
        const int pages = split && protocol >= 32 ? pageCount : 1;
        if (split && protocol < 32 && pageCount > 1) {
            Note(
                "note: the device (protocol %d.%d) sends a JPEG document's pages one call at "
                "a time only from 3.2 on; page 1 of %d is saved",
                protocol / 10, protocol % 10, pageCount);
        }

        const std::string target = r.folder + TargetName(*doc, fileType);
        if (auto earlier = saved.find(target); earlier != saved.end()) {
            Note("cannot %s %s: %s was saved from document %ld in this run; save it on its own",
                 verb, DocLabel(p).c_str(), Printable(target).c_str(), earlier->second);
            status = status ? status : kExitExists;
            continue;
        }

        CString path = W(r.folder);
        progress.Begin(p.name, pages);
        // The pointer is not used after this: a move takes the document off the list.
        const int rc =
            box.CopyMoveDocumentToFolder(r.copy ? 1 : 0, path, static_cast<int>(p.id),
                                         r.overwrite ? 1 : 0, fileType, 0, progress.Callback());
        progress.End();
        const bool interrupted = Interrupted();
        if (rc == 1 || (!r.copy && rc == -1029)) {
            saved.emplace(U8(path), p.id);
            ReportSaved(r, p, U8(path), pages, progress.Seconds());
            if (jpeg && !split && pageCount > 1) {
                Note(
                    "note: %s has %d pages; a JPEG file holds one, page 1 (--all-pages saves "
                    "each page)",
                    DocLabel(p).c_str(), pageCount);
            }
        }
        if (rc != 1 && !interrupted) {
            const auto [why, code] = FolderFailure(r, rc);
            Note("cannot %s %s: %s", verb, DocLabel(p).c_str(), why.c_str());
            status = status ? status : code;
        }
        if (interrupted) {
            ClearInterrupt();
            if (rc == 1)
                throw Failure(std::string("interrupted after ") + DocLabel(p), kExitInterrupted);
            throw Failure(std::string("interrupted: ") + DocLabel(p) +
                              " was not saved (no partial file is left; a file that was "
                              "there stays as it was)",
                          kExitInterrupted);
        }
    }
    return status;
}

// ---- the commands ------------------------------------------------------------------

const OptionDef kFormatOption{"--format", "NAME",
                              "jpeg, tiff, pdf, xps, pptx, docx or xlsx (default: the "
                              "document's own)"};
const OptionDef kOverwriteOption{"--overwrite", "", "replace a file of the same name"};
const OptionDef kQuietOption{"--quiet", "", "show no progress"};

// The session, the open box and the picked documents of a get, cp or mv.
struct Source {
    Source(Context& ctx, const ParsedArgs& a)
        : device(ctx.FindDevice(a.Positional()[0])), session(ctx, device) {}
    CVESKMFPDevice& device;
    DeviceSession session;
};

int Get(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);
    FolderRequest r;
    r.format = ParseFormat(a.Get("--format"));
    r.allPages = a.Has("--all-pages");
    if (r.allPages && r.format.code > 0)
        throw UsageError("--all-pages saves each page as a JPEG file; it takes no other --format");
    r.overwrite = a.Has(kOverwriteOption.name);
    r.quiet = a.Has(kQuietOption.name);
    if (a.Has("-o") && a.Has("--output"))
        throw UsageError("-o and --output are the same option; give one");
    r.folder = TargetFolder(a.Get("-o").value_or(a.Get("--output").value_or(".")));

    Source s(ctx, a);
    s.session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(s.device, a.Positional()[1]);
    OpenBox open(s.device, box, a.Get(BoxPasswordFileOption().name));
    const std::vector<Picked> picked = PickDocuments(open.Documents(), a.Positional());
    return SaveToFolder(s.device, box, picked, r);
}

int CopyOrMove(Context& ctx, const ParsedArgs& a, bool copy) {
    LoginFromArgs(a);
    const std::optional<std::string> toBox = a.Get("--to-box");
    const std::optional<std::string> toDir = a.Get("--to");
    if (toBox.has_value() == toDir.has_value())
        throw UsageError("give one of --to-box BOX and --to DIR");
    if (toBox && (a.Has("--format") || a.Has(kOverwriteOption.name) || a.Has(kQuietOption.name)))
        throw UsageError("--format, --overwrite and --quiet go with --to DIR");
    FolderRequest r;
    r.copy = copy;
    if (toDir) {
        r.format = ParseFormat(a.Get("--format"));
        r.overwrite = a.Has(kOverwriteOption.name);
        r.quiet = a.Has(kQuietOption.name);
        r.folder = TargetFolder(*toDir);
    }

    Source s(ctx, a);
    s.session.OpenLoggedIn(a);
    // The destination first: listing the boxes again makes new box items.
    long destination = -1;
    std::string destinationLabel;
    if (toBox) {
        CVESKMFPBox& dest = FindBox(s.device, *toBox);
        destination = dest.GetItemID();
        destinationLabel = BoxLabel(dest);
    }
    CVESKMFPBox& box = FindBox(s.device, a.Positional()[1]);
    if (toBox && box.GetItemID() == destination)
        throw UsageError("the documents are in " + destinationLabel + " already");
    OpenBox open(s.device, box, a.Get(BoxPasswordFileOption().name));
    const std::vector<Picked> picked = PickDocuments(open.Documents(), a.Positional());
    if (toDir)
        return SaveToFolder(s.device, box, picked, r);

    std::vector<long> ids;
    std::string list;
    for (const Picked& p : picked) {
        ids.push_back(p.id);
        list += list.empty() ? "" : ", ";
        list += std::to_string(p.id);
    }
    const int rc = box.CopyMoveDocumentToBox(copy ? 1 : 0, destination, ids);
    if (Interrupted()) {
        ClearInterrupt();
        throw Failure(std::string(copy ? "copy" : "move") +
                          " interrupted; the documents before the one under way are done",
                      kExitInterrupted);
    }
    const std::string what = std::string(copy ? "copy" : "move") + " document" +
                             (ids.size() > 1 ? "s " : " ") + list + " from " + BoxLabel(box) +
                             " to " + destinationLabel;
    switch (rc) {
        case 1:
            Out("%s document%s %s from %s to %s", copy ? "copied" : "moved",
                ids.size() > 1 ? "s" : "", list.c_str(), BoxLabel(box).c_str(),
                destinationLabel.c_str());
            return kExitOk;
        case -1028:
        case -1029:
            throw Failure(WithDeviceError("cannot " + what +
                                          ": the device refused; the documents "
                                          "listed before the refused one are " +
                                          (copy ? "copied" : "moved")),
                          kExitRefused);
        case -1040:
            throw Failure("cannot " + what +
                          " fully: the box no longer lists some of them; "
                          "the others are done");
        default:
            ThrowResult("cannot " + what, rc);
    }
}

// A command whose device call failed because Ctrl-C cancelled it (while the box
// opened or listed, say) exits as interrupted, not as refused.
int Interruptible(Context& ctx, const ParsedArgs& a, int (*command)(Context&, const ParsedArgs&)) {
    try {
        return command(ctx, a);
    } catch (const Failure& e) {
        if (!Interrupted() || e.ExitCode() == kExitInterrupted)
            throw;
        ClearInterrupt();
        throw Failure(std::string(e.what()) + " (interrupted)", kExitInterrupted);
    }
}

int Copy(Context& ctx, const ParsedArgs& a) {
    return CopyOrMove(ctx, a, true);
}

int Move(Context& ctx, const ParsedArgs& a) {
    return CopyOrMove(ctx, a, false);
}

std::vector<OptionDef> TransferOptions(std::vector<OptionDef> extra) {
    extra.insert(extra.begin(), BoxPasswordFileOption());
    return SessionOptionsWith(std::move(extra));
}

}  // namespace

void AddTransferCommands(std::vector<Command>& table) {
    constexpr size_t kMaxDocs = 10000;
    table.push_back(
        {"get", "DEVICE BOX DOC...", "download documents of a box into a folder",
         "DOC is a document id or name (as 'vesk docs' lists them). Each is saved under\n"
         "its name, made safe for the file system, into the current folder or -o DIR;\n"
         "an existing file is kept unless --overwrite, and then replaced only once the\n"
         "new one is complete. A JPEG file holds one page: --all-pages saves every page\n"
         "of a JPEG document as NAME_01.jpg, NAME_02.jpg, ... Progress goes to stderr:\n"
         "a bar on a terminal, a line per tenth otherwise, none with --quiet. Ctrl-C\n"
         "stops the download under way and leaves no partial file. Exit status 6 when a\n"
         "file exists, 4 when the device refuses, 130 when interrupted.",
         TransferOptions({kFormatOption,
                          {"--all-pages", "", "save each page of a JPEG document as its own file"},
                          {"-o", "DIR", "the folder to save into (default: the current one)"},
                          {"--output", "DIR", "the same as -o"},
                          kOverwriteOption,
                          kQuietOption}),
         3, kMaxDocs, [](Context& c, const ParsedArgs& a) { return Interruptible(c, a, Get); }});
    const char* const kCopyMoveDetails =
        "DOC is a document id or name. --to-box BOX (a number or name) has the device\n"
        "do it, within the device; --to DIR downloads each document into the folder\n"
        "(as 'vesk get' does, with --format, --overwrite, --quiet)";
    table.push_back({"cp", "DEVICE BOX DOC...", "copy documents to another box or into a folder",
                     std::string(kCopyMoveDetails) +
                         ".\nExit status 4 when the device refuses, 6 when a file exists, 130\n"
                         "when interrupted.",
                     TransferOptions({{"--to-box", "BOX", "copy into this box of the device"},
                                      {"--to", "DIR", "copy into this folder"},
                                      kFormatOption,
                                      kOverwriteOption,
                                      kQuietOption}),
                     3, kMaxDocs,
                     [](Context& c, const ParsedArgs& a) { return Interruptible(c, a, Copy); }});
    table.push_back({"mv", "DEVICE BOX DOC...", "move documents to another box or into a folder",
                     std::string(kCopyMoveDetails) +
                         ";\nthe document is deleted on the device once its file is in place.\n"
                         "Exit status 4 when the device refuses (a file that is in place\n"
                         "stays), 6 when a file exists, 130 when interrupted.",
                     TransferOptions({{"--to-box", "BOX", "move into this box of the device"},
                                      {"--to", "DIR", "move into this folder"},
                                      kFormatOption,
                                      kOverwriteOption,
                                      kQuietOption}),
                     3, kMaxDocs,
                     [](Context& c, const ParsedArgs& a) { return Interruptible(c, a, Move); }});
}

}  // namespace vesk::cli
