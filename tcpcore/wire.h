// The device wire protocol (docs/protocol.md): frame codec and the messages of every
// operation, shared by the client and the device emulator so both sides agree byte
// for byte. Everything read from a peer goes through a bounded Reader: a length is
// checked against what remains before anything is copied, and text copied into a
// record field always ends with a zero.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tcpcore/records.h"

namespace vesk::tcpcore {

// Records travel as their in-memory bytes; that is little-endian only on a
// little-endian host. A big-endian port would swap members in Put/Get.
static_assert(std::endian::native == std::endian::little, "wire records are little-endian");

// ---------------------------------------------------------------------------
// Frames

inline constexpr std::uint8_t kMagic0 = 'V';
inline constexpr std::uint8_t kMagic1 = 'K';
inline constexpr std::uint8_t kFrameVersion = 1;
inline constexpr std::size_t kHeaderSize = 24;
// A frame larger than this is refused by both sides (a document streams in many
// frames; the largest single message is a document list).
inline constexpr std::uint32_t kMaxPayload = 16u << 20;
// What a device should put in one data frame: large enough that a 1 MiB read takes
// a handful of frames, small enough to keep cancel and progress responsive.
inline constexpr std::uint32_t kPreferredChunk = 256u << 10;

enum class FrameKind : std::uint8_t {
    kRequest = 1,
    kReply = 2,
    kData = 3,       // a piece of a document stream
    kEnd = 4,        // end of a document stream
    kKeepAlive = 5,  // "still working": resets the peer's receive time-out
};

enum class Op : std::uint16_t {
    kNone = 0,
    kHello = 0x0001,  // device identifier and version (GetDeviceInfo)
    kConnect = 0x0002,
    kDisconnect = 0x0003,
    kUserLogin = 0x0010,
    kAccountLogin = 0x0011,
    kCustomLogin = 0x0012,
    kCustomLoginInfo = 0x0013,
    kCurrentUser = 0x0014,
    kAuthServerList = 0x0015,
    kSetAuthServer = 0x0016,
    kSetSimpleAuth = 0x0017,
    kSetPublicUserName = 0x0018,
    kInquire = 0x0020,
    kForcedAttributes = 0x0021,
    kBoxList = 0x0030,
    kCreateBox = 0x0031,
    kRenameBox = 0x0032,
    kRemoveBox = 0x0033,
    kChangeBox = 0x0034,
    kBoxLogin = 0x0035,
    kBoxLogout = 0x0036,
    kDocList = 0x0040,
    kCopyDoc = 0x0041,
    kRemoveDoc = 0x0042,
    kRenameDoc = 0x0043,
    kOpenDoc = 0x0044,
    kOpenBind = 0x0045,
    kCloseDoc = 0x0046,
    kThumbnail = 0x0047,
    kSetPrintDoc = 0x0050,
    kPrintSettings = 0x0051,
    kPrint = 0x0052,
};

// A readable name for traces and test messages ("?" for unknown codes).
const char* OpName(Op op);

struct Frame {
    FrameKind kind = FrameKind::kRequest;
    Op op = Op::kNone;
    std::uint32_t seq = 0;    // request number; replies and stream frames echo it
    std::int32_t status = 0;  // replies and end frames: 0 success, else an error code
    std::int32_t detail = 0;  // more about the error (device's own meaning)
    std::vector<std::uint8_t> payload;
};

struct FrameHeader {
    FrameKind kind = FrameKind::kRequest;
    Op op = Op::kNone;
    std::uint32_t length = 0;
    std::uint32_t seq = 0;
    std::int32_t status = 0;
    std::int32_t detail = 0;
};

enum class DecodeStatus {
    kOk,
    kNeedMore,  // not enough bytes yet
    kBadMagic,  // not our protocol (a TLS record on a plain port, garbage)
    kBadVersion,
    kBadKind,
    kTooLarge,  // announced payload above the limit
};
const char* DecodeStatusName(DecodeStatus s);

// Writes the 24-byte header of f into out.
void EncodeHeader(const Frame& f, std::uint8_t out[kHeaderSize]);
// Header followed by payload.
std::vector<std::uint8_t> EncodeFrame(const Frame& f);
// Validates and decodes a header from the first n bytes at p.
DecodeStatus DecodeHeader(const std::uint8_t* p, std::size_t n, FrameHeader& h,
                          std::uint32_t maxPayload = kMaxPayload);
// Decodes one whole frame from a buffer; consumed gets the bytes it used.
DecodeStatus DecodeFrame(const std::uint8_t* p, std::size_t n, Frame& f, std::size_t& consumed,
                         std::uint32_t maxPayload = kMaxPayload);

// ---------------------------------------------------------------------------
// Payload writer and bounded reader

class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>& out) : out_(out) {}
    void U16(std::uint16_t v);
    void U32(std::uint32_t v);
    void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
    void I64(std::int64_t v);
    void Raw(const void* p, std::size_t n);
    // u32 length, then the bytes (no terminator).
    void Bytes(const void* p, std::size_t n);
    void Str(std::string_view s) { Bytes(s.data(), s.size()); }
    template <class R>
    void Record(const R& r) {
        Raw(&r, sizeof(R));
    }
    template <class R>
    void Records(const std::vector<R>& v) {
        U32(static_cast<std::uint32_t>(v.size()));
        if (!v.empty())
            Raw(v.data(), v.size() * sizeof(R));
    }

