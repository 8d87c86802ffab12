#include "test_device.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace vesk::tcpcore::test {

namespace {

class ScriptedSession final : public DeviceSession {
public:
    explicit ScriptedSession(std::shared_ptr<DeviceScript> s) : s_(std::move(s)) { ++s_->sessions; }

    bool Handle(const Frame& req, const FrameEmitter& emit) override {
        {
            std::lock_guard lock(s_->m);
            s_->seen.push_back(req.op);
        }
        if (req.op == s_->stallOn) {
            WaitForRelease();
            return false;
        }
        auto refused = s_->refuse.find(req.op);
        if (refused != s_->refuse.end()) {
            emit(MakeFrame(FrameKind::kReply, req.op, req.seq, IntMessage{refused->second.second},
                           refused->second.first, 7));
            return true;
        }
        switch (req.op) {
            case Op::kHello: {
                HelloReply r;
                r.deviceId = s_->deviceId;
                r.model = "Test MFP";
                r.serial = "SN1";
                r.major = s_->major;
                r.minor = s_->minor;
                return Reply(req, emit, r);
            }
            case Op::kConnect: {
                ConnectReply r;
                r.userAuthType = s_->userAuth;
                r.accountAuthType = s_->accountAuth;
                r.publicUserSupport = s_->publicSupport;
                r.inquiries = s_->inquiries;
                return Reply(req, emit, r);
            }
            case Op::kDisconnect:
                emit(MakeEmptyFrame(FrameKind::kReply, req.op, req.seq));
                return false;
            case Op::kInquire: {
                InquireRequest q;
                if (!ParsePayload(req, q))
                    return Fail(req, emit, QTCP_DEV_BAD_REQUEST);
                auto it = s_->extraInquiries.items.find(q.tag);
                if (it == s_->extraInquiries.items.end())
                    return Fail(req, emit, QTCP_DEV_UNSUPPORTED);
                InquireReply r;
                r.inquiries.items[q.tag] = it->second;
                return Reply(req, emit, r);
            }
            case Op::kBoxList: {
                BoxListReply r;
                r.boxes = s_->boxes;
                return Reply(req, emit, r);
            }
            case Op::kBoxLogin: {
                BoxPasswordRequest b;
                if (!ParsePayload(req, b))
                    return Fail(req, emit, QTCP_DEV_BAD_REQUEST);
                auto it = s_->boxPasswords.find(b.boxNo);
                if (it != s_->boxPasswords.end() && it->second != b.password) {
                    emit(MakeFrame(FrameKind::kReply, req.op, req.seq, IntMessage{1},
                                   QTCP_DEV_BOX_PASSWORD));
                    return true;
                }
                return Reply(req, emit, IntMessage{0});
            }
            case Op::kCreateBox:
                return Reply(req, emit, IntMessage{42});
            case Op::kOpenDoc:
                return Stream(req, emit);
            case Op::kCloseDoc:
                emit(MakeEmptyFrame(FrameKind::kReply, req.op, req.seq, QTCP_DEV_NOT_OPEN));
                return true;
            case Op::kThumbnail: {
                ThumbnailReply r;
                r.announcedSize = s_->thumbAnnounced;
                r.data = s_->thumbData;
                return Reply(req, emit, r);
            }
            default:
                return Fail(req, emit, QTCP_DEV_UNSUPPORTED);
        }
    }

private:
    template <class M>
    bool Reply(const Frame& req, const FrameEmitter& emit, const M& m) {
        emit(MakeFrame(FrameKind::kReply, req.op, req.seq, m));
        return true;
    }
    bool Fail(const Frame& req, const FrameEmitter& emit, int status) {
        emit(MakeEmptyFrame(FrameKind::kReply, req.op, req.seq, status, 3));
        return true;
    }
    void WaitForRelease() {
        while (!s_->release)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    bool Stream(const Frame& req, const FrameEmitter& emit) {
        const std::vector<std::uint8_t>& doc = s_->document;
        OpenReply open;
        open.totalSize =
            s_->announced == -2 ? static_cast<std::int64_t>(doc.size()) : s_->announced;
        if (!Reply(req, emit, open))
            return false;
        std::size_t sent = 0;
        while (sent < doc.size()) {
            std::size_t n = std::min(s_->chunk, doc.size() - sent);
            Frame data = MakeEmptyFrame(FrameKind::kData, req.op, req.seq);
            data.payload.assign(doc.begin() + static_cast<std::ptrdiff_t>(sent),
                                doc.begin() + static_cast<std::ptrdiff_t>(sent + n));
            if (!emit(data)) {
                ++s_->aborts;
                emit(MakeFrame(FrameKind::kEnd, req.op, req.seq,
                               StreamEnd{static_cast<std::int64_t>(sent)}, QTCP_DEV_ABORTED));
                return true;
            }
            sent += n;
        }
        const std::int64_t count =
            s_->endCount >= 0 ? s_->endCount : static_cast<std::int64_t>(sent);
        emit(MakeFrame(FrameKind::kEnd, req.op, req.seq, StreamEnd{count}, s_->endStatus, 5));
        return true;
    }

    std::shared_ptr<DeviceScript> s_;
};

}  // namespace

std::unique_ptr<DeviceSession> MakeScriptedSession(std::shared_ptr<DeviceScript> script) {
    return std::make_unique<ScriptedSession>(std::move(script));
}

tagUTIL_BOXINFO MakeBox(int number, const char* name, const char* owner) {
    tagUTIL_BOXINFO b{};
    b.lBoxNo = number;
    CopyToField(b.szBoxName, sizeof b.szBoxName, name);
    CopyToField(b.szUserName, sizeof b.szUserName, owner);
    CopyToField(b.szEntryDate, sizeof b.szEntryDate, "2024/03/04 09:05:03");
    b.nAutoDelTimeType = 1;
    b.nAutoDelTimeMinute = 30;
    return b;
}

std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return v;
}

}  // namespace vesk::tcpcore::test
