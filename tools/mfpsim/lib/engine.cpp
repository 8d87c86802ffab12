#include "tools/mfpsim/lib/engine.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <type_traits>

namespace mfpsim {

using tc::Frame;
using tc::FrameKind;
using tc::Inquiry;
using tc::Op;

namespace {

// Models whose 3.1 protocol carries the automatic-deletion permission.
bool MemoryOptionModel(const std::string& identifier) {
    int m = ModelFromIdentifier(identifier);
    return m >= 37 && m <= 41;
}

tagUTIL_BOXINFO BoxRecord(const Box& b) {
    tagUTIL_BOXINFO r{};
    r.lBoxNo = b.number;
    tc::CopyToField(r.szBoxName, sizeof r.szBoxName, b.name);
    tc::CopyToField(r.szUserName, sizeof r.szUserName, b.owner);
    r.nPasswordProtected = b.password.empty() ? 0 : 1;
    r.nBoxType = b.type;
    tc::CopyToField(r.szEntryDate, sizeof r.szEntryDate, b.entryDate);
    r.nSearchChar = b.searchChar;
    r.nMain = b.main;
    r.nAutoDelTime = b.autoDelTime;
    r.nAutoDelTimeType = b.autoDelTimeType;
    r.nAutoDelTimeMinute = b.autoDelTimeMinute;
    return r;
}

tagUTIL_DOCINFO DocRecord(const Document& d) {
    tagUTIL_DOCINFO r{};
    r.lDocID = d.id;
    tc::CopyToField(r.szUserName, sizeof r.szUserName, d.owner);
    r.nMode = d.mode;
    tc::CopyToField(r.szDocName, sizeof r.szDocName, d.name);
    r.nPageNo = d.pages;
    tc::CopyToField(r.szEntryDate, sizeof r.szEntryDate, d.entryDate);
    r.nXResolution = d.xResolution;
    r.nYResolution = d.yResolution;
    r.nColorType = d.colorType;
    r.nBitsPerPixel = d.bitsPerPixel;
    r.nPaperSizeCode = d.paperSize;
    r.nWidth = d.width;
    r.nHeight = d.height;
    r.nFileType = d.fileType;
    r.nEncrypted = d.encrypted;
    size_t n = std::min<size_t>(d.attributes.size(), QTCP_MAX_ATTRIBUTES);
    r.nAttributeNum = d.declaredAttributes >= 0 ? d.declaredAttributes : static_cast<int>(n);
    for (size_t i = 0; i < n; ++i) {
        r.attributeInfo[i] = {d.attributes[i].type, d.attributes[i].enable,
                              d.attributes[i].colorType};
    }
    r.outlinePDFInfo = {d.outlinePdf[0], d.outlinePdf[1], d.outlinePdf[2], d.outlinePdf[3]};
    r.extendedPDFInfo = {d.extendedPdf[0], d.extendedPdf[1]};
    r.officeXMLInfo = {d.officeXml[0], d.officeXml[1], d.officeXml[2], d.officeXml[3],
                       d.officeXml[4]};
    return r;
}

std::string Text(const char* field, size_t size) {
    return std::string(tc::BoundedCStr(field, size - 1));
}

BoxSettings FromCreate(const tagUTIL_BOXCREATEINFO& r) {
    BoxSettings s;
    s.owner = Text(r.szUserName, sizeof r.szUserName);
    s.type = r.nBoxType;
    s.valueC = r.nBoxValueC;
    s.valueD = r.nBoxValueD;
    s.name = Text(r.szBoxName, sizeof r.szBoxName);
    s.searchChar = r.nSearchChar;
    s.main = r.nMain;
    s.autoDelTime = r.nAutoDelTime;
    s.textA = Text(r.szBoxTextA, sizeof r.szBoxTextA);
    s.textB = Text(r.szBoxTextB, sizeof r.szBoxTextB);
    s.valueA = r.nBoxValueA;
    s.valueB = r.nBoxValueB;
    s.autoDelTimeType = r.nAutoDelTimeType;
    s.autoDelTimeMinute = r.nAutoDelTimeMinute;
    return s;
}

BoxSettings FromProp(const tagUTIL_BOXPROPINFO& r) {
    BoxSettings s;
    s.name = Text(r.szBoxName, sizeof r.szBoxName);
    s.type = r.nBoxType;
    s.owner = Text(r.szUserName, sizeof r.szUserName);
    s.searchChar = r.nSearchChar;
    s.main = r.nMain;
    s.autoDelTime = r.nAutoDelTime;
    s.textA = Text(r.szBoxTextA, sizeof r.szBoxTextA);
    s.textB = Text(r.szBoxTextB, sizeof r.szBoxTextB);
    s.valueA = r.nBoxValueA;
    s.valueB = r.nBoxValueB;
    s.autoDelTimeType = r.nAutoDelTimeType;
    s.autoDelTimeMinute = r.nAutoDelTimeMinute;
    return s;
}

PrintSetting ToRecord(const PrintSettings& p) {
    PrintSetting r{};
    r.nCopies = p.copies;
    r.nColorMode = p.colour;
    r.nDuplex = p.duplex;
    r.nCollate = p.collate;
    r.nStaple = p.staple;
    r.nPunch = p.punch;
    r.nPaperSize = p.paperSize;
    r.nStartPage = p.startPage;
    r.nEndPage = p.endPage;
    return r;
}

// The request of operations that carry no payload: nothing to parse.
struct NoRequest {};

PrintSettings FromRecord(const PrintSetting& r) {
    PrintSettings p;
    p.copies = r.nCopies;
    p.colour = r.nColorMode;
    p.duplex = r.nDuplex;
    p.collate = r.nCollate;
    p.staple = r.nStaple;
    p.punch = r.nPunch;
    p.paperSize = r.nPaperSize;
    p.startPage = r.nStartPage <= 0 ? 1 : r.nStartPage;
    p.endPage = r.nEndPage;
    return p;
}

// Operations whose reply carries the out flag also when they fail.
bool FlagReply(Op op) {
    return op == Op::kRenameBox || op == Op::kRemoveBox || op == Op::kChangeBox ||
           op == Op::kBoxLogin || op == Op::kRemoveDoc;
}

}  // namespace

// ---------------------------------------------------------------- Engine

std::shared_ptr<Engine> Engine::Open(const std::filesystem::path& root,
                                     const IdentityOverrides& overrides, std::string& error) {
    std::unique_ptr<Device> device = Device::Open(root, overrides, error);
    if (!device) {
        return nullptr;
    }
    std::filesystem::path faults = device->GetStore().FaultsPath();
    return std::shared_ptr<Engine>(new Engine(std::move(device), std::move(faults)));
}

void Engine::Record(const tc::Frame& request) {
    ++requestCount_;
    std::lock_guard<std::mutex> lock(journalMutex_);
    // Dropping the oldest half at once keeps recording cheap on long runs.
    if (journal_.size() >= kJournalLimit)
        journal_.erase(journal_.begin(), journal_.begin() + kJournalLimit / 2);
    journal_.push_back(request);
}

std::vector<tc::Frame> Engine::Journal() const {
    std::lock_guard<std::mutex> lock(journalMutex_);
    return journal_;
}

void Engine::ClearJournal() {
    std::lock_guard<std::mutex> lock(journalMutex_);
    journal_.clear();
}

std::unique_ptr<EngineSession> Engine::NewSession(RawWriter raw, DataWriter data) {
    return std::make_unique<EngineSession>(shared_from_this(), std::move(raw), std::move(data));
}

std::unique_ptr<tc::DeviceLink> Engine::ConnectInProcess() {
    return tc::MakeInProcessLink(NewSession());
}

tc::LinkFactory Engine::InProcessFactory() {
    std::weak_ptr<Engine> weak = weak_from_this();
    return [weak](const tc::LinkTarget&, const tc::WaitControl&,
                  tc::LinkStatus& status) -> std::unique_ptr<tc::DeviceLink> {
        std::shared_ptr<Engine> engine = weak.lock();
        if (!engine) {
            status = tc::LinkStatus::kConnectFailed;
            return nullptr;
        }
        status = tc::LinkStatus::kOk;
        return engine->ConnectInProcess();
    };
}

// ---------------------------------------------------------------- EngineSession

EngineSession::EngineSession(std::shared_ptr<Engine> engine, Engine::RawWriter raw,
                             Engine::DataWriter data)
    : engine_(std::move(engine)),
      session_(engine_->GetDevice()),
      raw_(std::move(raw)),
      data_(std::move(data)) {}

void EngineSession::OnClose() {
    session_.Disconnect();
}

bool EngineSession::SleepUntil(std::chrono::steady_clock::time_point until) {
    using namespace std::chrono;
    while (steady_clock::now() < until) {
        if (stop_ && stop_->load()) {
            dropped_ = true;
            return false;
        }
        std::this_thread::sleep_until(std::min(until, steady_clock::now() + milliseconds(50)));
    }
    return true;
}

void EngineSession::Throttle(size_t bytes) {
    if (faults_.bandwidth <= 0) {
        return;
    }
    using namespace std::chrono;
    auto due = [&] {
        return throttleStart_ +
               duration_cast<steady_clock::duration>(duration<double>(
                   static_cast<double>(throttleBytes_) / static_cast<double>(faults_.bandwidth)));
    };
    auto now = steady_clock::now();
    // Time spent idle is not saved up for a later burst.
    if (throttleBytes_ == 0 || now > due()) {
        throttleStart_ = now;
        throttleBytes_ = 0;
    }
    throttleBytes_ += static_cast<int64_t>(bytes);
    SleepUntil(due());
}

bool EngineSession::Emit(const Frame& f) {
    if (dropped_) {
        return false;
    }
    size_t n = tc::kHeaderSize + f.payload.size();
    Throttle(n);
    if (dropped_) {
        return false;
    }
    if (faults_.dropAfterBytes >= 0 &&
        bytesSent_ + static_cast<int64_t>(n) > faults_.dropAfterBytes) {
        // Cut inside the frame where the budget ends, as a failing link would.
        if (raw_) {
            std::vector<uint8_t> bytes = tc::EncodeFrame(f);
            bytes.resize(static_cast<size_t>(faults_.dropAfterBytes - bytesSent_));
            raw_(bytes);
        }
        bytesSent_ = faults_.dropAfterBytes;
        dropped_ = true;
        return false;
    }
    bytesSent_ += static_cast<int64_t>(n);
    return (*emit_)(f);
}

bool EngineSession::EmitData(const Frame& req, const uint8_t* payload, size_t n) {
    const int64_t total = static_cast<int64_t>(tc::kHeaderSize + n);
    const bool cut = faults_.dropAfterBytes >= 0 && bytesSent_ + total > faults_.dropAfterBytes;
    if (!data_ || cut) {
        Frame f = tc::MakeEmptyFrame(FrameKind::kData, req.op, req.seq);
        f.payload.assign(payload, payload + n);
        return Emit(f);
    }
    if (dropped_) {
        return false;
    }
    Throttle(static_cast<size_t>(total));
    if (dropped_) {
        return false;
    }
    uint8_t header[tc::kHeaderSize];
    tc::EncodeHeader(tc::MakeEmptyFrame(FrameKind::kData, req.op, req.seq), header);
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = static_cast<uint8_t>(n >> (8 * i));  // the payload length
    }
    bytesSent_ += total;
    return data_(header, payload, n);
}

