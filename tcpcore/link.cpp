// Link plumbing: the factory seam, the not-connected link, the park slot and the
// in-process link. The socket links are in socket_link_posix.cpp and socket_link_win32.cpp,
// on the framing of framed_link.cpp.
#include "tcpcore/link.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace vesk::tcpcore {

int Deadline::RemainingMs(int cap) const {
    if (at_ == Clock::time_point::max())
        return cap;
    const auto now = Clock::now();
    if (now >= at_)
        return 0;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - now).count();
    return static_cast<int>(std::min<long long>(ms + 1, cap));
}

const char* LinkStatusName(LinkStatus s) {
    switch (s) {
        case LinkStatus::kOk:
            return "ok";
        case LinkStatus::kTimeout:
            return "time-out";
        case LinkStatus::kClosed:
            return "closed";
        case LinkStatus::kCancelled:
            return "cancelled";
        case LinkStatus::kProtocol:
            return "protocol error";
        case LinkStatus::kTls:
            return "TLS error";
        case LinkStatus::kConnectFailed:
            return "connect failed";
        case LinkStatus::kResolveFailed:
            return "resolve failed";
        case LinkStatus::kIo:
            return "I/O error";
    }
    return "?";
}

namespace {

class NotConnectedLink final : public DeviceLink {
public:
    LinkStatus Send(const Frame&, const WaitControl&) override { return LinkStatus::kClosed; }
    LinkStatus Receive(Frame&, const WaitControl&) override { return LinkStatus::kClosed; }
    bool IsOpen() override { return false; }
    void Close() override {}
    LinkInfo Info() const override { return {}; }
};

// ---------------------------------------------------------------------------

// State shared by the link and its handler thread. The thread owns a reference, so
// a link can be closed (and destroyed) while a stuck device handler is still busy:
// the client never waits on the device to give up.
struct InProcessShared {
    std::unique_ptr<DeviceSession> session;
    std::mutex m;
    std::condition_variable cv;
    std::deque<Frame> requests;
    std::deque<std::vector<std::uint8_t>> replies;
    std::size_t queuedBytes = 0;
    bool closed = false;
    bool peerDone = false;    // the device side hung up after its last frames
    bool workerDone = false;  // the handler thread has finished

    // Up to this many bytes of frames wait for the client; a stream then blocks in
    // emit, as it would on a full socket.
    static constexpr std::size_t kQueueLimit = 4u << 20;

    bool AbortPendingLocked() const {
        return std::any_of(requests.begin(), requests.end(),
                           [](const Frame& r) { return r.op == Op::kCloseDoc; });
    }

    bool Emit(const Frame& f) {
        std::vector<std::uint8_t> bytes = EncodeFrame(f);
        std::unique_lock lock(m);
        const bool streamFrame = f.kind == FrameKind::kData || f.kind == FrameKind::kKeepAlive;
        cv.wait(lock, [&] {
            return closed || replies.empty() || queuedBytes + bytes.size() <= kQueueLimit ||
                   (streamFrame && AbortPendingLocked());
        });
        if (closed || (streamFrame && AbortPendingLocked()))
            return false;
        queuedBytes += bytes.size();
        replies.push_back(std::move(bytes));
        cv.notify_all();
        return true;
    }

    static void Run(std::shared_ptr<InProcessShared> self) {
        const FrameEmitter emit = [raw = self.get()](const Frame& f) { return raw->Emit(f); };
        for (;;) {
            Frame req;
            {
                std::unique_lock lock(self->m);
                self->cv.wait(lock, [&] { return self->closed || !self->requests.empty(); });
                if (self->closed)
                    break;
                req = std::move(self->requests.front());
                self->requests.pop_front();
            }
            if (!self->session->Handle(req, emit)) {
                std::lock_guard lock(self->m);
                self->peerDone = true;
                self->cv.notify_all();
                break;
            }
        }
        self->session->OnClose();
        std::lock_guard lock(self->m);
        self->workerDone = true;
        self->cv.notify_all();
    }
};

class InProcessLink final : public DeviceLink {
public:
    explicit InProcessLink(std::unique_ptr<DeviceSession> session)
        : s_(std::make_shared<InProcessShared>()) {
        s_->session = std::move(session);
        worker_ = std::thread(&InProcessShared::Run, s_);
    }
    ~InProcessLink() override { Close(); }

    LinkStatus Send(const Frame& f, const WaitControl&) override {
        if (f.payload.size() > kMaxPayload)
            return LinkStatus::kProtocol;
        std::lock_guard lock(s_->m);
        if (s_->closed || s_->peerDone)
            return LinkStatus::kClosed;
        s_->requests.push_back(f);
        s_->cv.notify_all();
        return LinkStatus::kOk;
    }

