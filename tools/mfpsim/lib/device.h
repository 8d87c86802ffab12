// The emulated device: its state (loaded from and persisted to a folder) and the
// per-client sessions that operate on it. Wire-independent: the protocol handler turns
// request frames into these calls and their results into reply frames.
#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/mfpsim/lib/errors.h"
#include "tools/mfpsim/lib/model.h"
#include "tools/mfpsim/lib/render.h"
#include "tools/mfpsim/lib/store.h"

namespace mfpsim {

// Identity values that override the folder's for one run (not persisted).
struct IdentityOverrides {
    std::optional<std::string> identifier;
    std::optional<int> major;
    std::optional<int> minor;
    std::optional<int> model;  // builds the identifier when none is given
};

class Device {
public:
    // Opens the device in `root`; an empty or missing folder first receives the sample
    // device. Returns null and sets `error` when the folder cannot be used.
    static std::unique_ptr<Device> Open(const std::filesystem::path& root,
                                        const IdentityOverrides& overrides, std::string& error);

    Identity GetIdentity() const;
    int Protocol() const;  // ProtocolLevel of the reported version
    DeviceState Snapshot() const;
    const Store& GetStore() const { return store_; }

    // Adds a document of synthetic A4 pages at `dpi` to a box (benchmarks and demos
    // that need more or larger documents than the sample). Returns its id, or -1 with
    // `error` set.
    int AddSyntheticDocument(int box, const std::string& name, int fileType, int pages,
                             int colorType, int dpi, std::string& error);

    // The clock used for entry dates, print job times and automatic deletion.
    void SetClock(std::function<std::time_t()> clock);
    std::time_t Now() const;
    std::string NowText() const;

private:
    friend class Session;
    explicit Device(const std::filesystem::path& root) : store_(root) {}

    mutable std::mutex mu_;
    DeviceState state_;
    Store store_;
    std::function<std::time_t()> clock_;
    std::map<int, int> boxLogins_;      // box number -> sessions logged in
    std::map<int, int> openDocuments_;  // document id -> sessions reading it
};

// Fields a client sends to create a box, or to change one.
struct BoxSettings {
    std::string name;
    std::string owner;
    int type = 0;
    int searchChar = 0;
    int main = 0;
    int autoDelTime = 255;
    int autoDelTimeType = 1;
    int autoDelTimeMinute = 0;
    int valueA = 0;
    int valueB = 0;
    int valueC = 0;
    int valueD = 0;
    std::string textA;
    std::string textB;
};

// Change mask bits of a box setting change.
enum BoxChangeBits : int {
    kChangeName = 0x01,
    kChangePassword = 0x02,
    kChangeType = 0x04,
    kChangeOwner = 0x08,
    kChangeIndex = 0x10,
    kChangeAutoDelete = 0x20,
    kChangeTextA = 0x40,
};

struct OpenDocumentParams {
    int page = 0;
    int outputType = kOutJpeg;
    int colour = 5;
    int resolution = 0;
    std::array<int, 4> outlinePdf{};
    std::array<int, 2> extendedPdf{};
    std::array<int, 5> officeXml{};
    int printMode = 0;
};

// The print settings a device reports and accepts. The raw record as received is kept
// with each job.
struct PrintSettings {
    int copies = 1;
    int colour = 0;  // 0 auto, 1 black, 2 full colour
    int duplex = 0;
    int paperSize = 0;
    int startPage = 1;
    int endPage = 0;  // 0: last page
    int staple = 0;
    int punch = 0;
    int collate = 1;
};

struct CurrentUserInfo {
    std::string user;
    std::string server;
    std::string account;
    int accountSync = 0;
    int role = 0;
};

// One client's session. Not thread-safe itself (one connection drives it); the device
// it works on is shared and locked inside.
class Session {
public:
    explicit Session(Device& device);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Device& GetDevice() { return device_; }

    // --- session
    Status GetDeviceInfo(Identity& out) const;
    // `clientProtocol` is the protocol number the client speaks (0: the device's own);
    // the session follows the lower of it and the device's. A non-empty `unitName` must
    // name this device's unit.
    Status Connect(int clientProtocol, const std::string& unitName, int& userAuthType,
                   int& accountAuthType, int& publicSupport);
    Status Disconnect();
    bool Connected() const { return connected_; }
    // The protocol number this session follows.
    int Protocol() const;
    bool IsBoxAdministrator() const { return IsBoxAdmin(); }

