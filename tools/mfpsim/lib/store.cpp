#include "tools/mfpsim/lib/store.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <optional>
#include <string>

#include "tools/mfpsim/lib/ini.h"

namespace fs = std::filesystem;

namespace mfpsim {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Pairs of hex digits; decoding stops at the first pair that is not one.
std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        int hi = HexValue(hex[i]);
        int lo = HexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            break;
        }
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return out;
}

std::vector<int> ToVec(const Restrictions& r) {
    return std::vector<int>(r.begin(), r.end());
}

template <size_t N>
std::array<int, N> ToArr(const std::vector<int>& v) {
    std::array<int, N> a{};
    for (size_t i = 0; i < N && i < v.size(); ++i) {
        a[i] = v[i];
    }
    return a;
}

template <size_t N>
std::vector<int> ArrVec(const std::array<int, N>& a) {
    return std::vector<int>(a.begin(), a.end());
}

KeyValues IdentityToKv(const Identity& d) {
    KeyValues kv;
    kv.Set("identifier", d.identifier);
    kv.SetInt("version.major", d.major);
    kv.SetInt("version.minor", d.minor);
    kv.Set("model.name", d.modelName);
    kv.Set("serial", d.serial);
    kv.SetInt("auth.user", d.userAuthType);
    kv.SetInt("auth.account", d.accountAuthType);
    kv.SetInt("auth.public", d.publicSupport);
    kv.SetInt("hdd.count", d.hddCount);
    kv.SetInt("ioption", d.ioption);
    kv.SetInt("rx.secured", d.rxSecured);
    kv.SetInt("security.enhanced", d.enhancedSecurity);
    kv.SetInt("box.create", d.boxCreate);
    kv.SetInt("box.edit", d.boxEdit);
    kv.SetInt("box.delete", d.boxDelete);
    kv.SetInt("box.autodelete", d.autoDelTimePermission);
    kv.SetInt("mono2color.policy", d.mono2ColorPolicy);
    kv.SetInt("format.searchable_pdf", d.searchablePdf);
    kv.SetInt("format.office", d.officeSupport);
    kv.SetInts("format.languages", d.languages);
    kv.SetInt("format.pdfa", d.pdfA);
    kv.SetInt("format.linearized_pdf", d.linearizedPdf);
    kv.SetInt("format.supported", d.supportedFileFormat);
    kv.SetInt("auth.simple", d.simpleAuth);
    kv.SetInt("auth.boxadmin_support", d.boxAdminSupport);
    kv.SetInt("auth.trim_ldap_name", d.trimLdapUserName);
    kv.SetInt("auth.public_user_name", d.publicUserNameSupport);
    std::string servers;
    for (size_t i = 0; i < d.authServers.size(); ++i) {
        servers += (i ? "," : "") + d.authServers[i];
    }
    kv.Set("auth.servers", servers);
    kv.Set("auth.customized_info", d.customizedLoginInfo);
    kv.SetInt("limits.max_box_number", d.maxBoxNumber);
    kv.SetInt("limits.max_documents_per_box", d.maxDocumentsPerBox);
    return kv;
}

