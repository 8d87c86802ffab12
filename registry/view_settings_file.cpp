// View settings files: location, layout, writing and reading.
#include "registry/view_settings_file.h"

#include <string>

#include "platform/charset.h"
#include "platform/fs.h"
#include "platform/xml.h"
#include "registry/device_registry_file.h"

namespace vesk {
namespace {

constexpr const char* kTop = "VIEW_SETTIMG";  // spelled as the files in use spell it
constexpr const char* kWidth = "COLUMN_WIDTH";
constexpr const char* kEnable = "COLUMN_ENABLE";
constexpr const char* kOrder = "COLUMN_ORDER";
constexpr const char* kSortOrder = "SORT_ORDER";
constexpr const char* kSortColumn = "SORT_COLUMN_NUMBER";
constexpr const char* kViewMode = "VIEW_MODE";

// Stored columns of the three lists.
constexpr int kDeviceListColumns = 2;
constexpr int kBoxListColumns = 5;
constexpr int kDocumentListColumns = 4;

void AddText(xml::Node& parent, const char* name, std::string text) {
    parent.AppendElement(name).SetChildValue(std::move(text));
}

std::string ColumnText(const int (&values)[5], int columns) {
    std::string text;
    for (int i = 0; i < columns; ++i) {
        text += std::to_string(values[i]);
        text += '_';
    }
    return text;
}

// Each entry is the text before the next "_"; once the separators run out the
// remaining entries are 0 (the rest of the text is not a complete entry).
void ReadColumns(std::wstring text, int columns, int (&values)[5]) {
    for (int i = 0; i < columns; ++i) {
        const size_t sep = text.find(L'_');
        if (sep == std::wstring::npos) {
            values[i] = 0;
            continue;
        }
        values[i] = WideToInt(text.substr(0, sep).c_str());
        text.erase(0, sep + 1);
    }
}

}  // namespace

bool ViewSettingsPlaceFor(const CString& address, int boxNo, ViewSettingsPlace& place) {
    const CString base = HaldProfileFolder();
    if (address.IsEmpty()) {
        place = {CString(), base + L"HALD.xml", kDeviceListColumns};
        return true;
    }
    if (!IsSafeFolderName(address))
        return false;
    const CString folder = base + address;
    CString file;
    if (boxNo == -1) {
        file.Format(L"%s%c%s.xml", folder.GetString(), fs::kPathSeparator, address.GetString());
        place = {folder, file, kBoxListColumns};
    } else {
        file.Format(L"%s%c%d.xml", folder.GetString(), fs::kPathSeparator, boxNo);
        place = {folder, file, kDocumentListColumns};
    }
    return true;
}

std::string SerializeViewSettings(const VIEW_INFO& vi, int columns) {
    xml::Document doc;
    doc.nodes.push_back(xml::Node::Utf8Declaration());
    xml::Node& top = doc.nodes.emplace_back(xml::Node::Element(kTop));
    AddText(top, kWidth, ColumnText(vi.nColumnWidth, columns));
    AddText(top, kEnable, ColumnText(vi.nColumnEnable, columns));
    AddText(top, kOrder, ColumnText(vi.nColumnOrder, columns));
    AddText(top, kSortOrder, vi.bSortOrder ? "true" : "false");
    AddText(top, kSortColumn, std::to_string(vi.nSortColumnNumber));
    AddText(top, kViewMode, std::to_string(static_cast<unsigned>(vi.nViewMode)));
    std::string out;
    if (!xml::Write(doc, {}, out))
        out.clear();  // not reached: every name above is a valid XML name
    return out;
}

bool ParseViewSettings(std::string_view bytes, int columns, VIEW_INFO& vi) {
    if (bytes.size() > kMaxViewSettingsBytes || columns < 0 || columns > 5)
        return false;
    xml::Document doc;
    if (xml::Parse(bytes, {}, doc).status != xml::ParseStatus::Ok)
        return false;
    const xml::Node* top = doc.Child(kTop);
    const auto text = [&](const char* name) {
        const xml::Node* element = top ? top->Child(name) : nullptr;
        return Utf8ToWide(element ? element->ChildValue() : std::string());
    };
    VIEW_INFO read = vi;
    read.bSortOrder = CString(text(kSortOrder)).CompareNoCase(L"true") == 0;
    read.nSortColumnNumber = WideToInt(text(kSortColumn).c_str());
    read.nViewMode = WideToInt(text(kViewMode).c_str());
    read.nCurViewMode = read.nViewMode;
    ReadColumns(text(kOrder), columns, read.nColumnOrder);
    ReadColumns(text(kEnable), columns, read.nColumnEnable);
    ReadColumns(text(kWidth), columns, read.nColumnWidth);
    vi = read;
    return true;
}

}  // namespace vesk
