#include "tools/vesk/box_access.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "box/mfp_box.h"
#include "device/mfp_device.h"
#include "document/vesk_document.h"

namespace vesk::cli {

namespace {

bool AllDigits(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Exact matches if there are any, else the ones that differ only in letter case. Each
// item has two names (a document with and without its extension).
template <typename T, typename Names>
std::vector<T*> MatchByName(const std::vector<T*>& items, const std::string& which, Names names) {
    const CString wanted = W(which);
    std::vector<T*> exact;
    std::vector<T*> folded;
    for (T* item : items) {
        bool isExact = false;
        bool isFolded = false;
        for (const CString& n : names(*item)) {
            isExact = isExact || n.str() == wanted.str();
            isFolded = isFolded || n.CompareNoCase(wanted.GetString()) == 0;
        }
        if (isExact)
            exact.push_back(item);
        else if (isFolded)
            folded.push_back(item);
    }
    return exact.empty() ? folded : exact;
}

std::string JoinIds(const std::vector<long>& ids) {
    std::string out;
    for (long id : ids)
        out += (out.empty() ? "" : ", ") + std::to_string(id);
    return out;
}

std::string Quoted(const CString& s) {
    // Appended rather than "\"" + text: GCC 12 at -O3 warns falsely on that form.
    std::string out(1, '"');
    out += Printable(U8(s));
    out += '"';
    return out;
}

std::string BoxKindName(CVESKMFPBox& box) {
    if (box.GetFilingBoxType() == 1)
        return "filing";
    if (box.GetItemID() == 0)
        return "memory-rx";
    return "user";
}

// Type 0 has no owner check, 2 belongs to an account, the others to a user.
std::string BoxTypeName(int type) {
    switch (type) {
        case 0:
            return "shared";
        case 1:
            return "user";
        case 2:
            return "account";
        default:
            return "user (type " + std::to_string(type) + ")";
    }
}

std::string FileTypeName(int type) {
    static const char* const kNames[] = {"JPEG", "TIFF", "PDF",        "?",    "PDF",
                                         "XPS",  "XPS",  "PowerPoint", "Word", "Excel"};
    return type >= 0 && type <= 9 ? kNames[type] : "type " + std::to_string(type);
}

// 0 bilevel, 1 grey, 2 and 3 colour; 6 and 7 are colour kinds as well.
std::string ColourName(int colourType) {
    switch (colourType) {
        case 0:
            return "black/white";
        case 1:
            return "grey";
        case 2:
        case 3:
        case 6:
        case 7:
            return "colour";
        default:
            return "code " + std::to_string(colourType);
    }
}

}  // namespace

const OptionDef& BoxPasswordFileOption() {
    static const OptionDef option{"--box-password-file", "FILE",
                                  "read the box password from FILE's first line (-: stdin)"};
    return option;
}

void CheckNewName(const std::string& name, const std::string& what, size_t maxBytes) {
    CheckTypedName(name, what, maxBytes);
    if (AllDigits(name))
        throw UsageError(what + " cannot be a number (numbers pick boxes and documents)");
    if (name[0] == '-')
        throw UsageError(what + " cannot start with '-'");
}

std::vector<CVESKMFPBox*> ListBoxes(CVESKMFPDevice& d) {
    const int rc = d.GetChildList(1);
    // -1010: no user or filing box; the memory-RX box may still be there.
    if (rc != 1 && rc != -1010)
        ThrowResult("cannot list the boxes of " + Printable(U8(d.GetItemName())), rc);
    std::vector<CVESKMFPBox*> out;
    CVESKItemList* list = d.GetItemList();
    for (POSITION pos = list ? list->GetHeadPosition() : nullptr; pos;) {
        if (auto* b = DYNAMIC_DOWNCAST(CVESKMFPBox, list->GetNext(pos)))
            out.push_back(b);
    }
    return out;
}

CVESKMFPBox& FindBox(CVESKMFPDevice& d, const std::string& which) {
    const bool byNumber = AllDigits(which);
    if (!byNumber)
        CheckTypedName(which, "a box name", kMaxBoxNameBytes);
    const std::vector<CVESKMFPBox*> boxes = ListBoxes(d);
    std::vector<CVESKMFPBox*> hits;
    if (byNumber) {
        std::copy_if(boxes.begin(), boxes.end(), std::back_inserter(hits),
                     [&](CVESKMFPBox* b) { return std::to_string(b->GetItemID()) == which; });
    } else {
        hits = MatchByName(boxes, which,
                           [](CVESKMFPBox& b) { return std::vector<CString>{b.GetItemName()}; });
    }
    const std::string device = Printable(U8(d.GetItemName()));
    if (hits.empty()) {
        throw Failure(device + " has no box " + (byNumber ? "number " : "named ") +
                      Printable(which) + " for this login (see 'vesk boxes " + device + "')");
    }
    if (hits.size() > 1) {
        std::vector<long> numbers;
        for (CVESKMFPBox* b : hits)
            numbers.push_back(b->GetItemID());
        throw Failure(std::to_string(hits.size()) + " boxes of " + device +
                      (byNumber ? " have the number " : " are named ") + Printable(which) +
                      (byNumber ? "" : " (numbers " + JoinIds(numbers) + "); give the number"));
    }
    return *hits.front();
}

std::string BoxLabel(CVESKMFPBox& box) {
    return "box " + std::to_string(box.GetItemID()) + " " + Quoted(box.GetItemName());
}

OpenBox::OpenBox(CVESKMFPDevice& d, CVESKMFPBox& box,
                 const std::optional<std::string>& passwordFile)
    : m_device(d), m_box(box) {
    const std::string label = BoxLabel(box) + " on " + Printable(U8(d.GetItemName()));
    auto withPassword = [&] {
        Secret pw =
            ReadPassword({passwordFile, "VESK_BOX_PASSWORD", "Password for " + label + ": "});
        return box.Connect(nullptr, W(pw.Text()));
    };
    int rc = 0;
    if (box.GetPasswordProtected()) {
        rc = withPassword();
    } else {
        rc = box.Connect(nullptr, CString());
        // Listed without a password, and the device asks for one all the same.
        if (rc == -1020)
            rc = withPassword();
    }
    if (rc != 1)
        ThrowResult("cannot open " + label, rc);
}

OpenBox::~OpenBox() {
    if (m_box.GetBoxLogin() && m_box.Disconnect() != 1)
        Note("warning: %s was not closed cleanly", BoxLabel(m_box).c_str());
}

std::vector<CVESKDocument*> OpenBox::Documents() {
    const int rc = m_box.GetChildList(1);
    if (rc != 1 && rc != -1011) {
        ThrowResult("cannot list the documents of " + BoxLabel(m_box) + " on " +
                        Printable(U8(m_device.GetItemName())),
                    rc);
    }
    std::vector<CVESKDocument*> out;
    CVESKItemList* list = m_box.GetItemList();
    for (POSITION pos = list && rc == 1 ? list->GetHeadPosition() : nullptr; pos;) {
        if (auto* doc = DYNAMIC_DOWNCAST(CVESKDocument, list->GetNext(pos)))
            out.push_back(doc);
    }
    return out;
}

CVESKDocument& FindDocument(const std::vector<CVESKDocument*>& docs, const std::string& which) {
    const bool byId = AllDigits(which);
    // The name may come with its extension (".pptx": five more bytes).
    if (!byId)
        CheckTypedName(which, "a document name", kMaxDocNameBytes + 5);
    std::vector<CVESKDocument*> hits;
    if (byId) {
        std::copy_if(docs.begin(), docs.end(), std::back_inserter(hits),
                     [&](CVESKDocument* doc) { return std::to_string(doc->GetItemID()) == which; });
    } else {
        hits = MatchByName(docs, which, [](CVESKDocument& doc) {
            return std::array<CString, 2>{doc.GetItemName(), doc.GetDispDocname()};
        });
    }
    if (hits.empty()) {
        throw Failure(std::string("the box holds no document ") + (byId ? "with id " : "named ") +
                      Printable(which));
    }
    if (hits.size() > 1) {
        std::vector<long> ids;
        for (CVESKDocument* doc : hits)
            ids.push_back(doc->GetItemID());
        throw Failure(std::to_string(hits.size()) + " documents of the box " +
                      (byId ? "have the id " : "are named ") + Printable(which) + " (ids " +
                      JoinIds(ids) + "); give the id");
    }
    return *hits.front();
}

std::vector<std::string> BoxHeader() {
    return {"NUMBER", "NAME", "OWNER", "TYPE", "PROTECTED"};
}

std::vector<std::string> BoxRow(CVESKMFPBox& box) {
    const std::string kind = BoxKindName(box);
    const std::string owner = U8(box.GetUserNameW());
    return {std::to_string(box.GetItemID()), U8(box.GetItemName()), owner.empty() ? "-" : owner,
            kind == "user" ? BoxTypeName(box.GetBoxType()) : kind,
            box.GetPasswordProtected() ? "yes" : "no"};
}

nlohmann::ordered_json BoxJson(CVESKMFPBox& box) {
    return {{"number", box.GetItemID()},
            {"name", U8(box.GetItemName())},
            {"owner", U8(box.GetUserNameW())},
            {"kind", BoxKindName(box)},
            {"type", box.GetBoxType()},
            {"type_name", BoxTypeName(box.GetBoxType())},
            {"protected", box.GetPasswordProtected() != 0},
            {"created", U8(box.GetEntryDate())}};
}

std::vector<std::string> DocumentHeader() {
    return {"ID", "NAME", "PAGES", "TYPE", "SIZE (PIXELS)", "COLOUR", "DATE"};
}

std::vector<std::string> DocumentRow(CVESKDocument& doc) {
    return {std::to_string(doc.GetItemID()),
            U8(doc.GetDispDocname()),
            std::to_string(doc.GetPageNo()),
            FileTypeName(doc.GetFileType()) + (doc.IsEncrypted() ? ", encrypted" : ""),
            std::to_string(doc.GetWidth()) + "\xc3\x97" + std::to_string(doc.GetHeight()),
            ColourName(doc.GetColorType()),
            U8(doc.GetMaxEntryDate())};
}

nlohmann::ordered_json DocumentJson(CVESKDocument& doc) {
    return {{"id", doc.GetItemID()},
            {"name", U8(doc.GetItemName())},
            {"file_name", U8(doc.GetDispDocname())},
            {"owner", U8(doc.GetUserNameW())},
            {"pages", doc.GetPageNo()},
            {"file_type", doc.GetFileType()},
            {"type", FileTypeName(doc.GetFileType())},
            {"width", doc.GetWidth()},
            {"height", doc.GetHeight()},
            {"x_resolution", doc.GetXResolution()},
            {"y_resolution", doc.GetYResolution()},
            {"colour_type", doc.GetColorType()},
            {"colour", ColourName(doc.GetColorType())},
            {"bits_per_pixel", doc.GetBitsPerPixel()},
            {"paper_size", doc.GetPaperSizeCode()},
            {"encrypted", doc.IsEncrypted() != 0},
            {"date", U8(doc.GetMaxEntryDate())}};
}

void PrintJson(const nlohmann::ordered_json& value) {
    Out("%s", value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
}

Secret ReadNewBoxPassword(const std::optional<std::string>& file, const char* variable,
                          const std::string& fileOption, const std::string& what) {
    if (file || std::getenv(variable))
        return ReadPassword({file, variable, ""});
    std::optional<std::string> typed = PromptNoEcho("New password for " + what + ": ");
    if (!typed) {
        throw UsageError(
            "a new box password is needed and standard input is not a terminal; "
            "give it with " +
            fileOption + " FILE or the variable " + variable);
    }
    Secret first(std::move(*typed));
    std::optional<std::string> again = PromptNoEcho("The same again: ");
    Secret second(again ? std::move(*again) : std::string());
    if (first.Text() != second.Text())
        throw Failure("the two passwords differ; nothing was changed");
    return first;
}

}  // namespace vesk::cli