private:
    std::vector<std::uint8_t>& out_;
};

// Every getter checks what remains first and fails (leaving the reader failed) rather
// than read past the end; nothing is copied from a failed read.
class Reader {
public:
    Reader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    explicit Reader(const std::vector<std::uint8_t>& v) : Reader(v.data(), v.size()) {}
    bool U16(std::uint16_t& v);
    bool U32(std::uint32_t& v);
    bool I32(std::int32_t& v);
    bool I64(std::int64_t& v);
    bool Raw(void* dst, std::size_t n);
    // u32 length (at most maxLen) then the bytes; text must hold no zero byte.
    bool Str(std::string& s, std::size_t maxLen);
    bool Bytes(std::vector<std::uint8_t>& v, std::size_t maxLen);
    // A whole record, then its text fields are made zero-terminated.
    template <class R>
    bool Record(R& r);
    // u32 count (at most maxCount, and count*sizeof(R) must fit in what remains).
    template <class R>
    bool Records(std::vector<R>& v, std::size_t maxCount);
    std::size_t Remaining() const { return ok_ ? n_ - pos_ : 0; }
    bool ok() const { return ok_; }
    bool Fail() {
        ok_ = false;
        return false;
    }

private:
    bool Need(std::size_t k) {
        if (!ok_ || k > n_ - pos_)
            return Fail();
        return true;
    }
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// Text fields of records: make sure each holds a terminating zero, cutting an
// unterminated field before its last byte and never inside a UTF-8 sequence.
void TerminateField(char* field, std::size_t size);
void SanitizeRecord(tagUTIL_BOXINFO& r);
void SanitizeRecord(tagUTIL_BOXCREATEINFO& r);
void SanitizeRecord(tagUTIL_BOXPROPINFO& r);
void SanitizeRecord(tagUTIL_DOCINFO& r);
void SanitizeRecord(tagQTCP_DEVICEINFO& r);
void SanitizeRecord(tagUTIL_DETAIL_LOGIN_RESULT& r);
void SanitizeRecord(tagUTIL_CURRENT_USER_INFO& r);
void SanitizeRecord(tagUTIL_AUTHSERVERINFO& r);
template <class R>
void SanitizeRecord(R&) {}  // records without text

// Copies s into a fixed text field: at most size-1 bytes, never splitting a UTF-8
// sequence, zero-filling the rest.
void CopyToField(char* field, std::size_t size, std::string_view s);
// The text of a caller's zero-terminated string, at most maxLen bytes (null: "").
std::string_view BoundedCStr(const char* s, std::size_t maxLen);

template <class R>
bool Reader::Record(R& r) {
    R tmp;
    if (!Raw(&tmp, sizeof(R)))
        return false;
    SanitizeRecord(tmp);
    r = tmp;
    return true;
}

template <class R>
bool Reader::Records(std::vector<R>& v, std::size_t maxCount) {
    std::uint32_t count = 0;
    if (!U32(count))
        return false;
    if (count > maxCount || static_cast<std::uint64_t>(count) * sizeof(R) > Remaining())
        return Fail();
    std::vector<R> out(count);
    for (auto& r : out)
        if (!Record(r))
            return false;
    v.swap(out);
    return true;
}

// ---------------------------------------------------------------------------
// Limits on what a message may hold

inline constexpr std::size_t kMaxText = 1024;        // any text on the wire
inline constexpr std::size_t kMaxBoxes = 10000;      // per box list
inline constexpr std::size_t kMaxDocs = 20000;       // per document list (fits the frame limit)
inline constexpr std::size_t kMaxBindIds = 1000;     // documents in one bound download
inline constexpr std::size_t kMaxServers = 256;      // authentication servers
inline constexpr std::size_t kMaxAttributes = 64;    // forced attributes
inline constexpr std::size_t kMaxLoginData = 65536;  // customized login data / information
inline constexpr std::size_t kMaxInquiries = 256;    // items in an inquiry block
inline constexpr std::size_t kMaxInquiryValue = 1024;

// ---------------------------------------------------------------------------
// Inquiry values carried by the connect and login replies (and by kInquire).

enum class Inquiry : std::uint16_t {
    kHddCount = 1,               // i32
    kRxDataSecurity = 2,         // i32: 1 secured, 0 not, 2 box administrator
    kBoxControlPermission = 3,   // tagUTIL_BOXCONTROLPERMISSION
    kAutoDelTimePermission = 4,  // tagUTIL_AUTODELTIMEPERMISSION
    kMono2ColorPolicy = 5,       // i32
    kIOption = 6,                // i32
    kExtendedFormat = 7,         // tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO
    kExtendedFormat2 = 8,        // tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2
    kSearchablePdf = 9,          // tagUTIL_SPDF_SUPPORT_INFO
    kOptionalFunction = 10,      // u32 bit set
    kEnhancedSecurity = 11,      // i32
    kSimpleAuth = 12,            // i32
    kBoxAdminSupport = 13,       // i32
    kTrimLdapUserName = 14,      // i32
    kSettingUserName = 15,       // i32
};

struct Inquiries {
    std::map<std::uint16_t, std::vector<std::uint8_t>> items;