bool EngineSession::Reply(const Frame& req, const Status& s) {
    return Emit(tc::MakeEmptyFrame(FrameKind::kReply, req.op, req.seq, s.code, s.detail));
}

template <class M>
bool EngineSession::Reply(const Frame& req, const Status& s, const M& message) {
    return Emit(tc::MakeFrame(FrameKind::kReply, req.op, req.seq, message, s.code, s.detail));
}

bool EngineSession::SendMalformed(const Frame& req, MalformedKind kind) {
    if (!raw_) {
        // In process, frames cannot be broken below the frame level: answer with a
        // reply that belongs to no request, which the client must refuse.
        Frame f = tc::MakeEmptyFrame(FrameKind::kReply, req.op, req.seq + 1000);
        (*emit_)(f);
        return true;
    }
    std::vector<uint8_t> bytes;
    switch (kind) {
        case MalformedKind::kGarbage:
            bytes.assign(48, 0x3f);
            break;
        case MalformedKind::kLength: {
            Frame f = tc::MakeEmptyFrame(FrameKind::kReply, req.op, req.seq);
            bytes = tc::EncodeFrame(f);
            uint32_t len = tc::kMaxPayload + 1;
            std::memcpy(bytes.data() + 4, &len, sizeof len);
            break;
        }
        case MalformedKind::kTruncated: {
            Frame f = tc::MakeEmptyFrame(FrameKind::kReply, req.op, req.seq);
            f.payload.assign(64, 0);
            bytes = tc::EncodeFrame(f);
            bytes.resize(tc::kHeaderSize + 16);
            break;
        }
    }
    raw_(bytes);
    dropped_ = true;
    return false;
}