Identity IdentityFromKv(const KeyValues& kv) {
    Identity d;
    d.identifier = kv.Get("identifier", d.identifier);
    d.major = static_cast<int>(kv.GetInt("version.major", d.major));
    d.minor = static_cast<int>(kv.GetInt("version.minor", d.minor));
    d.modelName = kv.Get("model.name", d.modelName);
    d.serial = kv.Get("serial", d.serial);
    d.userAuthType = static_cast<int>(kv.GetInt("auth.user", d.userAuthType));
    d.accountAuthType = static_cast<int>(kv.GetInt("auth.account", d.accountAuthType));
    d.publicSupport = static_cast<int>(kv.GetInt("auth.public", d.publicSupport));
    d.hddCount = static_cast<int>(kv.GetInt("hdd.count", d.hddCount));
    d.ioption = static_cast<int>(kv.GetInt("ioption", d.ioption));
    d.rxSecured = static_cast<int>(kv.GetInt("rx.secured", d.rxSecured));
    d.enhancedSecurity = static_cast<int>(kv.GetInt("security.enhanced", d.enhancedSecurity));
    d.boxCreate = static_cast<int>(kv.GetInt("box.create", d.boxCreate));
    d.boxEdit = static_cast<int>(kv.GetInt("box.edit", d.boxEdit));
    d.boxDelete = static_cast<int>(kv.GetInt("box.delete", d.boxDelete));
    d.autoDelTimePermission =
        static_cast<int>(kv.GetInt("box.autodelete", d.autoDelTimePermission));
    d.mono2ColorPolicy = static_cast<int>(kv.GetInt("mono2color.policy", d.mono2ColorPolicy));
    d.searchablePdf = static_cast<int>(kv.GetInt("format.searchable_pdf", d.searchablePdf));
    d.officeSupport = static_cast<int>(kv.GetInt("format.office", d.officeSupport));
    if (kv.Has("format.languages")) {
        std::string s = kv.Get("format.languages");
        size_t n = s.empty() ? 0 : static_cast<size_t>(std::count(s.begin(), s.end(), ',') + 1);
        d.languages = kv.GetInts("format.languages", std::min<size_t>(n, 31));
    }
    d.pdfA = static_cast<int>(kv.GetInt("format.pdfa", d.pdfA));
    d.linearizedPdf = static_cast<int>(kv.GetInt("format.linearized_pdf", d.linearizedPdf));
    d.supportedFileFormat = kv.GetInt("format.supported", d.supportedFileFormat);
    d.simpleAuth = static_cast<int>(kv.GetInt("auth.simple", d.simpleAuth));
    d.boxAdminSupport = static_cast<int>(kv.GetInt("auth.boxadmin_support", d.boxAdminSupport));
    d.trimLdapUserName = static_cast<int>(kv.GetInt("auth.trim_ldap_name", d.trimLdapUserName));
    d.publicUserNameSupport =
        static_cast<int>(kv.GetInt("auth.public_user_name", d.publicUserNameSupport));
    if (kv.Has("auth.servers")) {
        d.authServers.clear();
        std::string s = kv.Get("auth.servers");
        size_t pos = 0;
        while (!s.empty()) {
            size_t comma = s.find(',', pos);
            d.authServers.push_back(
                s.substr(pos, comma == std::string::npos ? comma : comma - pos));
            if (comma == std::string::npos) {
                break;
            }
            pos = comma + 1;
        }
    }
    d.customizedLoginInfo = kv.Get("auth.customized_info", d.customizedLoginInfo);
    d.maxBoxNumber = static_cast<int>(kv.GetInt("limits.max_box_number", d.maxBoxNumber));
    d.maxDocumentsPerBox =
        static_cast<int>(kv.GetInt("limits.max_documents_per_box", d.maxDocumentsPerBox));
    return d;
}

KeyValues UserToKv(const User& u) {
    KeyValues kv;
    kv.Set("name", u.name);
    kv.Set("password", u.password);
    kv.SetInt("role", static_cast<int>(u.role));
    kv.SetInts("restrictions", ToVec(u.restrictions));
    kv.Set("auth_server", u.authServer);
    kv.Set("account", u.accountName);
    kv.SetInt("account_sync", u.accountSync);
    return kv;
}

User UserFromKv(const KeyValues& kv) {
    User u;
    u.name = kv.Get("name");
    u.password = kv.Get("password");
    int role = static_cast<int>(kv.GetInt("role", 0));
    u.role = role >= 0 && role <= 3 ? static_cast<UserRole>(role) : UserRole::kUser;
    u.restrictions = ToArr<kRestrictionCount>(kv.GetInts("restrictions", kRestrictionCount));
    u.authServer = kv.Get("auth_server", u.authServer);
    u.accountName = kv.Get("account");
    u.accountSync = static_cast<int>(kv.GetInt("account_sync", 0));
    return u;
}

KeyValues AccountToKv(const Account& a) {
    KeyValues kv;
    kv.Set("name", a.name);
    kv.Set("password", a.password);
    kv.SetInts("restrictions", ToVec(a.restrictions));
    return kv;
}

Account AccountFromKv(const KeyValues& kv) {
    Account a;
    a.name = kv.Get("name");
    a.password = kv.Get("password");
    a.restrictions = ToArr<kRestrictionCount>(kv.GetInts("restrictions", kRestrictionCount));
    return a;
}

