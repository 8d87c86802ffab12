#include "tools/mfpsim/lib/device.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <type_traits>

#include "tools/mfpsim/lib/imaging.h"
#include "tools/mfpsim/lib/sample.h"

namespace mfpsim {

namespace {

constexpr size_t kMaxBoxName = 60;       // bytes of UTF-8, the record holds 61 with the zero
constexpr size_t kMaxDocumentName = 90;  // likewise 91
constexpr size_t kMaxUserName = 192;

bool IsPublicName(const std::string& name) {
    return EqualsNoCase(name, "public");
}

}  // namespace

std::string FormatEntryDate(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::optional<std::time_t> ParseEntryDate(const std::string& text) {
    std::tm tm{};
    int n = 0;
    if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &n) != 6 ||
        static_cast<size_t>(n) != text.size()) {
        return std::nullopt;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return t;
}

// ---------------------------------------------------------------- Device

std::unique_ptr<Device> Device::Open(const std::filesystem::path& root,
                                     const IdentityOverrides& overrides, std::string& error) {
    std::unique_ptr<Device> dev(new Device(root));
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    if (!std::filesystem::is_directory(root, ec)) {
        error = "cannot create device folder " + root.string();
        return nullptr;
    }
    if (dev->store_.IsEmpty()) {
        if (!std::filesystem::is_empty(root, ec)) {
            error = "folder " + root.string() + " is not empty and holds no device.ini";
            return nullptr;
        }
        if (!WriteSampleDevice(dev->store_, SampleOptions{}, error)) {
            return nullptr;
        }
    }
    std::vector<std::string> warnings;
    if (!dev->store_.Load(dev->state_, warnings)) {
        error = warnings.empty() ? "cannot load device" : warnings.front();
        return nullptr;
    }
    Identity& id = dev->state_.identity;
    if (overrides.identifier) {
        id.identifier = *overrides.identifier;
    } else if (overrides.model) {
        id.identifier = IdentifierForModel(*overrides.model);
    }
    if (overrides.major) {
        id.major = *overrides.major;
    }
    if (overrides.minor) {
        id.minor = *overrides.minor;
    }
    return dev;
}

Identity Device::GetIdentity() const {
    std::lock_guard lk(mu_);
    return state_.identity;
}

int Device::Protocol() const {
    std::lock_guard lk(mu_);
    return ProtocolLevel(state_.identity.major, state_.identity.minor);
}

DeviceState Device::Snapshot() const {
    std::lock_guard lk(mu_);
    return state_;
}

int Device::AddSyntheticDocument(int box, const std::string& name, int fileType, int pages,
                                 int colorType, int dpi, std::string& error) {
    std::lock_guard lk(mu_);
    if (!state_.boxes.count(box) || name.empty() || name.size() > 90 || pages < 1 ||
        pages > 10000 || dpi < 10 || dpi > 1200 || FileTypeExtension(fileType).empty()) {
        error = "bad document description";
        return -1;
    }
    Document d;
    d.id = state_.nextDocumentId++;
    d.box = box;
    d.name = name;
    d.owner = "mfpsim";
    d.entryDate = NowText();
    d.fileType = fileType;
    d.pages = pages;
    d.xResolution = d.yResolution = dpi;
    d.colorType = colorType;
    d.bitsPerPixel = colorType == 0 ? 1 : colorType == 1 ? 8 : 24;
    d.paperSize = 4;
    A4Pixels(dpi, d.width, d.height);
    if (!store_.SaveCounters(state_) ||
        !WriteDocumentContent(store_, d, static_cast<uint32_t>(d.id), error) ||
        !store_.SaveDocument(d)) {
        store_.RemoveDocument(d);
        if (error.empty()) {
            error = "cannot store the document";
        }
        return -1;
    }
    state_.documents[d.id] = d;
    return d.id;
}

void Device::SetClock(std::function<std::time_t()> clock) {
    std::lock_guard lk(mu_);
    clock_ = std::move(clock);
}

std::time_t Device::Now() const {
    return clock_ ? clock_() : std::time(nullptr);
}

std::string Device::NowText() const {
    return FormatEntryDate(Now());
}

// ---------------------------------------------------------------- Session basics

Session::Session(Device& device) : device_(device) {}

Session::~Session() {
    std::lock_guard lk(device_.mu_);
    ReleaseBox();
    ReleaseDocument();
}

Status Session::RequireConnected() const {
    return connected_ ? Status{} : Fail(err::kNoSession);
}

int Session::ProtocolLocked() const {
    const Identity& id = device_.state_.identity;
    int device = ProtocolLevel(id.major, id.minor);
    return protocol_ > 0 && protocol_ < device ? protocol_ : device;
}

int Session::Protocol() const {
    std::lock_guard lk(device_.mu_);
    return ProtocolLocked();
}

Status Session::RequireProtocol(int level) const {
    return ProtocolLocked() >= level ? Status{} : Fail(err::kUnsupported);
}

bool Session::IsBoxAdmin() const {
    return user_ && role_ == UserRole::kBoxAdmin;
}

Status Session::RequireLogin() const {
    if (!connected_) {
        return Fail(err::kNoSession);
    }
    const Identity& id = device_.state_.identity;
    bool userOk = id.userAuthType == 0 || user_.has_value();
    int at = id.accountAuthType;
    bool accountOk = at == 0 || at == 4 || at == 6 || account_.has_value() || IsBoxAdmin() ||
                     (at == 1 && user_ && role_ == UserRole::kPublic);
    return userOk && accountOk ? Status{} : Fail(err::kNoSession);
}

Status Session::RequireBox() const {
    if (Status s = RequireLogin(); !s.Ok()) {
        return s;
    }
    return box_ ? Status{} : Fail(err::kBoxNotLoggedIn);
}

Status Session::Check(Need need, int level) const {
    Status s = need == Need::kBox          ? RequireBox()
               : need == Need::kLogin      ? RequireLogin()
               : need == Need::kConnection ? RequireConnected()
                                           : Status{};
    return s.Ok() && level > 0 ? RequireProtocol(level) : s;
}

template <class Fn>
Status Session::Locked(Need need, int level, Fn&& fn) const {
    std::lock_guard lk(device_.mu_);
    if (Status s = Check(need, level); !s.Ok()) {
        return s;
    }
    if constexpr (std::is_void_v<decltype(fn())>) {
        fn();
        return {};
    } else {
        return fn();
    }
}

Status Session::Granted(const Status& s, int& colourForbidden) const {
    if (s.Ok()) {
        colourForbidden = restrictions_[kColourRestriction];
    }
    return s;
}

Status Session::Granted(const Status& s, Restrictions& out) const {
    if (s.Ok()) {
        out = restrictions_;
    }
    return s;
}

void Session::ReleaseBox() {
    if (box_) {
        auto it = device_.boxLogins_.find(*box_);
        if (it != device_.boxLogins_.end() && --it->second <= 0) {
            device_.boxLogins_.erase(it);
        }
    }
    box_.reset();
    printDoc_.reset();
}

void Session::ReleaseDocument() {
    auto release = [&](int id) {
        auto it = device_.openDocuments_.find(id);
        if (it != device_.openDocuments_.end() && --it->second <= 0) {
            device_.openDocuments_.erase(it);
        }
    };
    if (openDocId_) {
        release(*openDocId_);
    }
    for (int id : openBound_) {
        release(id);
    }
    openDocId_.reset();
    openBound_.clear();
    docData_.clear();
    docData_.shrink_to_fit();
    docPos_ = 0;
    docOpen_ = false;
    docSynthetic_ = -1;
}

Status Session::GetDeviceInfo(Identity& out) const {
    std::lock_guard lk(device_.mu_);
    out = device_.state_.identity;
    return {};
}

Status Session::Connect(int clientProtocol, const std::string& unitName, int& userAuthType,
                        int& accountAuthType, int& publicSupport) {
    std::lock_guard lk(device_.mu_);
    const Identity& id = device_.state_.identity;
    if (!unitName.empty() && unitName != DeviceUnit(id.identifier)) {
        return Fail(err::kForbidden, err::kDetailUnit);
    }
    protocol_ = clientProtocol > 0 ? clientProtocol : 0;
    ReleaseBox();
    ReleaseDocument();
    connected_ = true;
    user_.reset();
    account_.reset();
    restrictions_ = {};
    userAuthType = id.userAuthType;
    accountAuthType = id.accountAuthType;
    publicSupport = id.publicSupport;
    return {};
}

Status Session::Disconnect() {
    std::lock_guard lk(device_.mu_);
    ReleaseBox();
    ReleaseDocument();
    thumbOpen_ = false;
    thumbData_.clear();
    connected_ = false;
    user_.reset();
    account_.reset();
    restrictions_ = {};
    return {};
}

// ---------------------------------------------------------------- login

Status Session::LoginUser(const std::string& name, const std::string& password, bool vendor) {
    if (!connected_) {
        return Fail(err::kNoSession);
    }
    const DeviceState& st = device_.state_;
    if (name.empty() || name.size() > kMaxUserName) {
        return Fail(err::kLoginRefused);
    }
    const User* user = nullptr;
    auto it = st.users.find(name);
    if (it != st.users.end()) {
        user = &it->second;
    } else {
        for (const auto& [n, u] : st.users) {
            if (EqualsNoCase(n, name)) {
                user = &u;
                break;
            }
        }
    }
    User publicUser;
    if (!user && IsPublicName(name) && st.identity.publicSupport) {
        publicUser.name = name;
        publicUser.role = UserRole::kPublic;
        user = &publicUser;
    }
    if (!user || user->password != password) {
        return Fail(err::kLoginRefused);
    }
    if (user->role == UserRole::kPublic && !st.identity.publicSupport) {
        return Fail(err::kLoginRefused);
    }
    // Without user authentication only the box administrator logs in.
    if (st.identity.userAuthType == 0 && user->role != UserRole::kBoxAdmin) {
        return Fail(err::kForbidden);
    }
    if (vendor && user->role != UserRole::kVendor && st.identity.userAuthType != 7) {
        return Fail(err::kForbidden);
    }
    ReleaseBox();
    user_ = user->name;
    role_ = user->role;
    account_.reset();
    restrictions_ = user->restrictions;
    return {};
}

Status Session::UserLogin(const std::string& name, const std::string& password,
                          int& colourForbidden) {
    return Locked(Need::kNothing, 0,
                  [&] { return Granted(LoginUser(name, password, false), colourForbidden); });
}

Status Session::UserLogin2(const std::string& name, const std::string& password,
                           Restrictions& out) {
    return Locked(Need::kNothing, 30,
                  [&] { return Granted(LoginUser(name, password, false), out); });
}

Status Session::VendorLogin(const std::string& name, const std::string& password,
                            Restrictions& out) {
    return Locked(Need::kNothing, 40,
                  [&] { return Granted(LoginUser(name, password, true), out); });
}

Status Session::LoginAccount(const std::string& name, const std::string& password) {
    if (!connected_) {
        return Fail(err::kNoSession);
    }
    const DeviceState& st = device_.state_;
    int at = st.identity.accountAuthType;
    if (at == 0 || at == 4) {
        return Fail(err::kForbidden);
    }
    if (st.identity.userAuthType != 0 && !user_) {
        return Fail(err::kNoSession);
    }
    Restrictions acc{};
    if (name.empty()) {
        if (at != 2) {
            return Fail(err::kLoginRefused);
        }
    } else {
        auto it = st.accounts.find(name);
        if (it == st.accounts.end() || it->second.password != password) {
            return Fail(err::kLoginRefused);
        }
        acc = it->second.restrictions;
    }
    account_ = name;
    // A restriction the user login set stays: the first nine kinds merge.
    for (int i = 0; i < 9; ++i) {
        restrictions_[i] = (restrictions_[i] == 1 || acc[i] == 1) ? 1 : 0;
    }
    return {};
}

Status Session::AccountLogin(const std::string& name, const std::string& password,
                             int& colourForbidden) {
    return Locked(Need::kNothing, 0,
                  [&] { return Granted(LoginAccount(name, password), colourForbidden); });
}

Status Session::AccountLogin2(const std::string& name, const std::string& password,
                              Restrictions& out) {
    return Locked(Need::kNothing, 30, [&] { return Granted(LoginAccount(name, password), out); });
}

Status Session::CustomizedLogin(const std::vector<uint8_t>& data, int& result, Restrictions& out) {
    return Locked(Need::kNothing, 0, [&]() -> Status {
        int ut = device_.state_.identity.userAuthType;
        if (ut != 3 && ut != 8 && ut != 9) {
            return Fail(err::kForbidden);
        }
        auto zero = std::find(data.begin(), data.end(), uint8_t{0});
        std::string name(data.begin(), zero);
        std::string password;
        if (zero != data.end()) {
            auto end = std::find(zero + 1, data.end(), uint8_t{0});
            password.assign(zero + 1, end);
        }
        Status s = LoginUser(name, password, false);
        result = s.Ok() ? 1 : 0;
        return Granted(s, out);
    });
}

Status Session::GetCustomizedLoginInformation(int kind, std::string& out) const {
    return Locked(Need::kConnection, 0, [&]() -> Status {
        int ut = device_.state_.identity.userAuthType;
        if (ut != 3 && ut != 8 && ut != 9) {
            return Fail(err::kUnsupported);
        }
        out = device_.state_.identity.customizedLoginInfo;
        if (kind != 0) {
            out += ";kind=" + std::to_string(kind);
        }
        return {};
    });
}

Status Session::GetUserInfo4CurrentUser(CurrentUserInfo& out) const {
    return Locked(Need::kConnection, 0, [&]() -> Status {
        if (!user_) {
            return Fail(err::kNoSession);
        }
        out = CurrentUserInfo{};
        out.user = *user_;
        out.role = static_cast<int>(role_);
        auto it = device_.state_.users.find(*user_);
        if (it != device_.state_.users.end()) {
            out.server = it->second.authServer;
            out.account = it->second.accountName;
            out.accountSync = it->second.accountSync;
        }
        if (account_ && !account_->empty()) {
            out.account = *account_;
        }
        return {};
    });
}

Status Session::GetAccountName4CurrentUser(std::string& out) const {
    CurrentUserInfo info;
    Status s = GetUserInfo4CurrentUser(info);
    if (s.Ok()) {
        out = info.account.substr(0, 8);
    }
    return s;
}

Status Session::GetAuthServerList(std::vector<std::string>& out) const {
    return Locked(Need::kConnection, 0, [&] { out = Id().authServers; });
}

Status Session::SetAuthServerInfo(int index, const std::string& name, const std::string& second) {
    return Locked(Need::kConnection, 0, [&]() -> Status {
        std::vector<std::string>& servers = device_.state_.identity.authServers;
        if (index < 0 || index > static_cast<int>(servers.size()) || name.empty() ||
            name.size() > 32) {
            return Fail(err::kBadRequest);
        }
        (void)second;  // a second server field the emulator does not keep
        if (index == static_cast<int>(servers.size())) {
            servers.push_back(name);
        } else {
            servers[static_cast<size_t>(index)] = name;
        }
        return device_.store_.SaveIdentity(device_.state_.identity) ? Status{}
                                                                    : Fail(err::kStorage);
    });
}

Status Session::InquireSimpleAuthenticationEnable(int& out) const {
    return Locked(Need::kConnection, 0, [&] { out = Id().simpleAuth; });
}

Status Session::SetSimpleAuthentication(int value) {
    return Locked(Need::kLogin, 0, [&]() -> Status {
        if (value != 0 && value != 1) {
            return Fail(err::kBadRequest);
        }
        device_.state_.identity.simpleAuth = value;
        return device_.store_.SaveIdentity(device_.state_.identity) ? Status{}
                                                                    : Fail(err::kStorage);
    });
}

Status Session::InquireEnhancedSecurityMode(int& out) const {
    return Locked(Need::kConnection, 49, [&] { out = Id().enhancedSecurity; });
}

Status Session::IsTrimUserNameInCaseOfLDAPServer(int& out) const {
    return Locked(Need::kConnection, 0, [&] { out = Id().trimLdapUserName; });
}

Status Session::InquireSupportOfSettingUserName(int& out) const {
    return Locked(Need::kConnection, 0, [&] { out = Id().publicUserNameSupport; });
}

Status Session::SetUserNameDuringPublicLogin(const std::string& name) {
    return Locked(Need::kConnection, 0, [&]() -> Status {
        if (!device_.state_.identity.publicUserNameSupport) {
            return Fail(err::kUnsupported);
        }
        if (name.size() > kMaxUserName) {
            return Fail(err::kBadRequest);
        }
        publicUserName_ = name;
        return {};
    });
}

Status Session::GetBoxAdminSupport(int& out) const {
    return Locked(Need::kConnection, 0, [&] { out = Id().boxAdminSupport; });
}

// ---------------------------------------------------------------- inquiries

Status Session::GetHDDCount(int& out) const {
    return Locked(Need::kConnection, 34, [&] { out = Id().hddCount; });
}

Status Session::InquireSecuritySettingOfRXData(int& out) const {
    return Locked(Need::kConnection, 43,
                  [&] { out = IsBoxAdmin() ? 2 : (Id().rxSecured ? 1 : 0); });
}

Status Session::GetBoxControlPermission(int& create, int& edit, int& remove) const {
    return Locked(Need::kConnection, 32, [&] {
        create = Id().boxCreate;
        edit = Id().boxEdit;
        remove = Id().boxDelete;
    });
}

Status Session::GetAutoDelTimePermission(int& out) const {
    return Locked(Need::kConnection, 31, [&] { out = Id().autoDelTimePermission; });
}

Status Session::GetMono2ColorDocPolicy(int& out) const {
    return Locked(Need::kConnection, 32, [&] { out = Id().mono2ColorPolicy; });
}

Status Session::IsIOption(int& out) const {
    return Locked(Need::kConnection, 0, [&] { out = Id().ioption; });
}

Status Session::GetSearchablePDFSupportInfo(int& supported, std::vector<int>& languages) const {
    return Locked(Need::kConnection, 33, [&] {
        supported = Id().searchablePdf;
        languages = Id().languages;
    });
}

Status Session::GetExtendedFormatSupportInfo(int& searchablePdf, int& office,
                                             std::vector<int>& languages) const {
    return Locked(Need::kConnection, 40, [&] {
        searchablePdf = Id().searchablePdf;
        office = Id().officeSupport;
        languages = Id().languages;
    });
}

Status Session::GetExtendedFormatSupportInfo2(int& pdfA, int& linearized) const {
    return Locked(Need::kConnection, 40, [&] {
        pdfA = Id().pdfA;
        linearized = Id().linearizedPdf;
    });
}

Status Session::GetOptionalFunction(int64_t& out) const {
    return Locked(Need::kConnection, 44, [&] { out = Id().supportedFileFormat; });
}

// ---------------------------------------------------------------- boxes

Status Session::CheckOwner(const Box& box) const {
    if (IsBoxAdmin() || box.kind == BoxKind::kMemoryRx || box.type == 0) {
        return {};
    }
    const Identity& id = device_.state_.identity;
    if (box.type == 2) {
        if (id.accountAuthType == 0 || id.accountAuthType == 4) {
            return {};
        }
        return account_ && EqualsNoCase(*account_, box.owner)
                   ? Status{}
                   : Fail(err::kForbidden, err::kDetailNotOwner);
    }
    if (id.userAuthType == 0) {
        return {};
    }
    return user_ && EqualsNoCase(*user_, box.owner) ? Status{}
                                                    : Fail(err::kForbidden, err::kDetailNotOwner);
}

Status Session::CheckBoxPassword(const Box& box, const std::string& password, int& refused) const {
    if (IsBoxAdmin() || box.password.empty()) {
        return {};
    }
    if (password.empty()) {
        refused = 1;
        return Fail(err::kBoxPasswordMissing);
    }
    if (password != box.password) {
        refused = 1;
        return Fail(err::kBoxPasswordWrong);
    }
    return {};
}

bool Session::BoxUsedByOthers(int number) const {
    auto it = device_.boxLogins_.find(number);
    int n = it == device_.boxLogins_.end() ? 0 : it->second;
    if (box_ && *box_ == number) {
        --n;
    }
    return n > 0;
}

void Session::PurgeExpired(int boxNumber) {
    DeviceState& st = device_.state_;
    auto bit = st.boxes.find(boxNumber);
    if (bit == st.boxes.end()) {
        return;
    }
    const Box& b = bit->second;
    if (b.autoDelTime <= 0 || b.autoDelTime >= 255) {
        return;
    }
    int64_t limit = b.autoDelTimeType == 2
                        ? static_cast<int64_t>(b.autoDelTime) * 3600 + b.autoDelTimeMinute * 60
                        : static_cast<int64_t>(b.autoDelTime) * 86400;
    if (limit <= 0) {
        return;
    }
    std::time_t now = device_.Now();
    for (auto it = st.documents.begin(); it != st.documents.end();) {
        const Document& d = it->second;
        auto t = ParseEntryDate(d.entryDate);
        if (d.box == boxNumber && t && now - *t > limit && !device_.openDocuments_.count(d.id) &&
            device_.store_.RemoveDocument(d)) {
            it = st.documents.erase(it);
        } else {
            ++it;
        }
    }
}

bool Session::ValidSettings(const BoxSettings& s, bool forCreate) const {
    (void)forCreate;
    if (s.name.empty() || s.name.size() > kMaxBoxName || s.owner.size() > kMaxUserName) {
        return false;
    }
    if (s.type < 0 || s.type > 9 || s.autoDelTime < 0 || s.autoDelTime > 255 ||
        s.autoDelTimeMinute < 0 || s.autoDelTimeMinute > 59) {
        return false;
    }
    return true;
}

Status Session::GetBoxList(std::vector<Box>& out) {
    return Locked(Need::kLogin, 0, [&]() -> Status {
        out.clear();
        for (const auto& [n, b] : device_.state_.boxes) {
            if (b.kind == BoxKind::kUser) {
                out.push_back(b);
            }
        }
        return {};
    });
}

Status Session::GetFilingNumberBoxList(std::vector<Box>& out) {
    return Locked(Need::kLogin, 34, [&]() -> Status {
        if (device_.state_.identity.hddCount == 0) {
            return Fail(err::kUnsupported);
        }
        out.clear();
        for (const auto& [n, b] : device_.state_.boxes) {
            if (b.kind == BoxKind::kFiling) {
                out.push_back(b);
            }
        }
        return {};
    });
}

Status Session::CreateBox(const BoxSettings& settings, const std::string& password, int& number) {
    number = -1;
    return Locked(Need::kLogin, 0, [&]() -> Status {
        DeviceState& st = device_.state_;
        if (!st.identity.boxCreate) {
            return Fail(err::kForbidden, err::kDetailPermission);
        }
        if (!ValidSettings(settings, true)) {
            return Fail(err::kBoxCreateRefused, 1);
        }
        for (const auto& [n, b] : st.boxes) {
            if (b.name == settings.name) {
                return Fail(err::kBoxCreateRefused, 2);
            }
        }
        int free = -1;
        for (int n = 1; n <= st.identity.maxBoxNumber; ++n) {
            if (!st.boxes.count(n)) {
                free = n;
                break;
            }
        }
        if (free < 0) {
            return Fail(err::kBoxCreateRefused, 3);
        }
        Box b;
        b.number = free;
        b.kind = BoxKind::kUser;
        b.name = settings.name;
        b.owner = settings.owner;
        if (b.owner.empty() && settings.type != 0) {
            b.owner = settings.type == 2 ? account_.value_or("") : user_.value_or("");
        }
        b.password = password;
        b.type = settings.type;
        b.entryDate = device_.NowText();
        b.searchChar = settings.searchChar;
        b.main = settings.main;
        b.autoDelTime = settings.autoDelTime;
        b.autoDelTimeType = settings.autoDelTimeType;
        b.autoDelTimeMinute = settings.autoDelTimeMinute;
        b.valueA = settings.valueA;
        b.valueB = settings.valueB;
        b.valueC = settings.valueC;
        b.valueD = settings.valueD;
        b.textA = settings.textA;
        b.textB = settings.textB;
        if (!device_.store_.SaveBox(b)) {
            device_.store_.RemoveBox(b.number);
            return Fail(err::kStorage);
        }
        st.boxes[b.number] = b;
        number = b.number;
        return {};
    });
}

Status Session::ManagedBox(int number, bool permitted, Box*& out) {
    auto it = device_.state_.boxes.find(number);
    if (it == device_.state_.boxes.end()) {
        return Fail(err::kBoxNotFound);
    }
    if (it->second.kind == BoxKind::kMemoryRx) {
        return Fail(err::kForbidden, err::kDetailMemoryRx);
    }
    if (!permitted) {
        return Fail(err::kForbidden, err::kDetailPermission);
    }
    if (Status s = CheckOwner(it->second); !s.Ok()) {
        return s;
    }
    out = &it->second;
    return {};
}

Status Session::EditBox(int number, const std::string& password, int& refused,
                        const std::function<Status(Box&)>& edit) {
    refused = 0;
    return Locked(Need::kLogin, 0, [&]() -> Status {
        Box* found = nullptr;
        if (Status s = ManagedBox(number, Id().boxEdit, found); !s.Ok()) {
            return s;
        }
        Box& box = *found;
        if (BoxUsedByOthers(number)) {
            return Fail(err::kBusy);
        }
        if (Status s = CheckBoxPassword(box, password, refused); !s.Ok()) {
            return s;
        }
        Box changed = box;
        if (Status s = edit(changed); !s.Ok()) {
            return s;
        }
        if (!device_.store_.SaveBox(changed)) {
            return Fail(err::kStorage);
        }
        box = changed;
        return {};
    });
}

bool Session::BoxNameTaken(const std::string& name, int except) const {
    const auto& boxes = device_.state_.boxes;
    return std::any_of(boxes.begin(), boxes.end(),
                       [&](const auto& b) { return b.first != except && b.second.name == name; });
}

Status Session::RenameBox(int number, const std::string& name, const std::string& password,
                          int& refused) {
    return EditBox(number, password, refused, [&](Box& changed) -> Status {
        if (name.empty() || name.size() > kMaxBoxName) {
            return Fail(err::kBadRequest);
        }
        if (BoxNameTaken(name, number)) {
            return Fail(err::kBoxNameInUse);
        }
        changed.name = name;
        return {};
    });
}

Status Session::RemoveBox(int number, const std::string& password, int& refused) {
    refused = 0;
    return Locked(Need::kLogin, 0, [&]() -> Status {
        DeviceState& st = device_.state_;
        Box* found = nullptr;
        if (Status s = ManagedBox(number, Id().boxDelete, found); !s.Ok()) {
            return s;
        }
        const Box& box = *found;
        if (device_.boxLogins_.count(number)) {
            return Fail(err::kBusy);
        }
        if (Status s = CheckBoxPassword(box, password, refused); !s.Ok()) {
            return s;
        }
        for (const auto& [id, d] : st.documents) {
            if (d.box == number && device_.openDocuments_.count(id)) {
                return Fail(err::kBusy);
            }
        }
        if (!device_.store_.RemoveBox(number)) {
            return Fail(err::kStorage);
        }
        for (auto d = st.documents.begin(); d != st.documents.end();) {
            d = d->second.box == number ? st.documents.erase(d) : std::next(d);
        }
        st.boxes.erase(number);
        return {};
    });
}

Status Session::ChangeBoxSetting(int number, int mask, const BoxSettings& s,
                                 const std::string& oldPassword, const std::string& newPassword,
                                 int& refused) {
    return EditBox(number, oldPassword, refused, [&](Box& changed) -> Status {
        const DeviceState& st = device_.state_;
        if (mask & kChangeName) {
            if (s.name.empty() || s.name.size() > kMaxBoxName || BoxNameTaken(s.name, number)) {
                return Fail(err::kBoxSettingRefused, kChangeName);
            }
            changed.name = s.name;
        }
        if (mask & kChangePassword) {
            changed.password = newPassword;
        }
        if (mask & kChangeType) {
            if (s.type < 0 || s.type > 9) {
                return Fail(err::kBoxSettingRefused, kChangeType);
            }
            changed.type = s.type;
        }
        changed.valueB = s.valueB;
        if (mask & kChangeOwner) {
            const Identity& id = st.identity;
            if (s.valueB == 1) {
                bool known = st.users.count(s.owner) || id.userAuthType == 0 || s.owner.empty();
                if (!known || s.owner.size() > kMaxUserName) {
                    return Fail(err::kBoxOwnerRefused);
                }
                changed.owner = s.owner;
                changed.valueA = s.valueA;
                if (s.valueA == 2) {
                    changed.textB = s.textB;
                }
            } else if (s.valueB == 2) {
                bool known = st.accounts.count(s.owner) || id.accountAuthType == 0 ||
                             id.accountAuthType == 4;
                if (!known) {
                    return Fail(err::kBoxOwnerRefused);
                }
                changed.owner = s.owner;
            } else if (s.valueB != 0) {
                return Fail(err::kBoxOwnerRefused);
            }
        }
        if (mask & kChangeIndex) {
            if ((s.autoDelTimeType != 1 && s.autoDelTimeType != 2) || s.autoDelTimeMinute < 0 ||
                s.autoDelTimeMinute > 59) {
                return Fail(err::kBoxSettingRefused, kChangeIndex);
            }
            changed.searchChar = s.searchChar;
            changed.main = s.main;
            changed.autoDelTimeType = s.autoDelTimeType;
            changed.autoDelTimeMinute = s.autoDelTimeMinute;
        }
        if (mask & kChangeAutoDelete) {
            if (!st.identity.autoDelTimePermission || s.autoDelTime < 0 || s.autoDelTime > 255) {
                return Fail(err::kBoxSettingRefused, kChangeAutoDelete);
            }
            changed.autoDelTime = s.autoDelTime;
        }
        if (mask & kChangeTextA) {
            changed.textA = s.textA;
        }
        return {};
    });
}

Status Session::BoxLogin(int number, const std::string& password, int& refused) {
    refused = 0;
    return Locked(Need::kLogin, 0, [&]() -> Status {
        auto it = device_.state_.boxes.find(number);
        if (it == device_.state_.boxes.end()) {
            return Fail(err::kBoxNotFound);
        }
        if (Status s = CheckOwner(it->second); !s.Ok()) {
            return s;
        }
        if (Status s = CheckBoxPassword(it->second, password, refused); !s.Ok()) {
            return s;
        }
        ReleaseBox();
        box_ = number;
        ++device_.boxLogins_[number];
        return {};
    });
}

Status Session::BoxLogout() {
    return Locked(Need::kConnection, 0, [&]() -> Status {
        if (!box_) {
            return Fail(err::kBoxNotLoggedIn);
        }
        ReleaseBox();
        return {};
    });
}

// ---------------------------------------------------------------- documents

namespace {

Document* FindInBox(DeviceState& st, int id, int box) {
    auto it = st.documents.find(id);
    return it != st.documents.end() && it->second.box == box ? &it->second : nullptr;
}

int CountInBox(const DeviceState& st, int box) {
    return static_cast<int>(std::count_if(st.documents.begin(), st.documents.end(),
                                          [&](const auto& p) { return p.second.box == box; }));
}

}  // namespace

Status Session::GetDocumentList(std::vector<Document>& out) {
    return Locked(Need::kBox, 0, [&]() -> Status {
        PurgeExpired(*box_);
        out.clear();
        for (const auto& [id, d] : device_.state_.documents) {
            if (d.box == *box_) {
                out.push_back(d);
            }
        }
        return {};
    });
}

Status Session::Transferable(int id, int destBox, Document*& doc) {
    DeviceState& st = device_.state_;
    doc = FindInBox(st, id, *box_);
    if (!doc) {
        return Fail(err::kDocNotFound);
    }
    auto dest = st.boxes.find(destBox);
    if (dest == st.boxes.end()) {
        return Fail(err::kBoxNotFound);
    }
    if (dest->second.kind == BoxKind::kMemoryRx) {
        return Fail(err::kForbidden, err::kDetailMemoryRx);
    }
    return {};
}

Status Session::CopyDocument(int id, int destBox, int& newId) {
    newId = -1;
    return Locked(Need::kBox, 0, [&]() -> Status {
        DeviceState& st = device_.state_;
        Document* doc = nullptr;
        if (Status s = Transferable(id, destBox, doc); !s.Ok()) {
            return s;
        }
        if (CountInBox(st, destBox) >= st.identity.maxDocumentsPerBox) {
            return Fail(err::kBoxFull);
        }
        Document copy = *doc;
        copy.id = st.nextDocumentId;
        copy.box = destBox;
        ++st.nextDocumentId;
        // The counter is stored first, so an id is never handed out twice after a crash.
        if (!device_.store_.SaveCounters(st) || !device_.store_.CopyDocument(*doc, copy)) {
            return Fail(err::kStorage);
        }
        st.documents[copy.id] = copy;
        newId = copy.id;
        return {};
    });
}

Status Session::MoveDocument(int id, int destBox) {
    return Locked(Need::kBox, 0, [&]() -> Status {
        DeviceState& st = device_.state_;
        Document* doc = nullptr;
        if (Status s = Transferable(id, destBox, doc); !s.Ok()) {
            return s;
        }
        if (destBox == doc->box) {
            return {};
        }
        bool openByOthers = device_.openDocuments_.count(id) &&
                            !(openDocId_ == id && device_.openDocuments_[id] == 1);
        if (openByOthers) {
            return Fail(err::kBusy);
        }
        if (CountInBox(st, destBox) >= st.identity.maxDocumentsPerBox) {
            return Fail(err::kBoxFull);
        }
        Document moved = *doc;
        moved.box = destBox;
        if (!device_.store_.MoveDocument(moved, doc->box)) {
            return Fail(err::kStorage);
        }
        *doc = moved;
        if (printDoc_ == id) {
            printDoc_.reset();
        }
        return {};
    });
}

Status Session::RemoveInBox(int id, int level,
                            const std::function<Status(const Box& rx)>& secured) {
    return Locked(Need::kBox, level, [&]() -> Status {
        DeviceState& st = device_.state_;
        Document* doc = FindInBox(st, id, *box_);
        if (!doc) {
            return Fail(err::kDocNotFound);
        }
        auto bit = st.boxes.find(*box_);
        bool rx = bit != st.boxes.end() && bit->second.kind == BoxKind::kMemoryRx;
        if (rx && st.identity.rxSecured && !IsBoxAdmin()) {
            if (Status s = secured(bit->second); !s.Ok()) {
                return s;
            }
        }
        if (device_.openDocuments_.count(id)) {
            return Fail(err::kBusy);
        }
        if (!device_.store_.RemoveDocument(*doc)) {
            return Fail(err::kStorage);
        }
        st.documents.erase(id);
        if (printDoc_ == id) {
            printDoc_.reset();
        }
        return {};
    });
}

Status Session::RemoveDocument(int id) {
    // Secured received documents go only through the form with the password.
    return RemoveInBox(id, 0, [&](const Box&) {
        return ProtocolLocked() >= 43 ? Fail(err::kBoxPasswordMissing) : Status{};
    });
}

Status Session::RemoveDocument2(int id, const std::string& password, int& refused) {
    refused = 0;
    return RemoveInBox(id, 43, [&](const Box& rx) -> Status {
        if (password.empty() && !rx.password.empty()) {
            refused = 1;
            return Fail(err::kBoxPasswordMissing);
        }
        if (password != rx.password) {
            refused = 1;
            return Fail(err::kBoxPasswordWrong);
        }
        return {};
    });
}

Status Session::RenameDocument(int id, const std::string& name) {
    return Locked(Need::kBox, 0, [&]() -> Status {
        Document* doc = FindInBox(device_.state_, id, *box_);
        if (!doc) {
            return Fail(err::kDocNotFound);
        }
        if (name.empty() || name.size() > kMaxDocumentName ||
            name.find('\0') != std::string::npos) {
            return Fail(err::kBadRequest);
        }
        Document changed = *doc;
        changed.name = name;
        if (!device_.store_.SaveDocument(changed)) {
            return Fail(err::kStorage);
        }
        *doc = changed;
        return {};
    });
}

Status Session::LoadStored(int id, StoredDocument& out) {
    Document* doc = FindInBox(device_.state_, id, *box_);
    if (!doc) {
        return Fail(err::kDocNotFound);
    }
    out.doc = *doc;
    out.pages.clear();
    for (int p = 1; p <= doc->pages; ++p) {
        auto bytes = device_.store_.ReadContent(*doc, Store::PageFileName(*doc, p));
        if (!bytes) {
            return Fail(err::kStorage);
        }
        out.pages.push_back(std::move(*bytes));
    }
    out.office = device_.store_.ReadContent(*doc, "content.bin");
    return {};
}

Status Session::OpenRendered(int id, const RenderRequest& request, int64_t& size) {
    StoredDocument stored;
    Status opened = Locked(Need::kBox, 0, [&]() -> Status {
        ReleaseDocument();
        const Document* doc = FindInBox(device_.state_, id, *box_);
        if (doc && doc->syntheticSize > 0) {
            // Generated while it streams: nothing to load or render.
            ++device_.openDocuments_[id];
            openDocId_ = id;
            docSynthetic_ = doc->syntheticSize;
            docPos_ = 0;
            docOpen_ = true;
            size = docSynthetic_;
            return {};
        }
        if (Status s = LoadStored(id, stored); !s.Ok()) {
            return s;
        }
        ++device_.openDocuments_[id];
        openDocId_ = id;
        return {};
    });
    if (!opened.Ok() || docSynthetic_ >= 0) {
        return opened;
    }
    // Rendering may take a while: the device stays available to other sessions.
    RenderRequest r = request;
    r.grey = r.grey || restrictions_[kColourRestriction] == 1;
    std::vector<uint8_t> data;
    int e = Render(stored, r, data);
    std::lock_guard lk(device_.mu_);
    if (e != 0) {
        ReleaseDocument();
        return Fail(e);
    }
    docData_ = std::move(data);
    docPos_ = 0;
    docOpen_ = true;
    size = static_cast<int64_t>(docData_.size());
    return {};
}

Status Session::OpenDocument(int id, int page, int outputType, int64_t& size) {
    RenderRequest r;
    r.output = outputType;
    r.page = page;
    return OpenRendered(id, r, size);
}

Status Session::OpenDocument(int id, const OpenDocumentParams& params, int64_t& size) {
    if (Status s = Locked(Need::kNothing, 32, [] {}); !s.Ok()) {
        return s;
    }
    RenderRequest r;
    r.output = params.outputType;
    r.page = params.page;
    r.grey = params.colour == kColourGrey;
    r.resolution = params.resolution > 0 && params.resolution < 10000 ? params.resolution : 0;
    return OpenRendered(id, r, size);
}

Status Session::OpenDocumentWithBind(const std::vector<int>& ids, int bindFormat, int64_t& size) {
    std::vector<StoredDocument> docs;
    Status opened = Locked(Need::kBox, 0, [&]() -> Status {
        ReleaseDocument();
        if (ids.empty() || ids.size() > 1000) {
            return Fail(err::kBadRequest);
        }
        for (int id : ids) {
            StoredDocument d;
            if (Status s = LoadStored(id, d); !s.Ok()) {
                return s;
            }
            docs.push_back(std::move(d));
        }
        for (int id : ids) {
            ++device_.openDocuments_[id];
            openBound_.push_back(id);
        }
        return {};
    });
    if (!opened.Ok()) {
        return opened;
    }
    std::vector<uint8_t> data;
    int e = RenderBound(docs, bindFormat, restrictions_[kColourRestriction] == 1, data);
    std::lock_guard lk(device_.mu_);
    if (e != 0) {
        ReleaseDocument();
        return Fail(e);
    }
    docData_ = std::move(data);
    docPos_ = 0;
    docOpen_ = true;
    size = static_cast<int64_t>(docData_.size());
    return {};
}

Status Session::ReadDocument(size_t max, std::vector<uint8_t>& chunk) {
    const uint8_t* data = nullptr;
    size_t n = 0;
    Status s = DocumentSlice(max, data, n);
    chunk.assign(data, data + n);
    return s;
}

Status Session::DocumentSlice(size_t max, const uint8_t*& data, size_t& n) {
    data = nullptr;
    n = 0;
    if (!docOpen_) {
        return Fail(err::kNotOpen);
    }
    const int64_t size = docSynthetic_ >= 0 ? docSynthetic_ : static_cast<int64_t>(docData_.size());
    n = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(std::min(max, kSyntheticSliceMax)), size - docPos_));
    data = docSynthetic_ >= 0 ? SyntheticSlice(docPos_, n)
                              : docData_.data() + static_cast<size_t>(docPos_);
    docPos_ += static_cast<int64_t>(n);
    return {};
}