tc::Inquiries EngineSession::InquiryBlock(bool loginOnly) {
    tc::Inquiries q;
    const int p = session_.Protocol();
    const Identity id = engine_->GetDevice().GetIdentity();
    int v = 0;
    if (p >= 43 && session_.InquireSecuritySettingOfRXData(v).Ok()) {
        q.SetInt(Inquiry::kRxDataSecurity, v);
    }
    if (p >= 32) {
        int c = 0;
        int e = 0;
        int d = 0;
        if (session_.GetBoxControlPermission(c, e, d).Ok()) {
            q.SetRecord(Inquiry::kBoxControlPermission, tagUTIL_BOXCONTROLPERMISSION{c, e, d});
        }
    }
    if (p >= 32 || (p == 31 && MemoryOptionModel(id.identifier))) {
        if (session_.GetAutoDelTimePermission(v).Ok()) {
            q.SetRecord(Inquiry::kAutoDelTimePermission, tagUTIL_AUTODELTIMEPERMISSION{v, 0});
        }
    }
    if (loginOnly) {
        return q;
    }
    if (p >= 34 && session_.GetHDDCount(v).Ok()) {
        q.SetInt(Inquiry::kHddCount, v);
    }
    if (p >= 32 && session_.GetMono2ColorDocPolicy(v).Ok()) {
        q.SetInt(Inquiry::kMono2ColorPolicy, v);
    }
    if (session_.IsIOption(v).Ok()) {
        q.SetInt(Inquiry::kIOption, v);
    }
    std::vector<int> langs;
    if (p >= 40) {
        int spdf = 0;
        int office = 0;
        if (session_.GetExtendedFormatSupportInfo(spdf, office, langs).Ok()) {
            tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO r{};
            r.nSearchablePDF = spdf;
            r.nOfficeOpenXML = office;
            r.nLangNum = static_cast<int>(std::min<size_t>(langs.size(), QTCP_MAX_LANGUAGES));
            for (int i = 0; i < r.nLangNum; ++i) {
                r.nLang[i] = langs[static_cast<size_t>(i)];
            }
            q.SetRecord(Inquiry::kExtendedFormat, r);
        }
        int pdfA = 0;
        int lin = 0;
        if (session_.GetExtendedFormatSupportInfo2(pdfA, lin).Ok()) {
            tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2 r{};
            r.nXPS = 1;
            r.nCompactPDF = 1;
            r.nPDFA = pdfA;
            r.nLinearizedPDF = lin;
            q.SetRecord(Inquiry::kExtendedFormat2, r);
        }
    } else if (p >= 33) {
        int spdf = 0;
        if (session_.GetSearchablePDFSupportInfo(spdf, langs).Ok()) {
            tagUTIL_SPDF_SUPPORT_INFO r{};
            r.nSearchablePDF = spdf;
            r.nLangNum = static_cast<int>(std::min<size_t>(langs.size(), QTCP_MAX_LANGUAGES));
            for (int i = 0; i < r.nLangNum; ++i) {
                r.nLang[i] = langs[static_cast<size_t>(i)];
            }
            q.SetRecord(Inquiry::kSearchablePdf, r);
        }
    }
    int64_t formats = 0;
    if (p >= 44 && session_.GetOptionalFunction(formats).Ok()) {
        q.SetInt(Inquiry::kOptionalFunction, static_cast<int32_t>(formats));
    }
    if (p >= 49 && session_.InquireEnhancedSecurityMode(v).Ok()) {
        q.SetInt(Inquiry::kEnhancedSecurity, v);
    }
    if (session_.InquireSimpleAuthenticationEnable(v).Ok()) {
        q.SetInt(Inquiry::kSimpleAuth, v);
    }
    if (session_.GetBoxAdminSupport(v).Ok()) {
        q.SetInt(Inquiry::kBoxAdminSupport, v);
    }
    if (session_.IsTrimUserNameInCaseOfLDAPServer(v).Ok()) {
        q.SetInt(Inquiry::kTrimLdapUserName, v);
    }
    if (session_.InquireSupportOfSettingUserName(v).Ok()) {
        q.SetInt(Inquiry::kSettingUserName, v);
    }
    return q;
}

