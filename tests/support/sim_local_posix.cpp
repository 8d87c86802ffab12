#include "support/sim_local.h"

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "core/current_tcpcore.h"
#include "tcpcore/wire.h"

namespace vesk::test {

namespace fs = std::filesystem;

struct ScriptedLinks::Shared {
    std::shared_ptr<mfpsim::Engine> engine;
    Script script;
    std::mutex mutex;
    std::vector<tc::Frame> requests;
    std::atomic<int> sessions{0};
};

namespace {

class ScriptedSession : public tc::DeviceSession {
public:
    explicit ScriptedSession(std::shared_ptr<ScriptedLinks::Shared> shared)
        : m_shared(std::move(shared)), m_inner(m_shared->engine->NewSession()) {}

    bool Handle(const tc::Frame& request, const tc::FrameEmitter& emit) override {
        {
            std::lock_guard<std::mutex> lock(m_shared->mutex);
            m_shared->requests.push_back(request);
        }
        const ScriptedLinks::Script& script = m_shared->script;
        const tc::FrameEmitter rewrite = [&](const tc::Frame& frame) {
            if (!script.onReply)
                return emit(frame);
            tc::Frame changed = frame;
            script.onReply(changed);
            return emit(changed);
        };
        if (script.onRequest && script.onRequest(request, rewrite))
            return true;
        return m_inner->Handle(request, rewrite);
    }
    void OnClose() override { m_inner->OnClose(); }

private:
    std::shared_ptr<ScriptedLinks::Shared> m_shared;
    std::unique_ptr<mfpsim::EngineSession> m_inner;
};

}  // namespace

ScriptedLinks::ScriptedLinks(std::shared_ptr<mfpsim::Engine> engine, Script script)
    : m_shared(std::make_shared<Shared>()) {
    m_shared->engine = std::move(engine);
    m_shared->script = std::move(script);
    std::shared_ptr<Shared> shared = m_shared;
    tc::SetLinkFactory([shared](const tc::LinkTarget&, const tc::WaitControl&,
                                tc::LinkStatus& status) -> std::unique_ptr<tc::DeviceLink> {
        status = tc::LinkStatus::kOk;
        ++shared->sessions;
        return tc::MakeInProcessLink(std::make_unique<ScriptedSession>(shared));
    });
}

ScriptedLinks::~ScriptedLinks() {
    // The objects that used these links go first, so no link outlives its factory.
    delete vesk::SetCurrentTcpCore(nullptr);
    tc::SetLinkFactory({});
}

std::vector<tc::Frame> ScriptedLinks::Requests() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->requests;
}

int ScriptedLinks::Sessions() {
    return m_shared->sessions;
}

tc::Frame FailureReply(const tc::Frame& request, int status) {
    return tc::MakeEmptyFrame(tc::FrameKind::kReply, request.op, request.seq, status);
}

}  // namespace vesk::test
