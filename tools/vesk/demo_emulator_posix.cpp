#include "tools/mfpsim/lib/server.h"
#include "tools/vesk/demo_emulator.h"
#include "tools/vesk/errors.h"

namespace vesk::cli {

namespace {

class InProcessEmulator : public BuiltInEmulator {
public:
    explicit InProcessEmulator(const std::filesystem::path& folder) {
        mfpsim::ServerOptions o;
        o.root = folder;
        m_server = std::make_unique<mfpsim::Server>(o);
        if (!m_server->Start())
            throw Failure(m_server->Error());
    }
    int Port() const override { return m_server->Port(); }
    int TlsPort() const override { return m_server->TlsPort(); }
    std::vector<std::string> Describe() const override {
        const mfpsim::Identity id = m_server->GetEngine().GetDevice().GetIdentity();
        return {"device " + id.identifier + ", protocol " + std::to_string(id.major) + "." +
                std::to_string(id.minor)};
    }
    void Stop() override { m_server->Stop(); }

private:
    std::unique_ptr<mfpsim::Server> m_server;
};

}  // namespace

bool HasBuiltInEmulator(std::string&) {
    return true;
}

std::unique_ptr<BuiltInEmulator> StartBuiltInEmulator(const std::filesystem::path& folder) {
    return std::make_unique<InProcessEmulator>(folder);
}

}  // namespace vesk::cli