bool EngineSession::Stream(const Frame& req, int64_t size) {
    std::optional<ErrorFault> fault = engine_->GetFaults().ErrorFor("DocStream");
    // A faulty device stops early: half-way with an error end (DocStream), or short of
    // the size it announced with a clean end (stream.short_by).
    int64_t stop = -1;
    if (fault) {
        stop = size / 2;
    } else if (faults_.streamShortBy > 0) {
        stop = std::max<int64_t>(0, size - faults_.streamShortBy);
    }
    // Straight to the socket, frames as large as the protocol recommends for a
    // receiver's 1 MiB reads; through the emitter, the usual chunk.
    const size_t frame = data_ ? kSyntheticSliceMax : tc::kPreferredChunk;
    int64_t sent = 0;
    for (;;) {
        size_t want = frame;
        if (stop >= 0) {
            want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(want), stop - sent));
        }
        const uint8_t* data = nullptr;
        size_t n = 0;
        if (want == 0 || !session_.DocumentSlice(want, data, n).Ok() || n == 0) {
            break;
        }
        if (!EmitData(req, data, n)) {
            // The client aborted (or went away): stop, say so, and wait for its CloseDoc.
            session_.CloseDocument(1);
            streamAborted_ = true;
            Emit(tc::MakeFrame(FrameKind::kEnd, req.op, req.seq, tc::StreamEnd{sent},
                               err::kAborted));
            return !dropped_;
        }
        sent += static_cast<int64_t>(n);
    }
    // After the end frame the device holds nothing open.
    session_.CloseDocument(fault ? 1 : 0);
    int code = fault ? fault->code : 0;
    int detail = fault ? fault->detail : 0;
    return Emit(tc::MakeFrame(FrameKind::kEnd, req.op, req.seq, tc::StreamEnd{sent}, code,
                              detail)) ||
           !dropped_;
}