KeyValues BoxToKv(const Box& b) {
    KeyValues kv;
    kv.SetInt("number", b.number);
    kv.SetInt("kind", static_cast<int>(b.kind));
    kv.Set("name", b.name);
    kv.Set("owner", b.owner);
    kv.Set("password", b.password);
    kv.SetInt("type", b.type);
    kv.Set("entry_date", b.entryDate);
    kv.SetInt("search_char", b.searchChar);
    kv.SetInt("main", b.main);
    kv.SetInt("autodelete.time", b.autoDelTime);
    kv.SetInt("autodelete.type", b.autoDelTimeType);
    kv.SetInt("autodelete.minute", b.autoDelTimeMinute);
    kv.SetInts("values", {b.valueA, b.valueB, b.valueC, b.valueD});
    kv.Set("text_a", b.textA);
    kv.Set("text_b", b.textB);
    return kv;
}

Box BoxFromKv(const KeyValues& kv) {
    Box b;
    b.number = static_cast<int>(kv.GetInt("number", -1));
    int kind = static_cast<int>(kv.GetInt("kind", 0));
    b.kind = kind >= 0 && kind <= 2 ? static_cast<BoxKind>(kind) : BoxKind::kUser;
    b.name = kv.Get("name");
    b.owner = kv.Get("owner");
    b.password = kv.Get("password");
    b.type = static_cast<int>(kv.GetInt("type", 0));
    b.entryDate = kv.Get("entry_date");
    b.searchChar = static_cast<int>(kv.GetInt("search_char", 0));
    b.main = static_cast<int>(kv.GetInt("main", 0));
    b.autoDelTime = static_cast<int>(kv.GetInt("autodelete.time", 255));
    b.autoDelTimeType = static_cast<int>(kv.GetInt("autodelete.type", 1));
    b.autoDelTimeMinute = static_cast<int>(kv.GetInt("autodelete.minute", 0));
    auto v = kv.GetInts("values", 4);
    b.valueA = v[0];
    b.valueB = v[1];
    b.valueC = v[2];
    b.valueD = v[3];
    b.textA = kv.Get("text_a");
    b.textB = kv.Get("text_b");
    return b;
}

KeyValues DocToKv(const Document& d) {
    KeyValues kv;
    kv.SetInt("id", d.id);
    kv.SetInt("box", d.box);
    kv.Set("name", d.name);
    kv.Set("owner", d.owner);
    kv.Set("entry_date", d.entryDate);
    kv.SetInt("file_type", d.fileType);
    kv.SetInt("pages", d.pages);
    kv.SetInt("resolution.x", d.xResolution);
    kv.SetInt("resolution.y", d.yResolution);
    kv.SetInt("color_type", d.colorType);
    kv.SetInt("bits_per_pixel", d.bitsPerPixel);
    kv.SetInt("paper_size", d.paperSize);
    kv.SetInt("width", d.width);
    kv.SetInt("height", d.height);
    kv.SetInt("mode", d.mode);
    kv.SetInt("encrypted", d.encrypted);
    std::vector<int> attrs;
    for (const Attribute& a : d.attributes) {
        attrs.push_back(a.type);
        attrs.push_back(a.enable);
        attrs.push_back(a.colorType);
    }
    kv.SetInt("attributes.count", static_cast<int64_t>(d.attributes.size()));
    kv.SetInts("attributes", attrs);
    if (d.declaredAttributes >= 0) {
        kv.SetInt("attributes.declared", d.declaredAttributes);
    }
    kv.SetInts("outline_pdf", ArrVec(d.outlinePdf));
    kv.SetInts("extended_pdf", ArrVec(d.extendedPdf));
    kv.SetInts("office_xml", ArrVec(d.officeXml));
    if (d.syntheticSize > 0) {
        kv.SetInt("synthetic_size", d.syntheticSize);
    }
    return kv;
}

