#include "tools/mfpsim/lib/service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "tools/mfpsim/lib/faults.h"
#include "tools/mfpsim/lib/sample.h"
#include "tools/mfpsim/lib/service_snmpd.h"
#include "tools/mfpsim/lib/state_json.h"
#include "tools/mfpsim/lib/tls_front.h"

namespace mfpsim {

namespace fs = std::filesystem;
using nlohmann::json;

bool Instance::Prepare(const fs::path& from, const fs::path& root, const DeviceState* state,
                       std::string& error) {
    std::error_code ec;
    fs::copy(from, root, fs::copy_options::recursive | fs::copy_options::create_hard_links, ec);
    if (ec) {  // another file system: a real copy then
        fs::remove_all(root, ec);
        fs::copy(from, root, fs::copy_options::recursive, ec);
    }
    if (ec) {
        error = "cannot copy the device folder: " + ec.message();
        return false;
    }
    if (state) {
        Store store(root);
        store.SetDurable(false);
        if (!store.SaveAll(*state)) {
            error = "cannot write the device state";
            return false;
        }
    }
    return true;
}

bool Instance::Start(bool plain, bool tls, std::string& error) {
    ServerOptions so;
    so.root = root_;
    so.identity = overrides_;
    so.host = "127.0.0.1";
    so.port = plain ? 0 : -1;
    so.tlsPort = tls ? 0 : -1;
    server_ = std::make_unique<Server>(so);
    if (!server_->Start()) {
        error = server_->Error();
        return false;
    }
    return true;
}

void Instance::Stop() {
    if (server_)
        server_->Stop();
}

std::shared_ptr<Engine> Instance::GetEngine(std::string& error) {
    if (server_)
        return server_->SharedEngine();
    if (!engine_)
        engine_ = Engine::Open(root_, overrides_, error);
    return engine_;
}

// ---------------------------------------------------------------- the control service

struct Service::Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
    std::map<int, std::unique_ptr<Instance>> instances;
    ServedAgents agents;
    std::vector<std::shared_ptr<void>> owned;  // what other requests started (TLS fronts)
};

namespace {

constexpr size_t kMaxLine = 256u << 20;

bool SendAll(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

json Failure(const std::string& why) {
    return json{{"ok", false}, {"error", why}};
}

}  // namespace

Service::Service(ServiceOptions options) : options_(std::move(options)) {}

Service::~Service() {
    Stop();
}

bool Service::Start() {
    sample_ = options_.work / "sample";
    SampleOptions so;
    so.dpi = options_.dpi;
    std::error_code ec;
    fs::remove_all(sample_, ec);
    DeviceState state;
    std::vector<std::string> warnings;
    if (!WriteSampleDevice(Store(sample_), so, error_))
        return false;
    if (!Store(sample_).Load(state, warnings)) {
        error_ = "cannot read the sample device back";
        return false;
    }
    sampleJson_ = StateToJson(state);

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(options_.port));
    socklen_t len = sizeof a;
    if (listenFd_ < 0 || ::inet_pton(AF_INET, options_.host.c_str(), &a.sin_addr) != 1 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd_, 16) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        error_ = std::string("cannot listen on ") + options_.host + ": " + std::strerror(errno);
        return false;
    }
    port_ = ntohs(a.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void Service::Stop() {
    if (stopping_.exchange(true))
        return;
    if (listenFd_ >= 0)
        ::shutdown(listenFd_, SHUT_RDWR);
    if (acceptThread_.joinable())
        acceptThread_.join();
    if (listenFd_ >= 0)
        ::close(listenFd_);
    listenFd_ = -1;
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& c : connections_)
        ::shutdown(c->fd, SHUT_RDWR);
    for (auto& c : connections_)
        c->thread.join();
    connections_.clear();
}

void Service::AcceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0)
            continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> lock(mu_);
        // Connections that ended are reaped as new ones come.
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->done) {
                (*it)->thread.join();
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
        if (stopping_) {
            ::close(fd);
            break;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        Connection* raw = c.get();
        connections_.push_back(std::move(c));
        raw->thread = std::thread([this, raw] { Serve(raw); });
    }
}