// A device that says "still working" and never finishes: keep-alive frames until the
// client hangs up or the server stops.
bool EngineSession::KeepAliveForever(const Frame& req) {
    const auto interval = std::chrono::milliseconds(std::max(1, faults_.keepAliveIntervalMs));
    while (Emit(tc::MakeEmptyFrame(FrameKind::kKeepAlive, req.op, req.seq))) {
        if (!SleepUntil(std::chrono::steady_clock::now() + interval)) {
            return false;
        }
    }
    return false;
}

bool EngineSession::Handle(const Frame& req, const tc::FrameEmitter& emit) {
    emit_ = &emit;
    if (dropped_) {
        return false;
    }
    if (stalled_) {
        return true;  // a stalled device keeps the connection and answers nothing
    }
    if (req.kind != FrameKind::kRequest) {
        return false;  // only requests come from a client
    }
    faults_ = engine_->GetFaults().Current();
    engine_->Record(req);
    ++requests_;
    const std::string op = tc::OpName(req.op);
    if ((faults_.stallAfterRequests >= 0 && requests_ > faults_.stallAfterRequests) ||
        OperationMatches(faults_.stallOn, op)) {
        stalled_ = true;
        return true;
    }
    if (OperationMatches(faults_.dropOn, op)) {
        dropped_ = true;
        return false;
    }
    if (OperationMatches(faults_.keepAliveOn, op)) {
        return KeepAliveForever(req);
    }
    if (faults_.latencyMs > 0 && !SleepUntil(std::chrono::steady_clock::now() +
                                             std::chrono::milliseconds(faults_.latencyMs))) {
        return false;
    }
    if (OperationMatches(faults_.malformedOn, op)) {
        return SendMalformed(req, faults_.malformed);
    }
    session_.SetThumbnailFault(faults_.thumbnail, faults_.thumbnailBytes);
    if (std::optional<ErrorFault> e = engine_->GetFaults().ErrorFor(op)) {
        Status s = Fail(e->code, e->detail);
        return Refuse(req, s) || !dropped_;
    }
    bool keep = Dispatch(req, faults_);
    return keep && !dropped_;
}

bool EngineSession::Refuse(const Frame& req, const Status& s) {
    return FlagReply(req.op) ? Reply(req, s, tc::IntMessage{0}) : Reply(req, s);
}

template <class M>
bool EngineSession::Answer(const Frame& req, const Status& s, const M& message) {
    return s.Ok() ? Reply(req, s, message) : Reply(req, s);
}

template <class Req, class Fn>
EngineSession::Handler EngineSession::Row(Fn fn) {
    return [fn](EngineSession& e, const Frame& req) {
        Req in{};
        if constexpr (!std::is_same_v<Req, NoRequest>) {
            if (!tc::ParsePayload(req, in)) {
                e.Refuse(req, Fail(err::kBadRequest));
                return Keep::kOpen;
            }
        }
        // Replies that cannot be delivered are not an error of the session: the next
        // receive notices a closed client. Only a row that says so ends the connection.
        if constexpr (std::is_same_v<decltype(std::invoke(fn, e, req, in)), Keep>) {
            return std::invoke(fn, e, req, in);
        } else {
            std::invoke(fn, e, req, in);
            return Keep::kOpen;
        }
    };
}