    // --- login
    Status UserLogin(const std::string& name, const std::string& password, int& colourForbidden);
    Status UserLogin2(const std::string& name, const std::string& password, Restrictions& out);
    Status VendorLogin(const std::string& name, const std::string& password, Restrictions& out);
    Status AccountLogin(const std::string& name, const std::string& password, int& colourForbidden);
    Status AccountLogin2(const std::string& name, const std::string& password, Restrictions& out);
    // `data` holds "name", a zero byte and "password".
    Status CustomizedLogin(const std::vector<uint8_t>& data, int& result, Restrictions& out);
    Status GetCustomizedLoginInformation(int kind, std::string& out) const;
    Status GetUserInfo4CurrentUser(CurrentUserInfo& out) const;
    Status GetAccountName4CurrentUser(std::string& out) const;
    Status GetAuthServerList(std::vector<std::string>& out) const;
    Status SetAuthServerInfo(int index, const std::string& name, const std::string& second);
    Status InquireSimpleAuthenticationEnable(int& out) const;
    Status SetSimpleAuthentication(int value);
    Status InquireEnhancedSecurityMode(int& out) const;
    Status IsTrimUserNameInCaseOfLDAPServer(int& out) const;
    Status InquireSupportOfSettingUserName(int& out) const;
    Status SetUserNameDuringPublicLogin(const std::string& name);
    Status GetBoxAdminSupport(int& out) const;

    // --- inquiries
    Status GetHDDCount(int& out) const;
    Status InquireSecuritySettingOfRXData(int& out) const;
    Status GetBoxControlPermission(int& create, int& edit, int& remove) const;
    Status GetAutoDelTimePermission(int& out) const;
    Status GetMono2ColorDocPolicy(int& out) const;
    Status IsIOption(int& out) const;
    Status GetSearchablePDFSupportInfo(int& supported, std::vector<int>& languages) const;
    Status GetExtendedFormatSupportInfo(int& searchablePdf, int& office,
                                        std::vector<int>& languages) const;
    Status GetExtendedFormatSupportInfo2(int& pdfA, int& linearized) const;
    Status GetOptionalFunction(int64_t& out) const;

    // --- boxes
    Status GetBoxList(std::vector<Box>& out);
    Status GetFilingNumberBoxList(std::vector<Box>& out);
    Status CreateBox(const BoxSettings& settings, const std::string& password, int& number);
    Status RenameBox(int number, const std::string& name, const std::string& password,
                     int& refused);
    Status RemoveBox(int number, const std::string& password, int& refused);
    Status ChangeBoxSetting(int number, int mask, const BoxSettings& settings,
                            const std::string& oldPassword, const std::string& newPassword,
                            int& refused);
    Status BoxLogin(int number, const std::string& password, int& refused);
    Status BoxLogout();
    std::optional<int> LoggedInBox() const { return box_; }

    // --- documents (all in the logged-in box)
    Status GetDocumentList(std::vector<Document>& out);
    Status CopyDocument(int id, int destBox, int& newId);
    Status MoveDocument(int id, int destBox);
    Status RemoveDocument(int id);
    Status RemoveDocument2(int id, const std::string& password, int& refused);
    Status RenameDocument(int id, const std::string& name);
    Status OpenDocument(int id, int page, int outputType, int64_t& size);
    Status OpenDocument(int id, const OpenDocumentParams& params, int64_t& size);
    Status OpenDocumentWithBind(const std::vector<int>& ids, int bindFormat, int64_t& size);
    // Up to `max` bytes of the open document; an empty chunk at the end.
    Status ReadDocument(size_t max, std::vector<uint8_t>& chunk);
    // The same without a copy: `data` points at the next n (at most max, at most
    // kSyntheticSliceMax) bytes, valid until the document is read on or closed; n is 0
    // at the end.
    Status DocumentSlice(size_t max, const uint8_t*& data, size_t& n);
    Status CloseDocument(int abort);

