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
// Messages

void HelloRequest::Put(Writer& w) const {
    w.I32(protocol);
}
bool HelloRequest::Get(Reader& r) {
    return r.I32(protocol);
}

void HelloReply::Put(Writer& w) const {
    w.Str(deviceId);
    w.Str(model);
    w.Str(serial);
    w.I32(major);
    w.I32(minor);
}
bool HelloReply::Get(Reader& r) {
    return r.Str(deviceId, QTCP_DEVICEID_SIZE - 1) && r.Str(model, kMaxText) &&
           r.Str(serial, kMaxText) && r.I32(major) && r.I32(minor);
}

void ConnectRequest::Put(Writer& w) const {
    w.I32(protocol);
    w.I32(classKind);
    w.Str(unitName);
}
bool ConnectRequest::Get(Reader& r) {
    return r.I32(protocol) && r.I32(classKind) && r.Str(unitName, kMaxText);
}

void ConnectReply::Put(Writer& w) const {
    w.I32(userAuthType);
    w.I32(accountAuthType);
    w.I32(publicUserSupport);
    inquiries.Put(w);
}
bool ConnectReply::Get(Reader& r) {
    return r.I32(userAuthType) && r.I32(accountAuthType) && r.I32(publicUserSupport) &&
           inquiries.Get(r);
}

void DisconnectRequest::Put(Writer& w) const {
    w.I32(mode);
}
bool DisconnectRequest::Get(Reader& r) {
    return r.I32(mode);
}

void LoginRequest::Put(Writer& w) const {
    w.I32(static_cast<std::int32_t>(form));
    w.Str(name);
    w.Str(password);
}
bool LoginRequest::Get(Reader& r) {
    std::int32_t f = 0;
    if (!r.I32(f) || !r.Str(name, kMaxText) || !r.Str(password, kMaxText))
        return false;
    form = static_cast<LoginForm>(f);
    return true;
}

void LoginReply::Put(Writer& w) const {
    w.Record(permission);
    inquiries.Put(w);
}
bool LoginReply::Get(Reader& r) {
    return r.Record(permission) && inquiries.Get(r);
}

void CustomLoginRequest::Put(Writer& w) const {
    w.Bytes(data.data(), data.size());
}
bool CustomLoginRequest::Get(Reader& r) {
    return r.Bytes(data, kMaxLoginData);
}

void CustomLoginReply::Put(Writer& w) const {
    w.Record(result);
    w.Record(permission);
}
bool CustomLoginReply::Get(Reader& r) {
    return r.Record(result) && r.Record(permission);
}

void CustomLoginInfoRequest::Put(Writer& w) const {
    w.I32(variant);
    w.I32(infoType);
    w.I32(maxBytes);
}
bool CustomLoginInfoRequest::Get(Reader& r) {
    return r.I32(variant) && r.I32(infoType) && r.I32(maxBytes);
}

void CustomLoginInfoReply::Put(Writer& w) const {
    w.Bytes(data.data(), data.size());
    w.I32(totalSize);
}
bool CustomLoginInfoReply::Get(Reader& r) {
    return r.Bytes(data, kMaxLoginData) && r.I32(totalSize);
}

void CurrentUserReply::Put(Writer& w) const {
    w.Record(info);
}
bool CurrentUserReply::Get(Reader& r) {
    return r.Record(info);
}

void AuthServerListReply::Put(Writer& w) const {
    w.Records(servers);
}
bool AuthServerListReply::Get(Reader& r) {
    return r.Records(servers, kMaxServers);
}

void SetAuthServerRequest::Put(Writer& w) const {
    w.I32(index);
    w.Str(name);
    w.Str(second);
}
bool SetAuthServerRequest::Get(Reader& r) {
    return r.I32(index) && r.Str(name, kMaxText) && r.Str(second, kMaxText);
}

void IntMessage::Put(Writer& w) const {
    w.I32(value);
}
bool IntMessage::Get(Reader& r) {
    return r.I32(value);
}

void TextMessage::Put(Writer& w) const {
    w.Str(text);
}
bool TextMessage::Get(Reader& r) {
    return r.Str(text, kMaxText);
}

void InquireRequest::Put(Writer& w) const {
    w.U16(tag);
}
bool InquireRequest::Get(Reader& r) {
    return r.U16(tag);
}

void InquireReply::Put(Writer& w) const {
    inquiries.Put(w);
}
bool InquireReply::Get(Reader& r) {
    return inquiries.Get(r);
}

void ForcedAttributesReply::Put(Writer& w) const {
    w.Records(attributes);
}
bool ForcedAttributesReply::Get(Reader& r) {
    return r.Records(attributes, kMaxAttributes);
}