void Service::Serve(Connection* c) {
    std::string buffer;
    char chunk[65536];
    for (;;) {
        const size_t eol = buffer.find('\n');
        if (eol != std::string::npos) {
            json reply;
            try {
                reply = Handle(json::parse(buffer.substr(0, eol)), *c);
            } catch (const json::exception& e) {
                reply = Failure(std::string("bad request: ") + e.what());
            }
            buffer.erase(0, eol + 1);
            if (!SendAll(c->fd, reply.dump(-1, ' ', false, json::error_handler_t::replace) + "\n"))
                break;
            continue;
        }
        if (buffer.size() > kMaxLine)
            break;
        const ssize_t n = ::recv(c->fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        buffer.append(chunk, static_cast<size_t>(n));
    }
    // The client is gone: so are the emulators it started.
    for (auto& [id, instance] : c->instances) {
        instance->Stop();
        std::error_code ec;
        fs::remove_all(instance->Root().parent_path(), ec);
    }
    c->instances.clear();
    c->agents.Clear();
    c->owned.clear();
    ::close(c->fd);
    c->done = true;
}

json Service::Handle(const json& request, Connection& c) {
    const std::string op = request.value("op", "");
    if (op == "sample")
        return json{{"ok", true}, {"state", sampleJson_}};
    if (op.rfind("snmpd", 0) == 0)
        return c.agents.Handle(request, options_.work);
    if (op == "create") {
        DeviceState state;
        std::string error;
        const bool edited = request.contains("state");
        if (edited && !StateFromJson(request["state"], state, error))
            return Failure("bad state: " + error);
        const int id = nextInstance_++;
        const fs::path root = options_.work / ("instance-" + std::to_string(id)) / "device";
        fs::create_directories(root.parent_path());
        if (!Instance::Prepare(sample_, root, edited ? &state : nullptr, error))
            return Failure(error);
        const auto overrides = request.find("overrides");
        c.instances[id] = std::make_unique<Instance>(
            root, overrides == request.end() ? IdentityOverrides{} : OverridesFromJson(*overrides));
        return json{{"ok", true}, {"id", id}, {"root", root.string()}};
    }
    if (op == "tls-front")
        return OpenTlsFront(request, c.owned);
    const auto found = c.instances.find(request.value("id", 0));
    if (found == c.instances.end())
        return Failure("no such instance on this connection");
    Instance& instance = *found->second;
    std::string error;
    if (op == "start") {
        if (!instance.Start(request.value("plain", true), request.value("tls", false), error))
            return Failure(error);
        Server& s = *instance.GetServer();
        return json{{"ok", true},
                    {"port", s.Port()},
                    {"tlsPort", s.TlsPort()},
                    {"sha256", s.CertificateSha256()}};
    }
    if (op == "stop") {
        instance.Stop();
        return json{{"ok", true}};
    }
    if (op == "connections") {
        Server* s = instance.GetServer();
        return json{{"ok", true},
                    {"active", s ? s->ActiveConnections() : 0},
                    {"accepted", s ? s->AcceptedConnections() : 0}};
    }
    std::shared_ptr<Engine> engine = instance.GetEngine(error);
    if (!engine)
        return Failure(error);
    if (op == "state")
        return json{{"ok", true}, {"state", StateToJson(engine->GetDevice().Snapshot())}};
    if (op == "faults") {
        KeyValues kv;
        if (const auto keys = request.find("keys"); keys != request.end() && keys->is_object())
            for (const auto& [key, value] : keys->items())
                kv.Set(key, value.get<std::string>());
        engine->GetFaults().Set(FaultConfig::FromKeyValues(kv));
        return json{{"ok", true}};
    }
    if (op == "journal") {
        json frames = json::array();
        for (const tc::Frame& f : engine->Journal())
            frames.push_back(ToHex(tc::EncodeFrame(f)));
        return json{{"ok", true}, {"frames", frames}, {"requests", engine->RequestCount()}};
    }
    if (op == "clear-journal") {
        engine->ClearJournal();
        return json{{"ok", true}};
    }
    return Failure("unknown operation " + op);
}

}  // namespace mfpsim