    // --- thumbnails: format 1 raw 104-pixel grey rows, otherwise JPEG
    Status OpenThumbnail(int id, int kind, int format, int64_t& size);
    Status ReadThumbnail(size_t max, std::vector<uint8_t>& chunk);
    Status CloseThumbnail();
    // Fault injection: what the next thumbnails announce and deliver.
    enum class ThumbnailFault { kNone, kTruncate, kOversize, kAbsurdSize };
    void SetThumbnailFault(ThumbnailFault fault, int64_t bytes) {
        thumbFault_ = fault;
        thumbFaultBytes_ = bytes;
    }

    // --- print
    Status SetDocument(int id);
    Status GetEffectivePrintSettings(PrintSettings& out) const;
    Status GetCurrentSetDocumentPrintSettings(PrintSettings& out) const;
    Status PrintDocument(const PrintSettings& settings, const std::vector<uint8_t>& raw,
                         int& jobId);

    const Restrictions& CurrentRestrictions() const { return restrictions_; }

private:
    // What an operation needs of the session before it runs.
    enum class Need { kNothing, kConnection, kLogin, kBox };
    Status Check(Need need, int level) const;
    // Runs `fn` (returning a Status or nothing) under the device lock once the session
    // has what it needs and follows at least protocol `level`; otherwise the refusal.
    template <class Fn>
    Status Locked(Need need, int level, Fn&& fn) const;
    const Identity& Id() const { return device_.state_.identity; }
    // A login's status; on success also what the login reports: the colour restriction
    // (first forms) or the whole record.
    Status Granted(const Status& s, int& colourForbidden) const;
    Status Granted(const Status& s, Restrictions& out) const;
    Status RequireConnected() const;
    Status RequireLogin() const;
    Status RequireProtocol(int level) const;
    int ProtocolLocked() const;
    Status RequireBox() const;
    Status LoginUser(const std::string& name, const std::string& password, bool vendor);
    Status LoginAccount(const std::string& name, const std::string& password);
    bool IsBoxAdmin() const;
    // Checks under the device lock.
    Status CheckOwner(const Box& box) const;
    Status CheckBoxPassword(const Box& box, const std::string& password, int& refused) const;
    bool BoxUsedByOthers(int number) const;
    // A user box this session owns, when the device permits the change at all.
    Status ManagedBox(int number, bool permitted, Box*& out);
    // Renaming and re-configuring a box: the checks they share, in the device's order,
    // then `edit` changes a copy of the box, which is stored when it succeeds.
    Status EditBox(int number, const std::string& password, int& refused,
                   const std::function<Status(Box&)>& edit);
    bool BoxNameTaken(const std::string& name, int except) const;
    // Removes a document of the logged-in box; in a secured memory-RX box only once
    // `secured` allows it.
    Status RemoveInBox(int id, int level, const std::function<Status(const Box& rx)>& secured);
    // A document of the logged-in box and a box it may be copied or moved to.
    Status Transferable(int id, int destBox, Document*& doc);
    void PurgeExpired(int boxNumber);
    bool ValidSettings(const BoxSettings& s, bool forCreate) const;
    void ReleaseBox();
    void ReleaseDocument();
    Status LoadStored(int id, StoredDocument& out);
    Status OpenRendered(int id, const RenderRequest& request, int64_t& size);

    Device& device_;
    bool connected_ = false;
    int protocol_ = 0;
    std::optional<std::string> user_;
    UserRole role_ = UserRole::kUser;
    std::optional<std::string> account_;
    Restrictions restrictions_{};
    std::string publicUserName_;
    std::optional<int> box_;

    std::optional<int> openDocId_;  // single document being read
    std::vector<int> openBound_;    // documents of a bound read
    std::vector<uint8_t> docData_;
    int64_t docPos_ = 0;
    bool docOpen_ = false;
    int64_t docSynthetic_ = -1;  // size of an open synthetic document, else -1

    std::vector<uint8_t> thumbData_;
    size_t thumbPos_ = 0;
    bool thumbOpen_ = false;
    ThumbnailFault thumbFault_ = ThumbnailFault::kNone;
    int64_t thumbFaultBytes_ = 0;

    std::optional<int> printDoc_;
};

// "YYYY/MM/DD hh:mm:ss" in local time, and back (nullopt when malformed).
std::string FormatEntryDate(std::time_t t);
std::optional<std::time_t> ParseEntryDate(const std::string& text);

}  // namespace mfpsim