// One row per operation: the request it reads, the session call, the reply it builds.
const std::map<Op, EngineSession::Handler>& EngineSession::Operations() {
    using E = EngineSession;
    static const std::map<Op, Handler> rows = {
        {Op::kHello, Row<tc::HelloRequest>([](E& e, const Frame& req, const auto&) {
             Identity id;
             e.session_.GetDeviceInfo(id);
             e.Reply(req, {},
                     tc::HelloReply{id.identifier, id.modelName, id.serial, id.major, id.minor});
         })},
        {Op::kConnect, Row<tc::ConnectRequest>([](E& e, const Frame& req, const auto& in) {
             tc::ConnectReply r;
             Status s = e.session_.Connect(in.protocol, in.unitName, r.userAuthType,
                                           r.accountAuthType, r.publicUserSupport);
             if (s.Ok()) {
                 r.inquiries = e.InquiryBlock(false);
             }
             e.Answer(req, s, r);
         })},
        {Op::kDisconnect, Row<NoRequest>([](E& e, const Frame& req, NoRequest) {
             e.session_.Disconnect();
             e.Reply(req, {});
             return Keep::kClose;
         })},
        {Op::kUserLogin, Row<tc::LoginRequest>(&E::Login)},
        {Op::kAccountLogin, Row<tc::LoginRequest>(&E::Login)},
        {Op::kCustomLogin, Row<tc::CustomLoginRequest>([](E& e, const Frame& req, const auto& in) {
             Restrictions perm{};
             int result = 0;
             Status s = e.session_.CustomizedLogin(in.data, result, perm);
             tc::CustomLoginReply r;
             r.result.nResult = result;
             r.result.nDetail = s.code;
             if (s.Ok()) {
                 CurrentUserInfo info;
                 e.session_.GetUserInfo4CurrentUser(info);
                 tc::CopyToField(r.result.szUserName, sizeof r.result.szUserName, info.user);
                 tc::CopyToField(r.result.szServerName, sizeof r.result.szServerName, info.server);
                 std::memcpy(&r.permission, perm.data(), sizeof r.permission);
             }
             e.Reply(req, s, r);
         })},
        {Op::kCustomLoginInfo,
         Row<tc::CustomLoginInfoRequest>([](E& e, const Frame& req, const auto& in) {
             if (in.maxBytes < 0) {
                 e.Refuse(req, Fail(err::kBadRequest));
                 return;
             }
             std::string info;
             Status s = e.session_.GetCustomizedLoginInformation(in.infoType, info);
             tc::CustomLoginInfoReply r;
             r.totalSize = static_cast<int32_t>(info.size());
             size_t n = std::min<size_t>(
                 {info.size(), static_cast<size_t>(in.maxBytes), tc::kMaxLoginData});
             r.data.assign(info.begin(), info.begin() + static_cast<std::ptrdiff_t>(n));
             e.Answer(req, s, r);
         })},
        {Op::kCurrentUser, Row<NoRequest>([](E& e, const Frame& req, NoRequest) {
             CurrentUserInfo info;
             Status s = e.session_.GetUserInfo4CurrentUser(info);
             tc::CurrentUserReply r;
             tc::CopyToField(r.info.szUserName, sizeof r.info.szUserName, info.user);
             tc::CopyToField(r.info.szServerName, sizeof r.info.szServerName, info.server);
             r.info.nUserType = info.role;
             r.info.nAccountSyncType = info.accountSync;
             tc::CopyToField(r.info.szAccountName, sizeof r.info.szAccountName, info.account);
             e.Answer(req, s, r);
         })},
        {Op::kAuthServerList, Row<NoRequest>([](E& e, const Frame& req, NoRequest) {
             std::vector<std::string> servers;
             Status s = e.session_.GetAuthServerList(servers);
             tc::AuthServerListReply r;
             for (size_t i = 0; i < servers.size() && i < tc::kMaxServers; ++i) {
                 tagUTIL_AUTHSERVERINFO a{};
                 a.nIndex = static_cast<int>(i);
                 tc::CopyToField(a.szServerName, sizeof a.szServerName, servers[i]);
                 tc::CopyToField(a.szDisplayName, sizeof a.szDisplayName, servers[i]);
                 a.nServerType = i == 0 ? 0 : 1;
                 r.servers.push_back(a);
             }
             e.Answer(req, s, r);
         })},
        {Op::kSetAuthServer,
         Row<tc::SetAuthServerRequest>([](E& e, const Frame& req, const auto& in) {
             e.Reply(req, e.session_.SetAuthServerInfo(in.index, in.name, in.second));
         })},
        {Op::kSetSimpleAuth, Row<tc::IntMessage>([](E& e, const Frame& req, const auto& in) {
             Status s = e.session_.SetSimpleAuthentication(in.value);
             int now = 0;
             e.session_.InquireSimpleAuthenticationEnable(now);
             e.Reply(req, s, tc::IntMessage{now});
         })},
        {Op::kSetPublicUserName, Row<tc::TextMessage>([](E& e, const Frame& req, const auto& in) {
             e.Reply(req, e.session_.SetUserNameDuringPublicLogin(in.text));
         })},
        {Op::kInquire, Row<tc::InquireRequest>([](E& e, const Frame& req, const auto& in) {
             if (!e.session_.Connected()) {
                 e.Reply(req, Fail(err::kNoSession));
                 return;
             }
             tc::Inquiries all = e.InquiryBlock(false);
             auto it = all.items.find(in.tag);
             tc::InquireReply r;
             if (it != all.items.end()) {
                 r.inquiries.items[in.tag] = it->second;
             }
             e.Answer(req, it == all.items.end() ? Fail(err::kUnsupported) : Status{}, r);
         })},
        {Op::kForcedAttributes, Row<tc::IntMessage>([](E& e, const Frame& req, const auto& in) {
             tc::ForcedAttributesReply r;
             if (in.value == 0) {
                 r.attributes = {{1, 1, 2}, {2, 0, 0}};
             } else {
                 r.attributes = {{3, 1, 1}};
             }
             e.Answer(req, e.session_.Connected() ? Status{} : Fail(err::kNoSession), r);
         })},
        {Op::kBoxList, Row<tc::IntMessage>([](E& e, const Frame& req, const auto& in) {
             std::vector<Box> boxes;
             Status s = in.value == 1 ? e.session_.GetFilingNumberBoxList(boxes)
                                      : e.session_.GetBoxList(boxes);
             tc::BoxListReply r;
             for (size_t i = 0; i < boxes.size() && i < tc::kMaxBoxes; ++i) {
                 r.boxes.push_back(BoxRecord(boxes[i]));
             }
             e.Answer(req, s, r);
         })},
        {Op::kCreateBox, Row<tc::CreateBoxRequest>([](E& e, const Frame& req, const auto& in) {
             int number = -1;
             Status s = e.session_.CreateBox(FromCreate(in.info), in.password, number);
             e.Answer(req, s, tc::IntMessage{number});
         })},
        {Op::kRenameBox, Row<tc::RenameBoxRequest>([](E& e, const Frame& req, const auto& in) {
             int flag = 0;
             Status s = e.session_.RenameBox(in.boxNo, in.name, in.password, flag);
             e.Reply(req, s, tc::IntMessage{flag});
         })},
        {Op::kRemoveBox, Row<tc::BoxPasswordRequest>([](E& e, const Frame& req, const auto& in) {
             int flag = 0;
             Status s = e.session_.RemoveBox(in.boxNo, in.password, flag);
             e.Reply(req, s, tc::IntMessage{flag});
         })},
        {Op::kChangeBox, Row<tc::ChangeBoxRequest>([](E& e, const Frame& req, const auto& in) {
             int flag = 0;
             Status s = e.session_.ChangeBoxSetting(in.boxNo, in.prop.wMask, FromProp(in.prop),
                                                    in.oldPassword, in.newPassword, flag);
             e.Reply(req, s, tc::IntMessage{flag});
         })},
        {Op::kBoxLogin, Row<tc::BoxPasswordRequest>([](E& e, const Frame& req, const auto& in) {
             int flag = 0;
             Status s = e.session_.BoxLogin(in.boxNo, in.password, flag);
             e.Reply(req, s, tc::IntMessage{flag});
         })},
        {Op::kBoxLogout, Row<NoRequest>([](E& e, const Frame& req, NoRequest) {
             e.Reply(req, e.session_.BoxLogout());
         })},
        {Op::kDocList, Row<NoRequest>([](E& e, const Frame& req, NoRequest) {
             std::vector<Document> docs;
             Status s = e.session_.GetDocumentList(docs);
             tc::DocListReply r;
             for (size_t i = 0; i < docs.size() && i < tc::kMaxDocs; ++i) {
                 r.docs.push_back(DocRecord(docs[i]));
             }
             e.Answer(req, s, r);
         })},
        {Op::kCopyDoc, Row<tc::CopyDocRequest>([](E& e, const Frame& req, const auto& in) {
             int newId = 0;
             e.Reply(req, in.move ? e.session_.MoveDocument(in.docId, in.destBoxNo)
                                  : e.session_.CopyDocument(in.docId, in.destBoxNo, newId));
         })},
        {Op::kRemoveDoc, Row<tc::RemoveDocRequest>([](E& e, const Frame& req, const auto& in) {
             int flag = 0;
             Status s = in.withPassword ? e.session_.RemoveDocument2(in.docId, in.password, flag)
                                        : e.session_.RemoveDocument(in.docId);
             e.Reply(req, s, tc::IntMessage{flag});
         })},
        {Op::kRenameDoc, Row<tc::RenameDocRequest>([](E& e, const Frame& req, const auto& in) {
             e.Reply(req, e.session_.RenameDocument(in.docId, in.name));
         })},
        {Op::kOpenDoc, Row<tc::OpenDocRequest>([](E& e, const Frame& req, const auto& in) {
             int64_t size = 0;
             Status s;
             if (in.form == tc::OpenForm::kParam) {
                 OpenDocumentParams p;
                 p.page = in.param.nPage;
                 p.outputType = in.param.nOutputType;
                 p.colour = in.param.nColor;
                 p.resolution = in.param.nResolution;
                 p.printMode = in.param.nDLPrintMode;
                 s = e.session_.OpenDocument(in.docId, p, size);
             } else {
                 s = e.session_.OpenDocument(in.docId, in.page, in.outputType, size);
             }
             return e.Opened(req, s, size);
         })},
        {Op::kOpenBind, Row<tc::OpenBindRequest>([](E& e, const Frame& req, const auto& in) {
             int64_t size = 0;
             Status s = e.session_.OpenDocumentWithBind(in.docIds, in.bindFormat, size);
             return e.Opened(req, s, size);
         })},
        {Op::kCloseDoc, Row<tc::IntMessage>([](E& e, const Frame& req, const auto& in) {
             Status s = e.session_.CloseDocument(in.value);
             if (!s.Ok() && e.streamAborted_) {
                 s = {};  // the stream this abort was meant for has already stopped
             }
             e.streamAborted_ = false;
             e.Reply(req, s);
         })},
        {Op::kThumbnail, Row<tc::ThumbnailRequest>([](E& e, const Frame& req, const auto& in) {
             int64_t announced = 0;
             Status s = e.session_.OpenThumbnail(in.docId, in.kind, in.format, announced);
             tc::ThumbnailReply r;
             if (s.Ok()) {
                 r.announcedSize =
                     static_cast<int32_t>(std::clamp<int64_t>(announced, INT32_MIN, INT32_MAX));
                 std::vector<uint8_t> chunk;
                 do {
                     e.session_.ReadThumbnail(tc::kMaxPayload, chunk);
                     r.data.insert(r.data.end(), chunk.begin(), chunk.end());
                 } while (!chunk.empty() && r.data.size() < tc::kMaxPayload - 64);
                 e.session_.CloseThumbnail();
             }
             e.Answer(req, s, r);
         })},
        {Op::kSetPrintDoc, Row<tc::IntMessage>([](E& e, const Frame& req, const auto& in) {
             e.Reply(req, e.session_.SetDocument(in.value));
         })},
        {Op::kPrintSettings, Row<tc::IntMessage>([](E& e, const Frame& req, const auto& in) {
             PrintSettings p;
             Status s = in.value == 1 ? e.session_.GetCurrentSetDocumentPrintSettings(p)
                                      : e.session_.GetEffectivePrintSettings(p);
             e.Answer(req, s, tc::PrintSettingMessage{ToRecord(p)});
         })},
        {Op::kPrint, Row<tc::PrintSettingMessage>([](E& e, const Frame& req, const auto& in) {
             std::vector<uint8_t> raw(sizeof in.settings);
             std::memcpy(raw.data(), &in.settings, raw.size());
             PrintSettings p = FromRecord(in.settings);
             int job = 0;
             Status s = e.session_.PrintDocument(p, raw, job);
             PrintSettings printed;
             if (s.Ok()) {
                 e.session_.GetCurrentSetDocumentPrintSettings(printed);
             }
             PrintSetting out = in.settings;
             out.nStartPage = p.startPage;
             if (out.nEndPage == 0) {
                 out.nEndPage = printed.endPage;
             }
             e.Answer(req, s, tc::PrintSettingMessage{out});
         })},
    };
    return rows;
}

