#include "support/sim_device.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tcpcore/link.h"
#include "tools/mfpsim/lib/state_json.h"

namespace vesk::test {

namespace tc = vesk::tcpcore;
using nlohmann::json;

SimDevice::SimDevice(const SimOptions& options)
    : m_backend(options.service.empty() ? MakeDefaultSimBackend()
                                        : MakeServiceSimBackend(options.service)) {
    std::string error;
    m_ready = m_backend->Create(options, error);
    if (!m_ready)
        ADD_FAILURE() << error;
}

SimDevice::~SimDevice() {
    // A connection parked by a device query must not outlive the device it reached.
    tc::DropParkedLink();
    Stop();
}

bool SimDevice::Start(bool plain, bool tls) {
    if (!m_ready)
        return false;
    std::string error;
    if (!m_backend->Start(plain, tls, error)) {
        ADD_FAILURE() << "the emulator did not start: " << error;
        return false;
    }
    return true;
}

void SimDevice::Stop() {
    if (m_ready)
        m_backend->Stop();
}

mfpsim::DeviceState SimDevice::State() {
    mfpsim::DeviceState state;
    std::string error;
    EXPECT_TRUE(m_ready && m_backend->State(state, error)) << error;
    return state;
}

void SimDevice::SetFaults(const mfpsim::FaultConfig& faults) {
    std::string error;
    EXPECT_TRUE(m_ready && m_backend->SetFaults(faults, error)) << error;
}

std::vector<tc::Frame> SimDevice::Journal() {
    std::vector<tc::Frame> frames;
    int64_t count = 0;
    std::string error;
    EXPECT_TRUE(m_ready && m_backend->Journal(frames, count, error)) << error;
    return frames;
}

void SimDevice::ClearJournal() {
    std::string error;
    EXPECT_TRUE(m_ready && m_backend->ClearJournal(error)) << error;
}

int64_t SimDevice::RequestCount() {
    std::vector<tc::Frame> frames;
    int64_t count = 0;
    std::string error;
    EXPECT_TRUE(m_ready && m_backend->Journal(frames, count, error)) << error;
    return count;
}

int SimDevice::ActiveConnections() {
    int active = 0;
    int64_t accepted = 0;
    std::string error;
    EXPECT_TRUE(m_ready && m_backend->Connections(active, accepted, error)) << error;
    return active;
}

int64_t SimDevice::AcceptedConnections() {
    int active = 0;
    int64_t accepted = 0;
    std::string error;
    EXPECT_TRUE(m_ready && m_backend->Connections(active, accepted, error)) << error;
    return accepted;
}

namespace {

// The emulator behind the control service: every call is one request line and one
// reply line on the device's own connection.
class ServiceBackend : public SimDevice::Backend {
public:
    explicit ServiceBackend(std::string address) : m_address(std::move(address)) {}

    bool Create(const SimOptions& options, std::string& error) override {
        if (!m_channel.Connect(m_address, error))
            return false;
        json request{{"op", "create"}, {"overrides", mfpsim::OverridesToJson(options.overrides)}};
        if (options.edit) {
            // The edit runs here, on the sample as the service holds it.
            json reply;
            mfpsim::DeviceState state;
            if (!Call({{"op", "sample"}}, reply, error) ||
                !mfpsim::StateFromJson(reply["state"], state, error))
                return false;
            options.edit(state);
            request["state"] = mfpsim::StateToJson(state);
        }
        json reply;
        if (!Call(request, reply, error))
            return false;
        m_id = reply.value("id", 0);
        m_root = FromServicePath(reply.value("root", ""));
        return true;
    }
    bool Start(bool plain, bool tls, std::string& error) override {
        json reply;
        if (!Call({{"op", "start"}, {"plain", plain}, {"tls", tls}}, reply, error))
            return false;
        m_port = reply.value("port", -1);
        m_tlsPort = reply.value("tlsPort", -1);
        m_sha256 = reply.value("sha256", "");
        return true;
    }
    int Port(int mode) const override { return mode == 1 ? m_tlsPort : m_port; }
    std::string CertificateSha256() const override { return m_sha256; }
    void Stop() override {
        json reply;
        std::string error;
        Call({{"op", "stop"}}, reply, error);
    }
    bool State(mfpsim::DeviceState& state, std::string& error) override {
        json reply;
        return Call({{"op", "state"}}, reply, error) &&
               mfpsim::StateFromJson(reply["state"], state, error);
    }
    bool SetFaults(const mfpsim::FaultConfig& faults, std::string& error) override {
        json keys = json::object();
        const mfpsim::KeyValues kv = faults.ToKeyValues();
        for (const auto& [key, value] : kv.All())
            keys[key] = value;
        json reply;
        return Call({{"op", "faults"}, {"keys", keys}}, reply, error);
    }
    bool Journal(std::vector<tc::Frame>& frames, int64_t& count, std::string& error) override {
        json reply;
        if (!Call({{"op", "journal"}}, reply, error))
            return false;
        for (const json& hex : reply["frames"]) {
            std::vector<uint8_t> bytes;
            tc::Frame f;
            size_t used = 0;
            if (!mfpsim::FromHex(hex.get<std::string>(), bytes) ||
                tc::DecodeFrame(bytes.data(), bytes.size(), f, used) != tc::DecodeStatus::kOk) {
                error = "the journal holds a frame that does not decode";
                return false;
            }
            frames.push_back(std::move(f));
        }
        count = reply.value("requests", int64_t{0});
        return true;
    }
    bool ClearJournal(std::string& error) override {
        json reply;
        return Call({{"op", "clear-journal"}}, reply, error);
    }
    bool Connections(int& active, int64_t& accepted, std::string& error) override {
        json reply;
        if (!Call({{"op", "connections"}}, reply, error))
            return false;
        active = reply.value("active", 0);
        accepted = reply.value("accepted", int64_t{0});
        return true;
    }
    const std::filesystem::path& Root() const override { return m_root; }

private:
    bool Call(json request, json& reply, std::string& error) {
        if (m_id)
            request["id"] = m_id;
        std::string line;
        if (!m_channel.Send(request.dump() + "\n") || !m_channel.ReadLine(line)) {
            error = "the emulator service at " + m_address + " did not answer";
            return false;
        }
        reply = json::parse(line, nullptr, false);
        if (!reply.is_object() || !reply.value("ok", false)) {
            error = "the emulator service refused " + request.value("op", "") + ": " +
                    (reply.is_object() ? reply.value("error", "") : line);
            return false;
        }
        return true;
    }

    std::string m_address;
    SimChannel m_channel;
    int m_id = 0;
    int m_port = -1;
    int m_tlsPort = -1;
    std::string m_sha256;
    std::filesystem::path m_root;
};

}  // namespace

bool SimChannel::ReadLine(std::string& line) {
    char chunk[65536];
    for (;;) {
        const size_t eol = m_buffer.find('\n');
        if (eol != std::string::npos) {
            line = m_buffer.substr(0, eol);
            m_buffer.erase(0, eol + 1);
            return true;
        }
        const long n = Receive(chunk, sizeof chunk);
        if (n <= 0)
            return false;
        m_buffer.append(chunk, static_cast<size_t>(n));
    }
}

const std::filesystem::path& RootOf(const SimDevice& device) {
    return device.GetBackend().Root();
}

std::unique_ptr<SimDevice::Backend> MakeServiceSimBackend(const std::string& address) {
    return std::make_unique<ServiceBackend>(address);
}

}  // namespace vesk::test