void BoxListReply::Put(Writer& w) const {
    w.Records(boxes);
}
bool BoxListReply::Get(Reader& r) {
    return r.Records(boxes, kMaxBoxes);
}

void CreateBoxRequest::Put(Writer& w) const {
    w.Record(info);
    w.Str(password);
}
bool CreateBoxRequest::Get(Reader& r) {
    return r.Record(info) && r.Str(password, kMaxText);
}

void RenameBoxRequest::Put(Writer& w) const {
    w.I32(boxNo);
    w.Str(name);
    w.Str(password);
}
bool RenameBoxRequest::Get(Reader& r) {
    return r.I32(boxNo) && r.Str(name, kMaxText) && r.Str(password, kMaxText);
}

void BoxPasswordRequest::Put(Writer& w) const {
    w.I32(boxNo);
    w.Str(password);
}
bool BoxPasswordRequest::Get(Reader& r) {
    return r.I32(boxNo) && r.Str(password, kMaxText);
}

void ChangeBoxRequest::Put(Writer& w) const {
    w.I32(boxNo);
    w.Record(prop);
    w.Str(oldPassword);
    w.Str(newPassword);
}
bool ChangeBoxRequest::Get(Reader& r) {
    return r.I32(boxNo) && r.Record(prop) && r.Str(oldPassword, kMaxText) &&
           r.Str(newPassword, kMaxText);
}

void DocListReply::Put(Writer& w) const {
    w.Records(docs);
}
bool DocListReply::Get(Reader& r) {
    return r.Records(docs, kMaxDocs);
}

void CopyDocRequest::Put(Writer& w) const {
    w.I32(docId);
    w.I32(destBoxNo);
    w.I32(move);
}
bool CopyDocRequest::Get(Reader& r) {
    return r.I32(docId) && r.I32(destBoxNo) && r.I32(move);
}

void RemoveDocRequest::Put(Writer& w) const {
    w.I32(docId);
    w.I32(withPassword);
    w.Str(password);
}
bool RemoveDocRequest::Get(Reader& r) {
    return r.I32(docId) && r.I32(withPassword) && r.Str(password, kMaxText);
}

void RenameDocRequest::Put(Writer& w) const {
    w.I32(docId);
    w.Str(name);
}
bool RenameDocRequest::Get(Reader& r) {
    return r.I32(docId) && r.Str(name, kMaxText);
}

void OpenDocRequest::Put(Writer& w) const {
    w.I32(docId);
    w.I32(static_cast<std::int32_t>(form));
    w.I32(page);
    w.I32(outputType);
    w.Record(param);
}
bool OpenDocRequest::Get(Reader& r) {
    std::int32_t f = 0;
    if (!r.I32(docId) || !r.I32(f) || !r.I32(page) || !r.I32(outputType) || !r.Record(param))
        return false;
    form = static_cast<OpenForm>(f);
    return true;
}

void OpenBindRequest::Put(Writer& w) const {
    w.U32(static_cast<std::uint32_t>(docIds.size()));
    for (std::int32_t id : docIds)
        w.I32(id);
    w.I32(bindFormat);
}
bool OpenBindRequest::Get(Reader& r) {
    std::uint32_t count = 0;
    if (!r.U32(count))
        return false;
    if (count > kMaxBindIds || static_cast<std::uint64_t>(count) * 4 > r.Remaining())
        return r.Fail();
    std::vector<std::int32_t> ids(count);
    for (auto& id : ids)
        if (!r.I32(id))
            return false;
    if (!r.I32(bindFormat))
        return false;
    docIds.swap(ids);
    return true;
}

void OpenReply::Put(Writer& w) const {
    w.I64(totalSize);
}
bool OpenReply::Get(Reader& r) {
    return r.I64(totalSize);
}

void StreamEnd::Put(Writer& w) const {
    w.I64(bytesSent);
}
bool StreamEnd::Get(Reader& r) {
    return r.I64(bytesSent);
}

void ThumbnailRequest::Put(Writer& w) const {
    w.I32(docId);
    w.I32(kind);
    w.I32(format);
}
bool ThumbnailRequest::Get(Reader& r) {
    return r.I32(docId) && r.I32(kind) && r.I32(format);
}

void ThumbnailReply::Put(Writer& w) const {
    w.I32(announcedSize);
    w.Bytes(data.data(), data.size());
}
bool ThumbnailReply::Get(Reader& r) {
    return r.I32(announcedSize) && r.Bytes(data, kMaxPayload);
}

void PrintSettingMessage::Put(Writer& w) const {
    w.Record(settings);
}
bool PrintSettingMessage::Get(Reader& r) {
    return r.Record(settings);
}

}  // namespace vesk::tcpcore