Status Session::CloseDocument(int abort) {
    (void)abort;  // the device keeps nothing of a read, complete or not
    std::lock_guard lk(device_.mu_);
    if (!docOpen_) {
        return Fail(err::kNotOpen);
    }
    ReleaseDocument();
    return {};
}

// ---------------------------------------------------------------- thumbnails

Status Session::OpenThumbnail(int id, int kind, int format, int64_t& size) {
    (void)kind;
    std::vector<uint8_t> data;
    Status opened = Locked(Need::kBox, 30, [&]() -> Status {
        Document* doc = FindInBox(device_.state_, id, *box_);
        if (!doc) {
            return Fail(err::kDocNotFound);
        }
        if (doc->encrypted) {
            return Fail(err::kForbidden, err::kDetailEncrypted);
        }
        const std::string file = format == 1 ? "thumb.raw" : "thumb.jpg";
        auto stored = device_.store_.ReadContent(*doc, file);
        if (!stored) {
            // Made from the first page when missing, and kept.
            auto page = device_.store_.ReadContent(*doc, Store::PageFileName(*doc, 1));
            img::Image im;
            bool ok = false;
            if (page) {
                if (doc->TiffPages()) {
                    std::vector<img::Image> pages;
                    ok = img::DecodeTiff(*page, pages) && !pages.empty();
                    if (ok) {
                        im = std::move(pages.front());
                    }
                } else {
                    ok = img::DecodeJpeg(*page, im);
                }
            }
            if (!ok) {
                return Fail(err::kStorage);
            }
            stored = format == 1 ? img::RawThumbnail(im) : img::JpegThumbnail(im);
            device_.store_.WriteContent(*doc, file, *stored);
        }
        data = std::move(*stored);
        return {};
    });
    if (!opened.Ok()) {
        return opened;
    }
    size = static_cast<int64_t>(data.size());
    switch (thumbFault_) {
        case ThumbnailFault::kNone:
            break;
        case ThumbnailFault::kTruncate:
            data.resize(std::min<size_t>(data.size(), thumbFaultBytes_ > 0
                                                          ? static_cast<size_t>(thumbFaultBytes_)
                                                          : data.size() / 2));
            break;
        case ThumbnailFault::kOversize:
            data.resize(
                data.size() + (thumbFaultBytes_ > 0 ? static_cast<size_t>(thumbFaultBytes_) : 4096),
                0x5a);
            break;
        case ThumbnailFault::kAbsurdSize:
            size = thumbFaultBytes_ != 0 ? thumbFaultBytes_ : 0x7fffffff;
            break;
    }
    thumbData_ = std::move(data);
    thumbPos_ = 0;
    thumbOpen_ = true;
    return {};
}

