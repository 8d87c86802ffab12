#include "tcpcore/wire.h"

#include <algorithm>

namespace vesk::tcpcore {

namespace {

void PutLE(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t GetLE(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

bool ValidKind(std::uint8_t k) {
    return k >= static_cast<std::uint8_t>(FrameKind::kRequest) &&
           k <= static_cast<std::uint8_t>(FrameKind::kKeepAlive);
}

// Length of a UTF-8 prefix of s[0..n) that ends on a character boundary.
std::size_t Utf8Boundary(const char* s, std::size_t n) {
    if (n == 0)
        return 0;
    // Walk back over continuation bytes to the last lead byte.
    std::size_t i = n;
    std::size_t back = 0;
    while (i > 0 && back < 4 && (static_cast<unsigned char>(s[i - 1]) & 0xC0) == 0x80) {
        --i;
        ++back;
    }
    if (i == 0)
        return n;  // only continuation bytes: not UTF-8, leave as it is
    const unsigned char lead = static_cast<unsigned char>(s[i - 1]);
    std::size_t need = 1;
    if (lead >= 0xF0)
        need = 4;
    else if (lead >= 0xE0)
        need = 3;
    else if (lead >= 0xC0)
        need = 2;
    else
        return n;  // ASCII lead: what follows are stray continuation bytes
    return back + 1 >= need ? n : i - 1;
}

}  // namespace

const char* OpName(Op op) {
    switch (op) {
        case Op::kNone:
            return "None";
        case Op::kHello:
            return "Hello";
        case Op::kConnect:
            return "Connect";
        case Op::kDisconnect:
            return "Disconnect";
        case Op::kUserLogin:
            return "UserLogin";
        case Op::kAccountLogin:
            return "AccountLogin";
        case Op::kCustomLogin:
            return "CustomLogin";
        case Op::kCustomLoginInfo:
            return "CustomLoginInfo";
        case Op::kCurrentUser:
            return "CurrentUser";
        case Op::kAuthServerList:
            return "AuthServerList";
        case Op::kSetAuthServer:
            return "SetAuthServer";
        case Op::kSetSimpleAuth:
            return "SetSimpleAuth";
        case Op::kSetPublicUserName:
            return "SetPublicUserName";
        case Op::kInquire:
            return "Inquire";
        case Op::kForcedAttributes:
            return "ForcedAttributes";
        case Op::kBoxList:
            return "BoxList";
        case Op::kCreateBox:
            return "CreateBox";
        case Op::kRenameBox:
            return "RenameBox";
        case Op::kRemoveBox:
            return "RemoveBox";
        case Op::kChangeBox:
            return "ChangeBox";
        case Op::kBoxLogin:
            return "BoxLogin";
        case Op::kBoxLogout:
            return "BoxLogout";
        case Op::kDocList:
            return "DocList";
        case Op::kCopyDoc:
            return "CopyDoc";
        case Op::kRemoveDoc:
            return "RemoveDoc";
        case Op::kRenameDoc:
            return "RenameDoc";
        case Op::kOpenDoc:
            return "OpenDoc";
        case Op::kOpenBind:
            return "OpenBind";
        case Op::kCloseDoc:
            return "CloseDoc";
        case Op::kThumbnail:
            return "Thumbnail";
        case Op::kSetPrintDoc:
            return "SetPrintDoc";
        case Op::kPrintSettings:
            return "PrintSettings";
        case Op::kPrint:
            return "Print";
    }
    return "?";
}

const char* DecodeStatusName(DecodeStatus s) {
    switch (s) {
        case DecodeStatus::kOk:
            return "ok";
        case DecodeStatus::kNeedMore:
            return "need more";
        case DecodeStatus::kBadMagic:
            return "bad magic";
        case DecodeStatus::kBadVersion:
            return "bad version";
        case DecodeStatus::kBadKind:
            return "bad kind";
        case DecodeStatus::kTooLarge:
            return "too large";
    }
    return "?";
}

void EncodeHeader(const Frame& f, std::uint8_t out[kHeaderSize]) {
    out[0] = kMagic0;
    out[1] = kMagic1;
    out[2] = kFrameVersion;
    out[3] = static_cast<std::uint8_t>(f.kind);
    PutLE(out + 4, f.payload.size(), 4);
    PutLE(out + 8, static_cast<std::uint16_t>(f.op), 2);
    PutLE(out + 10, 0, 2);
    PutLE(out + 12, f.seq, 4);
    PutLE(out + 16, static_cast<std::uint32_t>(f.status), 4);
    PutLE(out + 20, static_cast<std::uint32_t>(f.detail), 4);
}

std::vector<std::uint8_t> EncodeFrame(const Frame& f) {
    std::vector<std::uint8_t> out(kHeaderSize + f.payload.size());
    EncodeHeader(f, out.data());
    if (!f.payload.empty())
        std::memcpy(out.data() + kHeaderSize, f.payload.data(), f.payload.size());
    return out;
}

DecodeStatus DecodeHeader(const std::uint8_t* p, std::size_t n, FrameHeader& h,
                          std::uint32_t maxPayload) {
    // Check what is there as early as possible, so garbage is refused before the
    // rest of a header arrives.
    if (n >= 1 && p[0] != kMagic0)
        return DecodeStatus::kBadMagic;
    if (n >= 2 && p[1] != kMagic1)
        return DecodeStatus::kBadMagic;
    if (n >= 3 && p[2] != kFrameVersion)
        return DecodeStatus::kBadVersion;
    if (n >= 4 && !ValidKind(p[3]))
        return DecodeStatus::kBadKind;
    if (n < kHeaderSize)
        return DecodeStatus::kNeedMore;
    const auto length = static_cast<std::uint32_t>(GetLE(p + 4, 4));
    if (length > maxPayload)
        return DecodeStatus::kTooLarge;
    h.kind = static_cast<FrameKind>(p[3]);
    h.length = length;
    h.op = static_cast<Op>(GetLE(p + 8, 2));
    h.seq = static_cast<std::uint32_t>(GetLE(p + 12, 4));
    h.status = static_cast<std::int32_t>(static_cast<std::uint32_t>(GetLE(p + 16, 4)));
    h.detail = static_cast<std::int32_t>(static_cast<std::uint32_t>(GetLE(p + 20, 4)));
    return DecodeStatus::kOk;
}

DecodeStatus DecodeFrame(const std::uint8_t* p, std::size_t n, Frame& f, std::size_t& consumed,
                         std::uint32_t maxPayload) {
    consumed = 0;
    FrameHeader h;
    const DecodeStatus st = DecodeHeader(p, n, h, maxPayload);
    if (st != DecodeStatus::kOk)
        return st;
    if (n - kHeaderSize < h.length)
        return DecodeStatus::kNeedMore;
    f.kind = h.kind;
    f.op = h.op;
    f.seq = h.seq;
    f.status = h.status;
    f.detail = h.detail;
    f.payload.assign(p + kHeaderSize, p + kHeaderSize + h.length);
    consumed = kHeaderSize + h.length;
    return DecodeStatus::kOk;
}

Frame MakeEmptyFrame(FrameKind kind, Op op, std::uint32_t seq, std::int32_t status,
                     std::int32_t detail) {
    Frame f;
    f.kind = kind;
    f.op = op;
    f.seq = seq;
    f.status = status;
    f.detail = detail;
    return f;
}

// ---------------------------------------------------------------------------

void Writer::U16(std::uint16_t v) {
    std::uint8_t b[2];
    PutLE(b, v, 2);
    out_.insert(out_.end(), b, b + 2);
}

void Writer::U32(std::uint32_t v) {
    std::uint8_t b[4];
    PutLE(b, v, 4);
    out_.insert(out_.end(), b, b + 4);
}

void Writer::I64(std::int64_t v) {
    std::uint8_t b[8];
    PutLE(b, static_cast<std::uint64_t>(v), 8);
    out_.insert(out_.end(), b, b + 8);
}

void Writer::Raw(const void* p, std::size_t n) {
    if (n == 0)
        return;
    const auto* b = static_cast<const std::uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
}

void Writer::Bytes(const void* p, std::size_t n) {
    U32(static_cast<std::uint32_t>(n));
    Raw(p, n);
}

bool Reader::U16(std::uint16_t& v) {
    if (!Need(2))
        return false;
    v = static_cast<std::uint16_t>(GetLE(p_ + pos_, 2));
    pos_ += 2;
    return true;
}

bool Reader::U32(std::uint32_t& v) {
    if (!Need(4))
        return false;
    v = static_cast<std::uint32_t>(GetLE(p_ + pos_, 4));
    pos_ += 4;
    return true;
}

bool Reader::I32(std::int32_t& v) {
    std::uint32_t u = 0;
    if (!U32(u))
        return false;
    v = static_cast<std::int32_t>(u);
    return true;
}

bool Reader::I64(std::int64_t& v) {
    if (!Need(8))
        return false;
    v = static_cast<std::int64_t>(GetLE(p_ + pos_, 8));
    pos_ += 8;
    return true;
}

bool Reader::Raw(void* dst, std::size_t n) {
    if (!Need(n))
        return false;
    if (n)
        std::memcpy(dst, p_ + pos_, n);
    pos_ += n;
    return true;
}

bool Reader::Str(std::string& s, std::size_t maxLen) {
    std::uint32_t len = 0;
    if (!U32(len))
        return false;
    if (len > maxLen || !Need(len))
        return Fail();
    const char* b = reinterpret_cast<const char*>(p_ + pos_);
    if (std::memchr(b, 0, len) != nullptr)
        return Fail();
    s.assign(b, len);
    pos_ += len;
    return true;
}

bool Reader::Bytes(std::vector<std::uint8_t>& v, std::size_t maxLen) {
    std::uint32_t len = 0;
    if (!U32(len))
        return false;
    if (len > maxLen || !Need(len))
        return Fail();
    v.assign(p_ + pos_, p_ + pos_ + len);
    pos_ += len;
    return true;
}

// ---------------------------------------------------------------------------

void TerminateField(char* field, std::size_t size) {
    if (size == 0)
        return;
    if (std::memchr(field, 0, size) != nullptr)
        return;
    const std::size_t keep = Utf8Boundary(field, size - 1);
    std::memset(field + keep, 0, size - keep);
}

void CopyToField(char* field, std::size_t size, std::string_view s) {
    if (size == 0)
        return;
    std::memset(field, 0, size);
    std::size_t n = std::min(s.size(), size - 1);
    if (n < s.size())
        n = Utf8Boundary(s.data(), n);
    if (n)
        std::memcpy(field, s.data(), n);
}

std::string_view BoundedCStr(const char* s, std::size_t maxLen) {
    if (s == nullptr)
        return {};
    const void* z = std::memchr(s, 0, maxLen);
    return std::string_view(s, z ? static_cast<const char*>(z) - s : maxLen);
}

#define VESK_TERMINATE(r, field) TerminateField((r).field, sizeof((r).field))

void SanitizeRecord(tagUTIL_BOXINFO& r) {
    VESK_TERMINATE(r, szBoxName);
    VESK_TERMINATE(r, szUserName);
    VESK_TERMINATE(r, szEntryDate);
}

void SanitizeRecord(tagUTIL_BOXCREATEINFO& r) {
    VESK_TERMINATE(r, szUserName);
    VESK_TERMINATE(r, szBoxName);
    VESK_TERMINATE(r, szBoxTextA);
    VESK_TERMINATE(r, szBoxTextB);
}

void SanitizeRecord(tagUTIL_BOXPROPINFO& r) {
    VESK_TERMINATE(r, szBoxName);
    VESK_TERMINATE(r, szUserName);
    VESK_TERMINATE(r, szBoxTextA);
    VESK_TERMINATE(r, szBoxTextB);
}

void SanitizeRecord(tagUTIL_DOCINFO& r) {
    VESK_TERMINATE(r, szUserName);
    VESK_TERMINATE(r, szDocName);
    VESK_TERMINATE(r, szEntryDate);
}

void SanitizeRecord(tagQTCP_DEVICEINFO& r) {
    VESK_TERMINATE(r, szDeviceID);
    VESK_TERMINATE(r, szModelName);
    VESK_TERMINATE(r, szSerialNo);
}

void SanitizeRecord(tagUTIL_DETAIL_LOGIN_RESULT& r) {
    VESK_TERMINATE(r, szUserName);
    VESK_TERMINATE(r, szServerName);
}

void SanitizeRecord(tagUTIL_CURRENT_USER_INFO& r) {
    VESK_TERMINATE(r, szUserName);
    VESK_TERMINATE(r, szServerName);
    VESK_TERMINATE(r, szAccountName);
}

void SanitizeRecord(tagUTIL_AUTHSERVERINFO& r) {
    VESK_TERMINATE(r, szServerName);
    VESK_TERMINATE(r, szDisplayName);
}

#undef VESK_TERMINATE

// ---------------------------------------------------------------------------

void Inquiries::SetRaw(Inquiry tag, const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    items[static_cast<std::uint16_t>(tag)].assign(b, b + n);
}

bool Inquiries::GetRaw(Inquiry tag, void* p, std::size_t n) const {
    auto it = items.find(static_cast<std::uint16_t>(tag));
    if (it == items.end() || it->second.size() != n)
        return false;
    std::memcpy(p, it->second.data(), n);
    return true;
}

void Inquiries::Merge(const Inquiries& other) {
    for (const auto& [tag, value] : other.items)
        items[tag] = value;
}

void Inquiries::Put(Writer& w) const {
    const std::size_t count = std::min(items.size(), kMaxInquiries);
    w.U16(static_cast<std::uint16_t>(count));
    std::size_t i = 0;
    for (const auto& [tag, value] : items) {
        if (i++ == count)
            break;
        const std::size_t len = std::min(value.size(), kMaxInquiryValue);
        w.U16(tag);
        w.U16(static_cast<std::uint16_t>(len));
        w.Raw(value.data(), len);
    }
}

bool Inquiries::Get(Reader& r) {
    std::uint16_t count = 0;
    if (!r.U16(count))
        return false;
    if (count > kMaxInquiries)
        return r.Fail();
    std::map<std::uint16_t, std::vector<std::uint8_t>> got;
    for (std::uint16_t i = 0; i < count; ++i) {
        std::uint16_t tag = 0;
        std::uint16_t len = 0;
        if (!r.U16(tag) || !r.U16(len))
            return false;
        if (len > kMaxInquiryValue || len > r.Remaining())
            return r.Fail();
        std::vector<std::uint8_t> value(len);
        if (!r.Raw(value.data(), len))
            return false;
        got[tag] = std::move(value);
    }
    items.swap(got);
    return true;
}

// ---------------------------------------------------------------------------
// Messages: each lists its fields once, in wire order; the Encoder turns the list into
// Put and the Decoder into Get. Adding a field is one line here and one in the struct.

namespace {

class Encoder {
public:
    explicit Encoder(Writer& w) : w_(w) {}
    void U16(const std::uint16_t& v) { w_.U16(v); }
    void I32(const std::int32_t& v) { w_.I32(v); }
    void I64(const std::int64_t& v) { w_.I64(v); }
    template <class E>
    void Enum(const E& v) {
        w_.I32(static_cast<std::int32_t>(v));
    }
    void Str(const std::string& s, std::size_t = kMaxText) { w_.Str(s); }
    void Bytes(const std::vector<std::uint8_t>& v, std::size_t) { w_.Bytes(v.data(), v.size()); }
    template <class R>
    void Record(const R& r) {
        w_.Record(r);
    }
    template <class R>
    void Records(const std::vector<R>& v, std::size_t) {
        w_.Records(v);
    }
    void Ids(const std::vector<std::int32_t>& ids, std::size_t) {
        w_.U32(static_cast<std::uint32_t>(ids.size()));
        for (std::int32_t id : ids)
            w_.I32(id);
    }
    void Block(const Inquiries& b) { b.Put(w_); }

private:
    Writer& w_;
};

// Stops at the first field that does not decode; ok() tells the outcome.
class Decoder {
public:
    explicit Decoder(Reader& r) : r_(r) {}
    bool ok() const { return ok_; }
    void U16(std::uint16_t& v) { ok_ = ok_ && r_.U16(v); }
    void I32(std::int32_t& v) { ok_ = ok_ && r_.I32(v); }
    void I64(std::int64_t& v) { ok_ = ok_ && r_.I64(v); }
    template <class E>
    void Enum(E& v) {
        std::int32_t raw = 0;
        ok_ = ok_ && r_.I32(raw);
        if (ok_)
            v = static_cast<E>(raw);
    }
    void Str(std::string& s, std::size_t maxLen = kMaxText) { ok_ = ok_ && r_.Str(s, maxLen); }
    void Bytes(std::vector<std::uint8_t>& v, std::size_t maxLen) {
        ok_ = ok_ && r_.Bytes(v, maxLen);
    }
    template <class R>
    void Record(R& r) {
        ok_ = ok_ && r_.Record(r);
    }
    template <class R>
    void Records(std::vector<R>& v, std::size_t maxCount) {
        ok_ = ok_ && r_.Records(v, maxCount);
    }
    // u32 count (at most maxCount, and all of them must fit in what remains), then i32s.
    void Ids(std::vector<std::int32_t>& ids, std::size_t maxCount) {
        if (!ok_)
            return;
        std::uint32_t count = 0;
        if (!r_.U32(count)) {
            ok_ = false;
            return;
        }
        if (count > maxCount || static_cast<std::uint64_t>(count) * 4 > r_.Remaining()) {
            ok_ = r_.Fail();
            return;
        }
        std::vector<std::int32_t> got(count);
        for (auto& id : got)
            if (!r_.I32(id)) {
                ok_ = false;
                return;
            }
        ids.swap(got);
    }
    void Block(Inquiries& b) { ok_ = ok_ && b.Get(r_); }

private:
    Reader& r_;
    bool ok_ = true;
};

}  // namespace

// Text fields are bounded by kMaxText unless a field says otherwise.
template <class Io>
void Fields(Io& io, HelloRequest& m) {
    io.I32(m.protocol);
}
template <class Io>
void Fields(Io& io, HelloReply& m) {
    io.Str(m.deviceId, QTCP_DEVICEID_SIZE - 1);
    io.Str(m.model);
    io.Str(m.serial);
    io.I32(m.major);
    io.I32(m.minor);
}
template <class Io>
void Fields(Io& io, ConnectRequest& m) {
    io.I32(m.protocol);
    io.I32(m.classKind);
    io.Str(m.unitName);
}
template <class Io>
void Fields(Io& io, ConnectReply& m) {
    io.I32(m.userAuthType);
    io.I32(m.accountAuthType);
    io.I32(m.publicUserSupport);
    io.Block(m.inquiries);
}
template <class Io>
void Fields(Io& io, DisconnectRequest& m) {
    io.I32(m.mode);
}
template <class Io>
void Fields(Io& io, LoginRequest& m) {
    io.Enum(m.form);
    io.Str(m.name);
    io.Str(m.password);
}
template <class Io>
void Fields(Io& io, LoginReply& m) {
    io.Record(m.permission);
    io.Block(m.inquiries);
}
template <class Io>
void Fields(Io& io, CustomLoginRequest& m) {
    io.Bytes(m.data, kMaxLoginData);
}
template <class Io>
void Fields(Io& io, CustomLoginReply& m) {
    io.Record(m.result);
    io.Record(m.permission);
}
template <class Io>
void Fields(Io& io, CustomLoginInfoRequest& m) {
    io.I32(m.variant);
    io.I32(m.infoType);
    io.I32(m.maxBytes);
}
template <class Io>
void Fields(Io& io, CustomLoginInfoReply& m) {
    io.Bytes(m.data, kMaxLoginData);
    io.I32(m.totalSize);
}
template <class Io>
void Fields(Io& io, CurrentUserReply& m) {
    io.Record(m.info);
}
template <class Io>
void Fields(Io& io, AuthServerListReply& m) {
    io.Records(m.servers, kMaxServers);
}
template <class Io>
void Fields(Io& io, SetAuthServerRequest& m) {
    io.I32(m.index);
    io.Str(m.name);
    io.Str(m.second);
}
template <class Io>
void Fields(Io& io, IntMessage& m) {
    io.I32(m.value);
}
template <class Io>
void Fields(Io& io, TextMessage& m) {
    io.Str(m.text);
}
template <class Io>
void Fields(Io& io, InquireRequest& m) {
    io.U16(m.tag);
}
template <class Io>
void Fields(Io& io, InquireReply& m) {
    io.Block(m.inquiries);
}
template <class Io>
void Fields(Io& io, ForcedAttributesReply& m) {
    io.Records(m.attributes, kMaxAttributes);
}
template <class Io>
void Fields(Io& io, BoxListReply& m) {
    io.Records(m.boxes, kMaxBoxes);
}
template <class Io>
void Fields(Io& io, CreateBoxRequest& m) {
    io.Record(m.info);
    io.Str(m.password);
}
template <class Io>
void Fields(Io& io, RenameBoxRequest& m) {
    io.I32(m.boxNo);
    io.Str(m.name);
    io.Str(m.password);
}
template <class Io>
void Fields(Io& io, BoxPasswordRequest& m) {
    io.I32(m.boxNo);
    io.Str(m.password);
}
template <class Io>
void Fields(Io& io, ChangeBoxRequest& m) {
    io.I32(m.boxNo);
    io.Record(m.prop);
    io.Str(m.oldPassword);
    io.Str(m.newPassword);
}
template <class Io>
void Fields(Io& io, DocListReply& m) {
    io.Records(m.docs, kMaxDocs);
}
template <class Io>
void Fields(Io& io, CopyDocRequest& m) {
    io.I32(m.docId);
    io.I32(m.destBoxNo);
    io.I32(m.move);
}
template <class Io>
void Fields(Io& io, RemoveDocRequest& m) {
    io.I32(m.docId);
    io.I32(m.withPassword);
    io.Str(m.password);
}
template <class Io>
void Fields(Io& io, RenameDocRequest& m) {
    io.I32(m.docId);
    io.Str(m.name);
}
template <class Io>
void Fields(Io& io, OpenDocRequest& m) {
    io.I32(m.docId);
    io.Enum(m.form);
    io.I32(m.page);
    io.I32(m.outputType);
    io.Record(m.param);
}
template <class Io>
void Fields(Io& io, OpenBindRequest& m) {
    io.Ids(m.docIds, kMaxBindIds);
    io.I32(m.bindFormat);
}
template <class Io>
void Fields(Io& io, OpenReply& m) {
    io.I64(m.totalSize);
}
template <class Io>
void Fields(Io& io, StreamEnd& m) {
    io.I64(m.bytesSent);
}
template <class Io>
void Fields(Io& io, ThumbnailRequest& m) {
    io.I32(m.docId);
    io.I32(m.kind);
    io.I32(m.format);
}
template <class Io>
void Fields(Io& io, ThumbnailReply& m) {
    io.I32(m.announcedSize);
    io.Bytes(m.data, kMaxPayload);
}
template <class Io>
void Fields(Io& io, PrintSettingMessage& m) {
    io.Record(m.settings);
}

// The encoder only reads the fields it visits, so visiting a const message is safe.
#define VESK_MESSAGE(M)                   \
    void M::Put(Writer& w) const {        \
        Encoder e(w);                     \
        Fields(e, const_cast<M&>(*this)); \
    }                                     \
    bool M::Get(Reader& r) {              \
        Decoder d(r);                     \
        Fields(d, *this);                 \
        return d.ok();                    \
    }

VESK_MESSAGE(HelloRequest)
VESK_MESSAGE(HelloReply)
VESK_MESSAGE(ConnectRequest)
VESK_MESSAGE(ConnectReply)
VESK_MESSAGE(DisconnectRequest)
VESK_MESSAGE(LoginRequest)
VESK_MESSAGE(LoginReply)
VESK_MESSAGE(CustomLoginRequest)
VESK_MESSAGE(CustomLoginReply)
VESK_MESSAGE(CustomLoginInfoRequest)
VESK_MESSAGE(CustomLoginInfoReply)
VESK_MESSAGE(CurrentUserReply)
VESK_MESSAGE(AuthServerListReply)
VESK_MESSAGE(SetAuthServerRequest)
VESK_MESSAGE(IntMessage)
VESK_MESSAGE(TextMessage)
VESK_MESSAGE(InquireRequest)
VESK_MESSAGE(InquireReply)
VESK_MESSAGE(ForcedAttributesReply)
VESK_MESSAGE(BoxListReply)
VESK_MESSAGE(CreateBoxRequest)
VESK_MESSAGE(RenameBoxRequest)
VESK_MESSAGE(BoxPasswordRequest)
VESK_MESSAGE(ChangeBoxRequest)
VESK_MESSAGE(DocListReply)
VESK_MESSAGE(CopyDocRequest)
VESK_MESSAGE(RemoveDocRequest)
VESK_MESSAGE(RenameDocRequest)
VESK_MESSAGE(OpenDocRequest)
VESK_MESSAGE(OpenBindRequest)
VESK_MESSAGE(OpenReply)
VESK_MESSAGE(StreamEnd)
VESK_MESSAGE(ThumbnailRequest)
VESK_MESSAGE(ThumbnailReply)
VESK_MESSAGE(PrintSettingMessage)

#undef VESK_MESSAGE

}  // namespace vesk::tcpcore
