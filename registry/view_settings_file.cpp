// View settings files: location, layout, writing and reading.
#include "registry/view_settings_file.h"

#include <pugixml.hpp>

#include <new>
#include <string>

#include "platform/charset.h"
#include "platform/fs.h"
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

void Check(bool made) {
    if (!made)
        throw std::bad_alloc();
}

void AddText(pugi::xml_node parent, const char* name, const std::string& text) {
    pugi::xml_node node = parent.append_child(name);
    Check(!node.empty());
    Check(node.text().set(text.c_str()));
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

class StringWriter : public pugi::xml_writer {
public:
    void write(const void* data, size_t size) override {
        out.append(static_cast<const char*>(data), size);
    }
    std::string out;
};

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
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    Check(!decl.empty());
    Check(decl.append_attribute("version").set_value("1.0"));
    Check(decl.append_attribute("encoding").set_value("UTF-8"));
    pugi::xml_node top = doc.append_child(kTop);
    Check(!top.empty());
    AddText(top, kWidth, ColumnText(vi.nColumnWidth, columns));
    AddText(top, kEnable, ColumnText(vi.nColumnEnable, columns));
    AddText(top, kOrder, ColumnText(vi.nColumnOrder, columns));
    AddText(top, kSortOrder, vi.bSortOrder ? "true" : "false");
    AddText(top, kSortColumn, std::to_string(vi.nSortColumnNumber));
    AddText(top, kViewMode, std::to_string(static_cast<unsigned>(vi.nViewMode)));
    StringWriter writer;
    doc.save(writer, "\t", pugi::format_indent | pugi::format_no_declaration, pugi::encoding_utf8);
    return std::move(writer.out);
}

bool ParseViewSettings(std::string_view bytes, int columns, VIEW_INFO& vi) {
    if (bytes.size() > kMaxViewSettingsBytes || columns < 0 || columns > 5)
        return false;
    pugi::xml_document doc;
    const pugi::xml_parse_result result = doc.load_buffer(bytes.data(), bytes.size());
    if (!result) {
        if (result.status == pugi::status_out_of_memory)
            throw std::bad_alloc();
        return false;
    }
    const pugi::xml_node top = doc.child(kTop);
    const auto text = [&](const char* name) { return Utf8ToWide(top.child(name).child_value()); };
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