Status Session::ReadThumbnail(size_t max, std::vector<uint8_t>& chunk) {
    chunk.clear();
    if (!thumbOpen_) {
        return Fail(err::kNotOpen);
    }
    size_t n = std::min(max, thumbData_.size() - thumbPos_);
    chunk.assign(thumbData_.begin() + static_cast<std::ptrdiff_t>(thumbPos_),
                 thumbData_.begin() + static_cast<std::ptrdiff_t>(thumbPos_ + n));
    thumbPos_ += n;
    return {};
}

Status Session::CloseThumbnail() {
    if (!thumbOpen_) {
        return Fail(err::kNotOpen);
    }
    thumbOpen_ = false;
    thumbData_.clear();
    thumbPos_ = 0;
    return {};
}

// ---------------------------------------------------------------- print

Status Session::SetDocument(int id) {
    return Locked(Need::kBox, 0, [&]() -> Status {
        if (!FindInBox(device_.state_, id, *box_)) {
            return Fail(err::kDocNotFound);
        }
        printDoc_ = id;
        return {};
    });
}

Status Session::GetEffectivePrintSettings(PrintSettings& out) const {
    return Locked(Need::kLogin, 0, [&] { out = PrintSettings{}; });
}

Status Session::GetCurrentSetDocumentPrintSettings(PrintSettings& out) const {
    return Locked(Need::kBox, 0, [&]() -> Status {
        if (!printDoc_) {
            return Fail(err::kNotOpen);
        }
        auto it = device_.state_.documents.find(*printDoc_);
        if (it == device_.state_.documents.end()) {
            return Fail(err::kDocNotFound);
        }
        out = PrintSettings{};
        out.colour = it->second.colorType <= 1 ? 1 : 2;
        out.endPage = it->second.pages;
        out.paperSize = it->second.paperSize;
        return {};
    });
}