Document DocFromKv(const KeyValues& kv) {
    Document d;
    d.id = static_cast<int>(kv.GetInt("id", -1));
    d.box = static_cast<int>(kv.GetInt("box", -1));
    d.name = kv.Get("name");
    d.owner = kv.Get("owner");
    d.entryDate = kv.Get("entry_date");
    d.fileType = static_cast<int>(kv.GetInt("file_type", 0));
    d.pages = static_cast<int>(kv.GetInt("pages", 1));
    d.xResolution = static_cast<int>(kv.GetInt("resolution.x", 200));
    d.yResolution = static_cast<int>(kv.GetInt("resolution.y", 200));
    d.colorType = static_cast<int>(kv.GetInt("color_type", 2));
    d.bitsPerPixel = static_cast<int>(kv.GetInt("bits_per_pixel", 24));
    d.paperSize = static_cast<int>(kv.GetInt("paper_size", 0));
    d.width = static_cast<int>(kv.GetInt("width", 0));
    d.height = static_cast<int>(kv.GetInt("height", 0));
    d.mode = static_cast<int>(kv.GetInt("mode", 0));
    d.encrypted = static_cast<int>(kv.GetInt("encrypted", 0));
    size_t count =
        static_cast<size_t>(std::clamp<int64_t>(kv.GetInt("attributes.count", 0), 0, 20));
    auto attrs = kv.GetInts("attributes", count * 3);
    for (size_t i = 0; i < count; ++i) {
        d.attributes.push_back({attrs[i * 3], attrs[i * 3 + 1], attrs[i * 3 + 2]});
    }
    d.declaredAttributes =
        static_cast<int>(std::clamp<int64_t>(kv.GetInt("attributes.declared", -1), -1, INT32_MAX));
    d.outlinePdf = ToArr<4>(kv.GetInts("outline_pdf", 4));
    d.extendedPdf = ToArr<2>(kv.GetInts("extended_pdf", 2));
    d.officeXml = ToArr<5>(kv.GetInts("office_xml", 5));
    d.syntheticSize = std::max<int64_t>(0, kv.GetInt("synthetic_size", 0));
    return d;
}

KeyValues JobToKv(const PrintJob& j) {
    KeyValues kv;
    kv.SetInt("id", j.id);
    kv.SetInt("document", j.document);
    kv.SetInt("box", j.box);
    kv.Set("user", j.user);
    kv.Set("document_name", j.documentName);
    kv.Set("time", j.time);
    kv.SetInts("print", {j.copies, j.colour, j.duplex, j.startPage, j.endPage});
    static const char* kHex = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : j.settings) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    kv.Set("settings", hex);
    return kv;
}

PrintJob JobFromKv(const KeyValues& kv) {
    PrintJob j;
    j.id = static_cast<int>(kv.GetInt("id", 0));
    j.document = static_cast<int>(kv.GetInt("document", 0));
    j.box = static_cast<int>(kv.GetInt("box", 0));
    j.user = kv.Get("user");
    j.documentName = kv.Get("document_name");
    j.time = kv.Get("time");
    auto print = kv.GetInts("print", 5);
    j.copies = print[0];
    j.colour = print[1];
    j.duplex = print[2];
    j.startPage = print[3];
    j.endPage = print[4];
    std::string hex = kv.Get("settings");
    j.settings = FromHex(hex);
    return j;
}

bool IsNumber(const std::string& s) {
    return !s.empty() && s.size() < 10 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string HexName(const std::string& name) {
    static const char* kHex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : name) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out.empty() ? "_" : out;
}

std::string FromHexName(const std::string& hex) {
    std::vector<uint8_t> b = FromHex(hex);
    return std::string(b.begin(), b.end());
}

bool Store::IsEmpty() const {
    return !fs::exists(root_ / "device.ini");
}

