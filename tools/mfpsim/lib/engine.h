// The emulator's protocol side: an Engine holds one device (state, folder, faults) and
// hands out one EngineSession per client connection; a session turns request frames
// into device operations and their results into reply, data and end frames. Works
// behind the socket server and, for tests, behind an in-process link.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tcpcore/link.h"
#include "tcpcore/wire.h"
#include "tools/mfpsim/lib/device.h"
#include "tools/mfpsim/lib/faults.h"

namespace mfpsim {

namespace tc = vesk::tcpcore;

class EngineSession;

class Engine : public std::enable_shared_from_this<Engine> {
public:
    // Opens the device folder (a missing or empty one receives the sample device).
    static std::shared_ptr<Engine> Open(const std::filesystem::path& root,
                                        const IdentityOverrides& overrides, std::string& error);

    Device& GetDevice() { return *device_; }
    Faults& GetFaults() { return faults_; }
    // Requests received from every session so far, for tests that must see that a
    // client sent nothing.
    int64_t RequestCount() const { return requestCount_.load(); }
    // Counts the request and keeps it in the journal.
    void Record(const tc::Frame& request);

    // The journal: the request frames of every session, oldest first (at most the
    // last kJournalLimit), so that tests can see what the client carried.
    static constexpr size_t kJournalLimit = 4096;
    std::vector<tc::Frame> Journal() const;
    void ClearJournal();
    // The journal's requests of one operation, decoded (frames that do not parse as
    // Req are left out).
    template <class Req>
    std::vector<Req> Requests(tc::Op op) const {
        std::vector<Req> out;
        for (const tc::Frame& f : Journal()) {
            Req r{};
            if (f.op == op && tc::ParsePayload(f, r))
                out.push_back(r);
        }
        return out;
    }

    // Writes raw bytes towards the client, bypassing framing (malformed frames, a
    // connection cut inside a frame). Given by the socket server; absent in-process.
    using RawWriter = std::function<bool(const std::vector<uint8_t>&)>;
    // Sends one document data frame given as its header and a payload that stays
    // where it is, so a stream goes out of the document's buffer without a copy; false
    // as the frame emitter (client gone, or an abort arrived). Given by the socket
    // server; without it data frames go through the frame emitter.
    using DataWriter = std::function<bool(const uint8_t* header, const uint8_t* payload, size_t n)>;
    std::unique_ptr<EngineSession> NewSession(RawWriter raw = {}, DataWriter data = {});

    // A client link whose far end is a new session of this device, in this process.
    std::unique_ptr<tc::DeviceLink> ConnectInProcess();
    // A link factory for tc::SetLinkFactory: every connection the client opens, whatever
    // its target, reaches a new in-process session of this device.
    tc::LinkFactory InProcessFactory();

private:
    Engine(std::unique_ptr<Device> device, std::filesystem::path faultsFile)
        : device_(std::move(device)), faults_(std::move(faultsFile)) {}

    std::unique_ptr<Device> device_;
    Faults faults_;
    std::atomic<int64_t> requestCount_{0};
    mutable std::mutex journalMutex_;
    std::vector<tc::Frame> journal_;
};

class EngineSession : public tc::DeviceSession {
public:
    EngineSession(std::shared_ptr<Engine> engine, Engine::RawWriter raw,
                  Engine::DataWriter data = {});

    bool Handle(const tc::Frame& request, const tc::FrameEmitter& emit) override;
    void OnClose() override;

    Session& GetSession() { return session_; }
    // Set by the server: injected delays end early once it is stopping.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }

private:
    // What handling a request leaves of the connection.
    enum class Keep : bool { kClose = false, kOpen = true };
    using Handler = std::function<Keep(EngineSession&, const tc::Frame&)>;
    // The operations the device answers, by request type.
    static const std::map<tc::Op, Handler>& Operations();
    // A row of that table: parses the request as `Req` (or refuses it as a bad request)
    // and hands it to `fn(session, frame, request)`, which replies.
    template <class Req, class Fn>
    static Handler Row(Fn fn);

    bool Dispatch(const tc::Frame& req, const FaultConfig& faults);
    bool Emit(const tc::Frame& f);
    bool EmitData(const tc::Frame& req, const uint8_t* payload, size_t n);
    bool Reply(const tc::Frame& req, const Status& s);
    template <class M>
    bool Reply(const tc::Frame& req, const Status& s, const M& message);
    // Replies with the message on success, with the status alone otherwise.
    template <class M>
    bool Answer(const tc::Frame& req, const Status& s, const M& message);
    // A failure reply; operations that report a refusal flag carry it (as 0) also here.
    bool Refuse(const tc::Frame& req, const Status& s);
    void Login(const tc::Frame& req, const tc::LoginRequest& in);
    Keep Opened(const tc::Frame& req, const Status& s, int64_t size);
    bool Stream(const tc::Frame& req, int64_t size);
    bool SendMalformed(const tc::Frame& req, MalformedKind kind);
    bool KeepAliveForever(const tc::Frame& req);
    tc::Inquiries InquiryBlock(bool loginOnly);
    void Throttle(size_t bytes);
    // Sleeps until `until` unless the server stops first; false when it did.
    bool SleepUntil(std::chrono::steady_clock::time_point until);

    std::shared_ptr<Engine> engine_;
    Session session_;
    Engine::RawWriter raw_;
    Engine::DataWriter data_;
    const std::atomic<bool>* stop_ = nullptr;
    const tc::FrameEmitter* emit_ = nullptr;
    FaultConfig faults_;  // for the request being handled
    int64_t bytesSent_ = 0;
    int64_t requests_ = 0;
    bool stalled_ = false;
    bool dropped_ = false;
    bool streamAborted_ = false;
    std::chrono::steady_clock::time_point throttleStart_{};
    int64_t throttleBytes_ = 0;
};

}  // namespace mfpsim