    LinkStatus Receive(Frame& f, const WaitControl& wc) override {
        std::unique_lock lock(s_->m);
        for (;;) {
            if (!s_->replies.empty()) {
                std::vector<std::uint8_t> bytes = std::move(s_->replies.front());
                s_->replies.pop_front();
                s_->queuedBytes -= bytes.size();
                s_->cv.notify_all();
                lock.unlock();
                std::size_t used = 0;
                if (DecodeFrame(bytes.data(), bytes.size(), f, used) != DecodeStatus::kOk ||
                    used != bytes.size()) {
                    Close();
                    return LinkStatus::kProtocol;
                }
                return LinkStatus::kOk;
            }
            if (s_->closed || s_->peerDone)
                return LinkStatus::kClosed;
            if (wc.deadline.Expired())
                return LinkStatus::kTimeout;
            lock.unlock();
            const bool cancel = wc.IsCancelled();
            lock.lock();
            if (cancel)
                return LinkStatus::kCancelled;
            if (s_->replies.empty() && !s_->closed && !s_->peerDone)
                s_->cv.wait_for(lock, std::chrono::milliseconds(wc.deadline.RemainingMs(50)));
        }
    }

    bool IsOpen() override {
        std::lock_guard lock(s_->m);
        return !s_->closed && !(s_->peerDone && s_->replies.empty());
    }

    void Close() override {
        bool finished;
        {
            std::unique_lock lock(s_->m);
            s_->closed = true;
            s_->cv.notify_all();
            // A handler that ends promptly is joined; a stuck one is left to finish on
            // its own with the shared state it holds.
            finished = s_->cv.wait_for(lock, std::chrono::milliseconds(200),
                                       [&] { return s_->workerDone; });
        }
        if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) {
            if (finished)
                worker_.join();
            else
                worker_.detach();
        }
    }

    LinkInfo Info() const override {
        LinkInfo i;
        i.peer = "in-process";
        return i;
    }

private:
    std::shared_ptr<InProcessShared> s_;
    std::thread worker_;
};

// ---------------------------------------------------------------------------

std::mutex& FactoryMutex() {
    static std::mutex m;
    return m;
}
LinkFactory& Factory() {
    static LinkFactory f;
    return f;
}

struct ParkSlot {
    std::mutex m;
    LinkTarget target;
    std::unique_ptr<DeviceLink> link;
    Clock::time_point expiry;
};
ParkSlot& Slot() {
    static ParkSlot s;
    return s;
}
constexpr auto kParkTime = std::chrono::seconds(10);

bool SameTarget(const LinkTarget& a, const LinkTarget& b) {
    return a.host == b.host && a.port == b.port && a.mode == b.mode;
}

}  // namespace

std::unique_ptr<DeviceLink> MakeNotConnectedLink() {
    return std::make_unique<NotConnectedLink>();
}

std::unique_ptr<DeviceLink> MakeInProcessLink(std::unique_ptr<DeviceSession> session) {
    if (!session)
        return MakeNotConnectedLink();
    return std::make_unique<InProcessLink>(std::move(session));
}

LinkFactory SetLinkFactory(LinkFactory factory) {
    DropParkedLink();
    std::lock_guard lock(FactoryMutex());
    LinkFactory previous = std::move(Factory());
    Factory() = std::move(factory);
    return previous;
}

std::unique_ptr<DeviceLink> OpenLink(const LinkTarget& target, const WaitControl& wc,
                                     LinkStatus& status) {
    LinkFactory f;
    {
        std::lock_guard lock(FactoryMutex());
        f = Factory();
    }
    std::unique_ptr<DeviceLink> link =
        f ? f(target, wc, status) : OpenSocketLink(target, wc, status);
    if (!link && status == LinkStatus::kOk)
        status = LinkStatus::kConnectFailed;
    return link;
}

void ParkLink(const LinkTarget& target, std::unique_ptr<DeviceLink> link) {
    std::unique_ptr<DeviceLink> old;
    {
        ParkSlot& s = Slot();
        std::lock_guard lock(s.m);
        old = std::move(s.link);
        s.target = target;
        s.link = std::move(link);
        s.expiry = Clock::now() + kParkTime;
    }
    if (old)
        old->Close();
}

std::unique_ptr<DeviceLink> TakeParkedLink(const LinkTarget& target) {
    std::unique_ptr<DeviceLink> link;
    {
        ParkSlot& s = Slot();
        std::lock_guard lock(s.m);
        if (!s.link)
            return nullptr;
        link = std::move(s.link);
        if (!SameTarget(s.target, target) || Clock::now() >= s.expiry) {
            // Not for this caller, or too old: drop it rather than keep a stale socket.
            link->Close();
            return nullptr;
        }
    }
    if (!link->IsOpen())
        return nullptr;
    return link;
}

void DropParkedLink() {
    std::unique_ptr<DeviceLink> old;
    {
        ParkSlot& s = Slot();
        std::lock_guard lock(s.m);
        old = std::move(s.link);
    }
    if (old)
        old->Close();
}

}  // namespace vesk::tcpcore
