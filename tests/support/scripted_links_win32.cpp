// On Windows the emulator runs behind its control service, in another process: each link
// carries what the script leaves to the emulator's plain port over a connection of its
// own, and hands the device's frames back as they come.
#include <chrono>

#include "support/scripted_links.h"

namespace vesk::test {

namespace {

// No wait here is the one that fails a test (the client's are); this one only ends a
// link the device never answers.
tc::WaitControl DeviceWait() {
    tc::WaitControl wc;
    wc.deadline = tc::Deadline::In(std::chrono::minutes(3));
    return wc;
}

bool IsStreamFrame(const tc::Frame& f) {
    return f.kind == tc::FrameKind::kData || f.kind == tc::FrameKind::kKeepAlive;
}

// A request's answer is every frame up to its reply (keep-alives, and the rest of a
// stream the client aborted with this request), then, after a successful open, the
// stream up to its end frame.
class ForwardingSession : public tc::DeviceSession {
public:
    explicit ForwardingSession(std::unique_ptr<tc::DeviceLink> link) : m_link(std::move(link)) {}

    bool Handle(const tc::Frame& request, const tc::FrameEmitter& emit) override {
        if (m_link->Send(request, DeviceWait()) != tc::LinkStatus::kOk)
            return false;
        bool streaming = false;
        for (;;) {
            tc::Frame f;
            // A connection the device dropped ends the client's link as well.
            if (m_link->Receive(f, DeviceWait()) != tc::LinkStatus::kOk)
                return false;
            const bool delivered = emit(f);
            if (streaming && IsStreamFrame(f) && !delivered)
                return true;  // the client aborts: the rest comes before its CloseDoc reply
            if (streaming && f.kind == tc::FrameKind::kEnd)
                return true;
            if (streaming || f.kind != tc::FrameKind::kReply)
                continue;
            streaming = f.status == 0 &&
                        (request.op == tc::Op::kOpenDoc || request.op == tc::Op::kOpenBind);
            if (!streaming)
                return request.op != tc::Op::kDisconnect;  // the device closes after it
        }
    }
    void OnClose() override { m_link->Close(); }

private:
    std::unique_ptr<tc::DeviceLink> m_link;
};

}  // namespace

DeviceSessions DeviceSessionsOf(SimDevice& device) {
    // The tests may leave the device unserved, for links in process: here it must serve.
    if (device.Port() <= 0)
        device.Start(true, false);
    return [port = device.Port()](const tc::WaitControl& wc,
                                  tc::LinkStatus& status) -> std::unique_ptr<tc::DeviceSession> {
        std::unique_ptr<tc::DeviceLink> link =
            tc::OpenSocketLink({"127.0.0.1", port, 0}, wc, status);
        if (!link)
            return nullptr;
        return std::make_unique<ForwardingSession>(std::move(link));
    };
}

}  // namespace vesk::test
