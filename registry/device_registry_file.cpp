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

CString Text(const xml::Node& entry, const char* element) {
    const xml::Node* field = entry.Child(element);
    return CString(Utf8ToWide(field ? field->ChildValue() : std::string()));
}

int Number(const xml::Node& entry, const char* element) {
    return WideToInt(Text(entry, element));
}

void AppendText(xml::Node& entry, const char* element, const CString& text) {
    entry.AppendElement(element).SetChildValue(WideToUtf8(text.str()));
}

void AppendNumber(xml::Node& entry, const char* element, long value) {
    entry.AppendElement(element).SetChildValue(std::to_string(value));
}

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
    m_doc.nodes.clear();
    m_problem.clear();
    if (!fs::Exists(path.str()))
        return LoadResult::Missing;
    auto unreadable = [this](std::string why) {
        m_doc.nodes.clear();
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

    xml::ParseOptions options;
    options.keepDeclaration = true;
    options.maxDepth = kMaxElementDepth;
    const xml::ParseResult parsed = xml::Parse(bytes, options, m_doc);
    switch (parsed.status) {
        case xml::ParseStatus::Ok:
            break;
        case xml::ParseStatus::Malformed:
            return unreadable("not well-formed XML (" + parsed.problem + ")");
        case xml::ParseStatus::TooDeep:
            return unreadable("elements nested deeper than the " +
                              std::to_string(kMaxElementDepth) + " levels of the format");
    }
    const xml::Node* list = List();
    if (list && list->children.size() > kMaxEntries)
        return unreadable("more than " + std::to_string(kMaxEntries) + " entries");
    return LoadResult::Loaded;
}

void DeviceRegistryFile::StartNew() {
    m_doc.nodes.clear();
    m_doc.nodes.push_back(xml::Node::Utf8Declaration());
    m_doc.nodes.push_back(xml::Node::Element("MFPList"));
}

const xml::Node* DeviceRegistryFile::List() const {
    return m_doc.Child("MFPList");
}

xml::Node* DeviceRegistryFile::List() {
    return m_doc.Child("MFPList");
}

bool DeviceRegistryFile::HasList() const {
    return List() != nullptr;
}

// The listing walks from the first MFP element through every following sibling.
template <class Each>
static void ForEachListed(const xml::Node* list, Each each) {
    if (!list)
        return;
    const auto& nodes = list->children;
    auto it = std::find_if(nodes.begin(), nodes.end(),
                           [](const xml::Node& n) { return n.IsElement() && n.name == "MFP"; });
    for (; it != nodes.end(); ++it)
        each(*it);
}

std::vector<DeviceRegistryEntry> DeviceRegistryFile::ReadEntries() const {
    std::vector<DeviceRegistryEntry> entries;
    ForEachListed(List(), [&](const xml::Node& node) {
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
    });
    return entries;
}

std::vector<long> DeviceRegistryFile::Ids() const {
    std::vector<long> ids;
    ForEachListed(List(), [&](const xml::Node& node) { ids.push_back(Number(node, "ID")); });
    return ids;
}

void DeviceRegistryFile::Append(const DeviceRegistryEntry& e) {
    xml::Node* list = List();
    if (!list)
        throw std::bad_alloc();  // as before: appending needs a list, which StartNew makes
    // Built aside and moved in whole, so a failure leaves the list as it was.
    xml::Node entry = xml::Node::Element("MFP");
    AppendNumber(entry, "ID", e.id);
    AppendText(entry, "Name", e.name);
    AppendText(entry, "IP", e.address);
    AppendNumber(entry, "Port", e.port);
    AppendNumber(entry, "PortSSL", e.portSSL);
    AppendNumber(entry, "LastTCPComm", e.lastTCPComm);
    AppendText(entry, "LastUserName", e.lastUserName);
    AppendNumber(entry, "LastUserType", e.lastUserType);
    AppendNumber(entry, "LastAccountType", e.lastAccountType);
    AppendText(entry, "LastAccountName", e.lastAccountName);
    list->children.push_back(std::move(entry));
}

bool DeviceRegistryFile::RemoveFirst(const CString& idText) {
    const std::string key = WideToUtf8(idText.str());
    xml::Node* list = List();
    if (!list)
        return false;
    auto& nodes = list->children;
    for (auto it = nodes.begin(); it != nodes.end(); ++it) {
        if (!it->IsElement() || it->name != "MFP")
            continue;
        const xml::Node* id = it->Child("ID");
        if (key == (id ? id->ChildValue() : std::string())) {
            nodes.erase(it);
            return true;
        }
    }
    return false;
}

bool DeviceRegistryFile::UpdateEntry(long id, const std::vector<Field>& fields, bool* changed) {
    if (changed)
        *changed = false;
    xml::Node* list = List();
    if (!list)
        return false;
    for (xml::Node& entry : list->children) {
        if (!entry.IsElement() || entry.name != "MFP" || Number(entry, "ID") != id)
            continue;
        for (const Field& f : fields) {
            std::string text = WideToUtf8(f.text.str());
            xml::Node* element = entry.Child(f.element);
            // A hand-edited entry may lack the element; adding it keeps the change
            // instead of dropping it silently.
            if (!element) {
                element = &entry.AppendElement(f.element);
            } else if (text == element->ChildValue()) {
                continue;
            }
            element->SetChildValue(std::move(text));
            if (changed)
                *changed = true;
        }
        return true;
    }
    return false;
}

std::string DeviceRegistryFile::Serialize() const {
    std::string out;
    // Empty elements are written as a start and an end tag, so an entry looks the same
    // whether it was just made or loaded and saved again.
    if (!xml::Write(m_doc, {.emptyElementTags = false}, out))
        out.clear();
    return out;
}

bool DeviceRegistryFile::Save(const CString& path) const {
    std::string bytes;
    if (!xml::Write(m_doc, {.emptyElementTags = false}, bytes))
        return false;
    return fs::ReplaceFileAtomically(path.str(), bytes);
}

}  // namespace vesk