Status Session::PrintDocument(const PrintSettings& settings, const std::vector<uint8_t>& raw,
                              int& jobId) {
    jobId = -1;
    return Locked(Need::kBox, 0, [&]() -> Status {
        if (!printDoc_) {
            return Fail(err::kNotOpen);
        }
        DeviceState& st = device_.state_;
        auto it = st.documents.find(*printDoc_);
        if (it == st.documents.end()) {
            return Fail(err::kDocNotFound);
        }
        const Document& doc = it->second;
        if (restrictions_[1] == 1) {
            return Fail(err::kForbidden, err::kDetailRestricted);
        }
        bool colourDoc = doc.colorType >= 2;
        if (colourDoc && settings.colour != 1 && (restrictions_[7] == 1 || restrictions_[6] == 1)) {
            return Fail(err::kForbidden, err::kDetailRestricted);
        }
        if (!colourDoc && settings.colour == 1 && restrictions_[8] == 1) {
            return Fail(err::kForbidden, err::kDetailRestricted);
        }
        int last = settings.endPage == 0 ? doc.pages : settings.endPage;
        if (settings.copies < 1 || settings.copies > 999 || settings.startPage < 1 ||
            last < settings.startPage || last > doc.pages) {
            return Fail(err::kBadRequest);
        }
        PrintJob job;
        job.id = st.nextJobId++;
        job.document = doc.id;
        job.box = doc.box;
        job.user = user_.value_or(publicUserName_);
        job.documentName = doc.name;
        job.time = device_.NowText();
        job.copies = settings.copies;
        job.colour = settings.colour;
        job.duplex = settings.duplex;
        job.startPage = settings.startPage;
        job.endPage = last;
        job.settings = raw;
        if (!device_.store_.SaveCounters(st) || !device_.store_.SaveJob(job)) {
            return Fail(err::kStorage);
        }
        st.jobs.push_back(job);
        jobId = job.id;
        return {};
    });
}

}  // namespace mfpsim