bool Store::Load(DeviceState& out, std::vector<std::string>& warnings) const {
    auto dev = KeyValues::Load(root_ / "device.ini");
    if (!dev) {
        warnings.push_back("device.ini missing or unreadable");
        return false;
    }
    out = DeviceState{};
    out.identity = IdentityFromKv(*dev);
    if (auto c = KeyValues::Load(root_ / "counters.ini")) {
        out.nextDocumentId = static_cast<int>(c->GetInt("next_document", 1));
        out.nextJobId = static_cast<int>(c->GetInt("next_job", 1));
    }
    std::error_code ec;
    auto eachIni = [&](const fs::path& dir, auto&& fn) {
        if (!fs::is_directory(dir, ec)) {
            return;
        }
        for (const auto& e : fs::directory_iterator(dir, ec)) {
            if (e.path().extension() != ".ini") {
                continue;
            }
            auto kv = KeyValues::Load(e.path());
            if (!kv) {
                warnings.push_back("unreadable: " + e.path().string());
                continue;
            }
            fn(*kv, e.path());
        }
    };
    eachIni(root_ / "users", [&](const KeyValues& kv, const fs::path&) {
        User u = UserFromKv(kv);
        out.users[u.name] = u;
    });
    eachIni(root_ / "accounts", [&](const KeyValues& kv, const fs::path&) {
        Account a = AccountFromKv(kv);
        out.accounts[a.name] = a;
    });
    eachIni(root_ / "jobs",
            [&](const KeyValues& kv, const fs::path&) { out.jobs.push_back(JobFromKv(kv)); });
    std::sort(out.jobs.begin(), out.jobs.end(),
              [](const PrintJob& a, const PrintJob& b) { return a.id < b.id; });
    if (fs::is_directory(root_ / "boxes", ec)) {
        for (const auto& be : fs::directory_iterator(root_ / "boxes", ec)) {
            std::string bname = be.path().filename().string();
            if (!IsNumber(bname)) {
                continue;  // leftovers of an interrupted removal
            }
            auto kv = KeyValues::Load(be.path() / "box.ini");
            if (!kv) {
                warnings.push_back("unreadable box: " + be.path().string());
                continue;
            }
            Box b = BoxFromKv(*kv);
            b.number = std::stoi(bname);
            out.boxes[b.number] = b;
            fs::path docs = be.path() / "docs";
            if (!fs::is_directory(docs, ec)) {
                continue;
            }
            for (const auto& de : fs::directory_iterator(docs, ec)) {
                std::string dname = de.path().filename().string();
                if (!IsNumber(dname)) {
                    continue;
                }
                auto dkv = KeyValues::Load(de.path() / "doc.ini");
                if (!dkv) {
                    warnings.push_back("unreadable document: " + de.path().string());
                    continue;
                }
                Document d = DocFromKv(*dkv);
                d.id = std::stoi(dname);
                d.box = b.number;
                out.documents[d.id] = d;
                out.nextDocumentId = std::max(out.nextDocumentId, d.id + 1);
            }
        }
    }
    for (const PrintJob& j : out.jobs) {
        out.nextJobId = std::max(out.nextJobId, j.id + 1);
    }
    return true;
}

bool Store::SaveAll(const DeviceState& state) const {
    std::error_code ec;
    fs::create_directories(root_, ec);
    bool ok = SaveIdentity(state.identity) && SaveCounters(state);
    for (const auto& [n, u] : state.users) {
        ok = ok && SaveUser(u);
    }
    for (const auto& [n, a] : state.accounts) {
        ok = ok && SaveAccount(a);
    }
    for (const auto& [n, b] : state.boxes) {
        ok = ok && SaveBox(b);
    }
    for (const auto& [id, d] : state.documents) {
        ok = ok && SaveDocument(d);
    }
    for (const PrintJob& j : state.jobs) {
        ok = ok && SaveJob(j);
    }
    return ok && RemoveStale(state);
}

