// The device registry file: location, reading and atomic writing.
#include "registry/device_registry_file.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cwctype>
#include <filesystem>
#include <fstream>
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

// Counts nodes and stops at the first one nested deeper than the format allows.
class LimitWalker : public pugi::xml_tree_walker {
public:
    bool for_each(pugi::xml_node& node) override {
        // depth() is 0 for MFPList, 1 for MFP, 2 for a field; text sits one below.
        const int level = depth() + 1;
        if (level > DeviceRegistryFile::kMaxElementDepth + 1 ||
            (level > DeviceRegistryFile::kMaxElementDepth && node.type() == pugi::node_element)) {
            tooDeep = true;
            return false;
        }
        return true;
    }
    bool tooDeep = false;
};

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

CString DeviceRegistryFile::NextBackupName(const CString& path) {
    for (int n = 0; n < 1000; ++n) {
        CString name = path + L".bak";
        if (n > 0)
            name.AppendFormat(L".%d", n);
        if (!fs::Exists(name.str()))
            return name;
    }
    return CString();
}

std::optional<CString> DeviceRegistryFile::KeepBackup(const CString& path) {
    for (int tries = 0; tries < 1000; ++tries) {
        const CString name = NextBackupName(path);
        if (name.IsEmpty())
            return std::nullopt;
        if (fs::CopyFile(path.str(), name.str(), true))
            return name;
        if (!fs::Exists(name.str()))
            return std::nullopt;  // failed for another reason
    }
    return std::nullopt;
}

std::unique_ptr<fs::FileLock> DeviceRegistryFile::LockForWriting(const CString& path) {
    if (path.IsEmpty())
        return nullptr;
    return fs::FileLock::Acquire((path + L".lock").str());
}

DeviceRegistryFile::LoadResult DeviceRegistryFile::Load(const CString& path) {
    m_doc.reset();
    m_problem.clear();
    if (!fs::Exists(path.str()))
        return LoadResult::Missing;
    auto unreadable = [this](std::string why) {
        m_doc.reset();
        m_problem = std::move(why);
        return LoadResult::Unreadable;
    };
    if (!fs::IsFile(path.str()))
        return unreadable("not a file");
    // Read at most one byte past the cap, so a huge file costs no more than that.
    std::ifstream in(NativePath(path), std::ios::binary);
    if (!in) {
        if (!fs::Exists(path.str()))
            return LoadResult::Missing;  // gone between the test and the open
        return unreadable("cannot be opened");
    }
    const uint64_t known = fs::FileSize(path.str()).value_or(kMaxFileBytes);
    std::string bytes(static_cast<size_t>(std::min<uint64_t>(known, kMaxFileBytes)) + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad())
        return unreadable("cannot be read");
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (bytes.size() > kMaxFileBytes)
        return unreadable("larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB");

    pugi::xml_parse_result result = m_doc.load_buffer(
        bytes.data(), bytes.size(), pugi::parse_default | pugi::parse_declaration);
    if (!result) {
        if (result.status == pugi::status_out_of_memory) {
            m_doc.reset();
            throw std::bad_alloc();
        }
        return unreadable(std::string("not well-formed XML (") + result.description() +
                          " at byte " + std::to_string(result.offset) + ")");
    }
    if (std::optional<std::string> why = BeyondLimits())
        return unreadable(std::move(*why));
    return LoadResult::Loaded;
}

std::optional<std::string> DeviceRegistryFile::BeyondLimits() const {
    LimitWalker walker;
    pugi::xml_node top = m_doc;
    top.traverse(walker);
    if (walker.tooDeep) {
        return "elements nested deeper than the " + std::to_string(kMaxElementDepth) +
               " levels of the format";
    }
    size_t entries = 0;
    for (pugi::xml_node node = List().first_child(); node; node = node.next_sibling()) {
        if (++entries > kMaxEntries)
            return "more than " + std::to_string(kMaxEntries) + " entries";
    }
    return std::nullopt;
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

std::vector<long> DeviceRegistryFile::Ids() const {
    std::vector<long> ids;
    for (pugi::xml_node node = List().child("MFP"); node; node = node.next_sibling())
        ids.push_back(Number(node, "ID"));
    return ids;
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

bool DeviceRegistryFile::UpdateEntry(long id, const std::vector<Field>& fields, bool* changed) {
    if (changed)
        *changed = false;
    for (pugi::xml_node entry : List().children("MFP")) {
        if (Number(entry, "ID") != id)
            continue;
        for (const Field& f : fields) {
            pugi::xml_node element = entry.child(f.element);
            // A hand-edited entry may lack the element; adding it keeps the change
            // instead of dropping it silently.
            if (element.empty()) {
                element = AppendElement(entry, f.element);
            } else if (WideToUtf8(f.text.str()) == element.child_value()) {
                continue;
            }
            SetText(element, f.text);
            if (changed)
                *changed = true;
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