// User and account logins share a request and a reply; the form picks the session call.
void EngineSession::Login(const Frame& req, const tc::LoginRequest& in) {
    Restrictions perm{};
    int colour = 0;
    const bool legacy = in.form == tc::LoginForm::kLegacy;
    Status s;
    if (req.op == Op::kUserLogin) {
        s = legacy                              ? session_.UserLogin(in.name, in.password, colour)
            : in.form == tc::LoginForm::kVendor ? session_.VendorLogin(in.name, in.password, perm)
                                                : session_.UserLogin2(in.name, in.password, perm);
    } else {
        s = legacy ? session_.AccountLogin(in.name, in.password, colour)
                   : session_.AccountLogin2(in.name, in.password, perm);
    }
    tc::LoginReply r;
    if (s.Ok()) {
        if (legacy) {
            perm = session_.CurrentRestrictions();
        }
        static_assert(sizeof r.permission == sizeof(int) * kRestrictionCount);
        std::memcpy(&r.permission, perm.data(), sizeof r.permission);
        r.inquiries = InquiryBlock(true);
    }
    Answer(req, s, r);
}

// The reply to an opened document, then its stream.
EngineSession::Keep EngineSession::Opened(const Frame& req, const Status& s, int64_t size) {
    streamAborted_ = false;
    if (!s.Ok()) {
        Reply(req, s);
        return Keep::kOpen;
    }
    if (!Reply(req, s, tc::OpenReply{size})) {
        session_.CloseDocument(1);
        return dropped_ ? Keep::kClose : Keep::kOpen;
    }
    return Stream(req, size) ? Keep::kOpen : Keep::kClose;
}

bool EngineSession::Dispatch(const Frame& req, const FaultConfig&) {
    const auto& rows = Operations();
    auto row = rows.find(req.op);
    if (row == rows.end()) {
        Reply(req, Fail(err::kUnsupported));
        return true;
    }
    return row->second(*this, req) == Keep::kOpen;
}

}  // namespace mfpsim
