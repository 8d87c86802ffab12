// The device registry file: location, reading and atomic writing.
#include "root/device_registry_file.h"

#include <climits>
#include <cwctype>
#include <filesystem>
#include <new>
#include <string>

#include "platform/atomic_file.h"
#include "platform/charset.h"
#include "platform/env.h"
#include "platform/fs.h"

namespace vesk {
namespace {

constexpr wchar_t kSep = fs::kPathSeparator;

// Buffer sizes of the Windows build, in UTF-16 units including the terminator: a
// longer value does not fit and counts as unset there, so it does here too.
constexpr size_t kProfileBuffer = 260;
constexpr size_t kUserNameBuffer = 255;

std::wstring BoundedVariable(const wchar_t* name, size_t buffer) {
    std::wstring value = env::Get(name);
    if (Utf16Length(value) >= buffer)
        return std::wstring();
    return value;
}

CString Text(pugi::xml_node entry, const char* element) {
    return CString(Utf8ToWide(entry.child(element).child_value()));
}

int Number(pugi::xml_node entry, const char* element) {
    return WideToInt(Text(entry, element));
}

void Check(bool made) {
    if (!made)
        throw std::bad_alloc();
}

pugi::xml_node AppendElement(pugi::xml_node parent, const char* name) {
    pugi::xml_node node = parent.append_child(name);
    Check(!node.empty());
    return node;
}

void SetText(pugi::xml_node node, const CString& text) {
    Check(node.text().set(WideToUtf8(text.str()).c_str()));
}

void SetNumber(pugi::xml_node node, long value) {
    Check(node.text().set(value));
}

class StringWriter : public pugi::xml_writer {
public:
    void write(const void* data, size_t size) override {
        out.append(static_cast<const char*>(data), size);
    }
    std::string out;
};

std::filesystem::path NativePath(const CString& path) {
    return std::filesystem::path(path.str());
}

}  // namespace

int WideToInt(const wchar_t* text) {
    if (!text)
        return 0;
    while (std::iswspace(static_cast<wint_t>(*text)))
        ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-')
        negative = (*text++ == L'-');
    long long value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        value = value * 10 + (*text - L'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            break;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

CString HaldProfileFolder() {
    std::wstring folder = BoundedVariable(L"ALLUSERSPROFILE", kProfileBuffer);
    folder += kSep;
    folder += L"ORVANE";
    folder += kSep;
    folder += L"HALD";
    folder += kSep;
    folder += L"3.1";
    folder += kSep;
    return CString(std::move(folder));
}

bool IsSafeFolderName(const CString& name) {
    const std::wstring& s = name.str();
    if (s.empty() || s == L"." || s == L"..")
        return false;
    return s.find_first_of(std::wstring(L"/\\\0", 3)) == std::wstring::npos;
}

CString DeviceRegistryFile::PathFor(const CString& overridePath) {
    if (!overridePath.IsEmpty())
        return overridePath;
    return HaldProfileFolder() + CString(BoundedVariable(L"USERNAME", kUserNameBuffer)) + L".xml";
}

void DeviceRegistryFile::CreateDefaultFolders() {
    // The profile folder itself always exists on Windows; on Linux it is a per-user
    // data folder that a fresh account may not have yet.
    std::wstring level = BoundedVariable(L"ALLUSERSPROFILE", kProfileBuffer);
    if (!level.empty())
        fs::CreateDirectoryTree(level);
    for (const wchar_t* part : {L"ORVANE", L"HALD", L"3.1"}) {
        level += kSep;
        level += part;
        if (!fs::IsDirectory(level))
            fs::CreateDirectory(level);
    }
}

std::optional<CString> DeviceRegistryFile::KeepBackup(const CString& path) {
    for (int n = 0; n < 1000; ++n) {
        CString name = path + L".bak";
        if (n > 0)
            name.AppendFormat(L".%d", n);
        if (fs::Exists(name.str()))
            continue;
        if (fs::CopyFile(path.str(), name.str(), true))
            return name;
        if (!fs::Exists(name.str()))
            return std::nullopt;  // failed for another reason
    }
    return std::nullopt;
}

DeviceRegistryFile::LoadResult DeviceRegistryFile::Load(const CString& path) {
    m_doc.reset();
    if (!fs::Exists(path.str()))
        return LoadResult::Missing;
    // The parser sizes its buffer from the file's length, which a folder does not have.
    if (!fs::IsFile(path.str()))
        return LoadResult::Unreadable;
    std::filesystem::path native = NativePath(path);
    pugi::xml_parse_result result =
        m_doc.load_file(native.c_str(), pugi::parse_default | pugi::parse_declaration);
    if (result)
        return LoadResult::Loaded;
    m_doc.reset();
    if (result.status == pugi::status_out_of_memory)
        throw std::bad_alloc();
    // Gone between the test and the load.
    if (result.status == pugi::status_file_not_found && !fs::Exists(path.str())) {
        return LoadResult::Missing;
    }
    return LoadResult::Unreadable;
}

void DeviceRegistryFile::StartNew() {
    m_doc.reset();
    pugi::xml_node decl = m_doc.append_child(pugi::node_declaration);
    Check(!decl.empty());
    Check(decl.append_attribute("version").set_value("1.0"));
    Check(decl.append_attribute("encoding").set_value("UTF-8"));
    AppendElement(m_doc, "MFPList");
}

pugi::xml_node DeviceRegistryFile::List() const {
    return m_doc.child("MFPList");
}

bool DeviceRegistryFile::HasList() const {
    return !List().empty();
}

std::vector<DeviceRegistryEntry> DeviceRegistryFile::ReadEntries() const {
    std::vector<DeviceRegistryEntry> entries;
    for (pugi::xml_node node = List().child("MFP"); node; node = node.next_sibling()) {
        DeviceRegistryEntry e;
        e.id = Number(node, "ID");
        e.name = Text(node, "Name");
        e.address = Text(node, "IP");
        e.port = Number(node, "Port");
        e.portSSL = Number(node, "PortSSL");
        e.lastTCPComm = Number(node, "LastTCPComm");
        e.lastUserName = Text(node, "LastUserName");
        e.lastUserType = Number(node, "LastUserType");
        e.lastAccountType = Number(node, "LastAccountType");
        e.lastAccountName = Text(node, "LastAccountName");
        entries.push_back(std::move(e));
    }
    return entries;
}

void DeviceRegistryFile::Append(const DeviceRegistryEntry& e) {
    pugi::xml_node list = List();
    Check(!list.empty());
    pugi::xml_node entry = AppendElement(list, "MFP");
    SetNumber(AppendElement(entry, "ID"), e.id);
    SetText(AppendElement(entry, "Name"), e.name);
    SetText(AppendElement(entry, "IP"), e.address);
    SetNumber(AppendElement(entry, "Port"), e.port);
    SetNumber(AppendElement(entry, "PortSSL"), e.portSSL);
    SetNumber(AppendElement(entry, "LastTCPComm"), e.lastTCPComm);
    SetText(AppendElement(entry, "LastUserName"), e.lastUserName);
    SetNumber(AppendElement(entry, "LastUserType"), e.lastUserType);
    SetNumber(AppendElement(entry, "LastAccountType"), e.lastAccountType);
    SetText(AppendElement(entry, "LastAccountName"), e.lastAccountName);
}

bool DeviceRegistryFile::RemoveFirst(const CString& idText) {
    const std::string key = WideToUtf8(idText.str());
    pugi::xml_node list = List();
    for (pugi::xml_node entry : list.children("MFP")) {
        if (key == entry.child("ID").child_value())
            return list.remove_child(entry);
    }
    return false;
}

bool DeviceRegistryFile::UpdateEntry(long id, const std::vector<Field>& fields) {
    for (pugi::xml_node entry : List().children("MFP")) {
        if (Number(entry, "ID") != id)
            continue;
        for (const Field& f : fields) {
            pugi::xml_node element = entry.child(f.element);
            // A hand-edited entry may lack the element; adding it keeps the change
            // instead of dropping it silently.
            if (element.empty())
                element = AppendElement(entry, f.element);
            SetText(element, f.text);
        }
        return true;
    }
    return false;
}

std::string DeviceRegistryFile::Serialize() const {
    StringWriter writer;
    // Empty elements are written as a start and an end tag, so an entry looks the same
    // whether it was just made or loaded and saved again.
    m_doc.save(
        writer, "\t",
        pugi::format_indent | pugi::format_no_declaration | pugi::format_no_empty_element_tags,
        pugi::encoding_utf8);
    return std::move(writer.out);
}

bool DeviceRegistryFile::Save(const CString& path) const {
    return fs::ReplaceFileAtomically(path.str(), Serialize());
}

}  // namespace vesk