bool Store::RemoveStale(const DeviceState& state) const {
    // Folders named by a number the state no longer holds (a box, or a document of
    // that box) are what an edit removed.
    auto number = [](const fs::path& p) -> std::optional<int> {
        const std::string name = p.filename().string();
        if (name.empty() || name.size() > 9 ||
            name.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        return std::stoi(name);
    };
    bool ok = true;
    std::error_code ec;
    for (const auto& be : fs::directory_iterator(root_ / "boxes", ec)) {
        const std::optional<int> box = number(be.path());
        if (!box) {
            continue;
        }
        if (!state.boxes.count(*box)) {
            ok = RemoveBox(*box) && ok;
            continue;
        }
        std::error_code dec;
        for (const auto& de : fs::directory_iterator(be.path() / "docs", dec)) {
            const std::optional<int> id = number(de.path());
            auto it = id ? state.documents.find(*id) : state.documents.end();
            if (id && (it == state.documents.end() || it->second.box != *box)) {
                ok = RemoveTree(de.path()) && ok;
            }
        }
    }
    return ok;
}

bool Store::SaveIdentity(const Identity& identity) const {
    std::error_code ec;
    fs::create_directories(root_, ec);
    return IdentityToKv(identity).Save(root_ / "device.ini", durable_);
}

bool Store::SaveCounters(const DeviceState& state) const {
    KeyValues kv;
    kv.SetInt("next_document", state.nextDocumentId);
    kv.SetInt("next_job", state.nextJobId);
    return kv.Save(root_ / "counters.ini", durable_);
}

bool Store::SaveUser(const User& user) const {
    std::error_code ec;
    fs::create_directories(root_ / "users", ec);
    return UserToKv(user).Save(root_ / "users" / (HexName(user.name) + ".ini"), durable_);
}

bool Store::SaveAccount(const Account& account) const {
    std::error_code ec;
    fs::create_directories(root_ / "accounts", ec);
    return AccountToKv(account).Save(root_ / "accounts" / (HexName(account.name) + ".ini"),
                                     durable_);
}

bool Store::SaveBox(const Box& box) const {
    std::error_code ec;
    fs::create_directories(BoxDir(box.number) / "docs", ec);
    return BoxToKv(box).Save(BoxDir(box.number) / "box.ini", durable_);
}

bool Store::RemoveTree(const fs::path& dir) const {
    // Renamed away first, so an interrupted removal never leaves half an object that a
    // later load would read.
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        return true;
    }
    fs::path gone = dir;
    gone += ".removed." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    fs::rename(dir, gone, ec);
    if (ec) {
        return false;
    }
    fs::remove_all(gone, ec);
    return true;
}

bool Store::RemoveBox(int number) const {
    return RemoveTree(BoxDir(number));
}

bool Store::SaveDocument(const Document& doc) const {
    std::error_code ec;
    fs::create_directories(DocumentDir(doc.box, doc.id), ec);
    return DocToKv(doc).Save(DocumentDir(doc.box, doc.id) / "doc.ini", durable_);
}

bool Store::RemoveDocument(const Document& doc) const {
    return RemoveTree(DocumentDir(doc.box, doc.id));
}

bool Store::MoveDocument(const Document& doc, int fromBox) const {
    std::error_code ec;
    fs::create_directories(BoxDir(doc.box) / "docs", ec);
    fs::rename(DocumentDir(fromBox, doc.id), DocumentDir(doc.box, doc.id), ec);
    if (ec) {
        return false;
    }
    return SaveDocument(doc);
}

bool Store::CopyDocument(const Document& from, const Document& to) const {
    std::error_code ec;
    fs::path src = DocumentDir(from.box, from.id);
    fs::path dst = DocumentDir(to.box, to.id);
    // Built under a name that Load skips, then renamed into place.
    fs::path tmp = BoxDir(to.box) / "docs" / (std::to_string(to.id) + ".partial");
    fs::remove_all(tmp, ec);
    fs::create_directories(tmp, ec);
    for (const auto& e : fs::directory_iterator(src, ec)) {
        if (e.path().filename() == "doc.ini") {
            continue;
        }
        fs::copy_file(e.path(), tmp / e.path().filename(), fs::copy_options::overwrite_existing,
                      ec);
        if (ec) {
            fs::remove_all(tmp, ec);
            return false;
        }
    }
    if (!DocToKv(to).Save(tmp / "doc.ini", durable_)) {
        fs::remove_all(tmp, ec);
        return false;
    }
    fs::rename(tmp, dst, ec);
    if (ec) {
        fs::remove_all(tmp, ec);
        return false;
    }
    return true;
}

bool Store::SaveJob(const PrintJob& job) const {
    std::error_code ec;
    fs::create_directories(root_ / "jobs", ec);
    return JobToKv(job).Save(root_ / "jobs" / (std::to_string(job.id) + ".ini"), durable_);
}

bool Store::WriteContent(const Document& doc, const std::string& file,
                         const std::vector<uint8_t>& data, bool durable) const {
    std::error_code ec;
    fs::create_directories(DocumentDir(doc.box, doc.id), ec);
    return WriteFileAtomic(DocumentDir(doc.box, doc.id) / file, data, durable && durable_);
}

std::optional<std::vector<uint8_t>> Store::ReadContent(const Document& doc,
                                                       const std::string& file) const {
    return ReadFileBytes(DocumentDir(doc.box, doc.id) / file);
}

}  // namespace mfpsim