    void SetInt(Inquiry tag, std::int32_t v) { SetRaw(tag, &v, sizeof v); }
    bool GetInt(Inquiry tag, std::int32_t& v) const { return GetRaw(tag, &v, sizeof v); }
    template <class R>
    void SetRecord(Inquiry tag, const R& r) {
        SetRaw(tag, &r, sizeof(R));
    }
    // Only a value of exactly the record's size is taken.
    template <class R>
    bool GetRecord(Inquiry tag, R& r) const {
        R tmp;
        if (!GetRaw(tag, &tmp, sizeof(R)))
            return false;
        r = tmp;
        return true;
    }
    bool Has(Inquiry tag) const { return items.count(static_cast<std::uint16_t>(tag)) != 0; }
    // Adds (or replaces) what other holds.
    void Merge(const Inquiries& other);

    void Put(Writer& w) const;
    bool Get(Reader& r);

private:
    void SetRaw(Inquiry tag, const void* p, std::size_t n);
    bool GetRaw(Inquiry tag, void* p, std::size_t n) const;
};

// ---------------------------------------------------------------------------
// Messages. Each has Put (encode into a payload) and Get (decode, bounded), both made
// from the one field list per message in wire.cpp. A
// receiver ignores bytes after the fields it knows.

struct HelloRequest {
    std::int32_t protocol = 0;  // the asking object's protocol number
    void Put(Writer& w) const;
    bool Get(Reader& r);
};
struct HelloReply {
    std::string deviceId;  // object-identifier text
    std::string model;
    std::string serial;
    std::int32_t major = 0;
    std::int32_t minor = 0;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct ConnectRequest {
    std::int32_t protocol = 0;   // number the client speaks (TCPVersion)
    std::int32_t classKind = 0;  // 0 V20, 1 V31, 2 V31DMiOP
    std::string unitName;        // device unit the client expects ("" any)
    void Put(Writer& w) const;
    bool Get(Reader& r);
};
struct ConnectReply {
    std::int32_t userAuthType = 0;
    std::int32_t accountAuthType = 0;
    std::int32_t publicUserSupport = 0;
    Inquiries inquiries;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct DisconnectRequest {
    std::int32_t mode = 1;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

enum class LoginForm : std::int32_t { kLegacy = 0, kV2 = 1, kVendor = 2 };
// kUserLogin and kAccountLogin.
struct LoginRequest {
    LoginForm form = LoginForm::kV2;
    std::string name;
    std::string password;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};
struct LoginReply {
    tagUTIL_DOCOPERATIONPERMISSION permission{};
    Inquiries inquiries;  // values that changed with the login
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct CustomLoginRequest {
    std::vector<std::uint8_t> data;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};
struct CustomLoginReply {
    tagUTIL_DETAIL_LOGIN_RESULT result{};
    tagUTIL_DOCOPERATIONPERMISSION permission{};
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct CustomLoginInfoRequest {
    std::int32_t variant = 1;  // 1 or 2
    std::int32_t infoType = 0;
    std::int32_t maxBytes = 0;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};
struct CustomLoginInfoReply {
    std::vector<std::uint8_t> data;
    std::int32_t totalSize = 0;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kCurrentUser: empty request.
struct CurrentUserReply {
    tagUTIL_CURRENT_USER_INFO info{};
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kAuthServerList: empty request.
struct AuthServerListReply {
    std::vector<tagUTIL_AUTHSERVERINFO> servers;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct SetAuthServerRequest {
    std::int32_t index = 0;
    std::string name;
    std::string second;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kSetSimpleAuth request and reply: the value (the reply gives the one now set).
struct IntMessage {
    std::int32_t value = 0;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kSetPublicUserName, kRenameDoc use their own; plain text message:
struct TextMessage {
    std::string text;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kInquire: one tag; the reply is an inquiry block holding it.
struct InquireRequest {
    std::uint16_t tag = 0;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};
struct InquireReply {
    Inquiries inquiries;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kForcedAttributes request: IntMessage (kind); reply:
struct ForcedAttributesReply {
    std::vector<tagUTIL_ATTRIBUTEINFO> attributes;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kBoxList request: IntMessage (0 user boxes, 1 filing-number boxes); reply:
struct BoxListReply {
    std::vector<tagUTIL_BOXINFO> boxes;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct CreateBoxRequest {
    tagUTIL_BOXCREATEINFO info{};
    std::string password;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};
// kCreateBox reply: IntMessage (the new box number).

struct RenameBoxRequest {
    std::int32_t boxNo = 0;
    std::string name;
    std::string password;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};
// kRenameBox, kRemoveBox, kChangeBox, kBoxLogin, kRemoveDoc replies: IntMessage (the
// out flag or detail), sent with failures as well as successes.

// kRemoveBox and kBoxLogin.
struct BoxPasswordRequest {
    std::int32_t boxNo = 0;
    std::string password;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct ChangeBoxRequest {
    std::int32_t boxNo = 0;
    tagUTIL_BOXPROPINFO prop{};
    std::string oldPassword;
    std::string newPassword;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kDocList request: IntMessage (list kind); reply:
struct DocListReply {
    std::vector<tagUTIL_DOCINFO> docs;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct CopyDocRequest {
    std::int32_t docId = 0;
    std::int32_t destBoxNo = 0;
    std::int32_t move = 0;  // 1: move, 0: copy
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct RemoveDocRequest {
    std::int32_t docId = 0;
    std::int32_t withPassword = 0;
    std::string password;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct RenameDocRequest {
    std::int32_t docId = 0;
    std::string name;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

enum class OpenForm : std::int32_t { kPageAndType = 0, kParam = 1 };
struct OpenDocRequest {
    std::int32_t docId = 0;
    OpenForm form = OpenForm::kParam;
    std::int32_t page = 0;         // kPageAndType
    std::int32_t outputType = 0;   // kPageAndType
    tagUTIL_OPENDOCPARAM param{};  // kParam
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

struct OpenBindRequest {
    std::vector<std::int32_t> docIds;
    std::int32_t bindFormat = 0;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kOpenDoc and kOpenBind reply: the size of the stream that follows.
struct OpenReply {
    std::int64_t totalSize = -1;  // -1 unknown
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// End frame payload.
struct StreamEnd {
    std::int64_t bytesSent = 0;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kCloseDoc request: IntMessage (abort); empty reply.

struct ThumbnailRequest {
    std::int32_t docId = 0;
    std::int32_t kind = 1;
    std::int32_t format = 0;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};
struct ThumbnailReply {
    std::int32_t announcedSize = 0;
    std::vector<std::uint8_t> data;
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// kSetPrintDoc: IntMessage (document id). kPrintSettings request: IntMessage (0
// effective, 1 current document's); reply and kPrint request/reply:
struct PrintSettingMessage {
    PrintSetting settings{};
    void Put(Writer& w) const;
    bool Get(Reader& r);
};

// Helpers to build and read frames around messages.
template <class M>
Frame MakeFrame(FrameKind kind, Op op, std::uint32_t seq, const M& m, std::int32_t status = 0,
                std::int32_t detail = 0) {
    Frame f;
    f.kind = kind;
    f.op = op;
    f.seq = seq;
    f.status = status;
    f.detail = detail;
    Writer w(f.payload);
    m.Put(w);
    return f;
}
Frame MakeEmptyFrame(FrameKind kind, Op op, std::uint32_t seq, std::int32_t status = 0,
                     std::int32_t detail = 0);
template <class M>
bool ParsePayload(const Frame& f, M& m) {
    Reader r(f.payload);
    return m.Get(r);
}

}  // namespace vesk::tcpcore
