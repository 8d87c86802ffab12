#include "support/sim_fixture.h"

#include <gtest/gtest.h>

#include <jpeglib.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "core/current_tcpcore.h"
#include "platform/trace.h"
#include "tcpcore/wire.h"
#include "tools/mfpsim/lib/sample.h"
#include "tools/mfpsim/lib/store.h"

namespace vesk::test {

namespace fs = std::filesystem;

namespace {

// Low-resolution pages keep generation quick; the documents are the same kind.
constexpr int kSampleDpi = 40;

// Where generated sample devices are kept between test processes (ctest runs each test
// in a process of its own, several at once): the build folder, one folder per program,
// keyed by the program's file, which is relinked whenever the emulator changes.
fs::path SampleCacheDir() {
#ifdef VESK_BINARY_DIR
    struct stat st {};
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || ::stat("/proc/self/exe", &st) != 0)
        return {};
    return fs::path(VESK_BINARY_DIR) / "sim-sample" / exe.filename() /
           (std::to_string(st.st_size) + "-" + std::to_string(st.st_mtim.tv_sec) + "." +
            std::to_string(st.st_mtim.tv_nsec));
#else
    return {};
#endif
}

bool WriteSample(const fs::path& device, std::string& error) {
    mfpsim::SampleOptions o;
    o.dpi = kSampleDpi;
    return mfpsim::WriteSampleDevice(mfpsim::Store(device), o, error);
}

// The sample device: from the cache when it is there, else generated (into the cache
// when the build folder can take it, else into a folder of this process).
const fs::path& SampleTemplate(std::string& error) {
    static TempFolder local{"vesk-sim-sample"};
    static std::string failure;
    static const fs::path device = []() -> fs::path {
        const fs::path cache = SampleCacheDir();
        std::error_code ec;
        if (!cache.empty() && fs::exists(cache / "device" / "device.ini", ec))
            return cache / "device";
        if (!cache.empty()) {
            fs::create_directories(cache.parent_path(), ec);
            // Built beside its final place and renamed there, so a parallel test never
            // sees half a device; the loser of a race drops its own.
            std::string tmpl = (cache.parent_path() / "new-XXXXXX").string();
            if (!ec && ::mkdtemp(tmpl.data())) {
                const fs::path tmp = tmpl;
                if (WriteSample(tmp / "device", failure)) {
                    // Samples of earlier builds of this program go; never the current
                    // one, which a parallel process may have put there and be copying.
                    for (const auto& e : fs::directory_iterator(cache.parent_path(), ec)) {
                        const std::string name = e.path().filename().string();
                        if (name != cache.filename().string() && name.rfind("new-", 0) != 0)
                            fs::remove_all(e.path(), ec);
                    }
                    // Fails harmlessly when a parallel process got there first.
                    fs::rename(tmp, cache, ec);
                }
                fs::remove_all(tmp, ec);
                if (fs::exists(cache / "device" / "device.ini", ec))
                    return cache / "device";
            }
        }
        const fs::path p = local.Path() / "device";
        return WriteSample(p, failure) ? p : fs::path();
    }();
    error = failure;
    return device;
}

}  // namespace

SimDevice::SimDevice(const SimOptions& options) : m_options(options) {
    const fs::path& sample = SampleTemplate(m_error);
    if (sample.empty()) {
        m_error = "no sample device: " + m_error;
        ADD_FAILURE() << m_error;
        return;
    }
    m_root = m_dir.Path() / "device";
    // Hard links: the emulator replaces files (write and rename), never changes them in
    // place, so the copies share the sample's bytes safely and the copy is quick.
    std::error_code ec;
    fs::copy(sample, m_root, fs::copy_options::recursive | fs::copy_options::create_hard_links, ec);
    if (ec) {  // another file system: a real copy then
        fs::remove_all(m_root, ec);
        fs::copy(sample, m_root, fs::copy_options::recursive, ec);
    }
    if (ec)
        m_error = "cannot copy the sample device: " + ec.message();
    if (!ec && options.edit) {
        mfpsim::Store store(m_root);
        store.SetDurable(false);
        mfpsim::DeviceState state;
        std::vector<std::string> warnings;
        if (!store.Load(state, warnings)) {
            m_error = "cannot load the device copy";
        } else {
            options.edit(state);
            if (!store.SaveAll(state))
                m_error = "cannot save the edited device";
        }
    }
    if (!m_error.empty())
        ADD_FAILURE() << m_error;
}

SimDevice::~SimDevice() {
    // A connection parked by a device query must not outlive the device it reached.
    vesk::tcpcore::DropParkedLink();
    Stop();
}

bool SimDevice::Start(bool plain, bool tls) {
    if (!m_error.empty())
        return false;
    mfpsim::ServerOptions so;
    so.root = m_root;
    so.identity = m_options.overrides;
    so.host = "127.0.0.1";
    so.port = plain ? 0 : -1;
    so.tlsPort = tls ? 0 : -1;
    m_server = std::make_unique<mfpsim::Server>(so);
    if (!m_server->Start()) {
        m_error = m_server->Error();
        ADD_FAILURE() << "the emulator did not start: " << m_error;
        return false;
    }
    return true;
}

void SimDevice::Stop() {
    if (m_server)
        m_server->Stop();
}

std::shared_ptr<mfpsim::Engine> SimDevice::Engine() {
    if (m_server)
        return m_server->SharedEngine();
    if (!m_engine) {
        std::string error;
        m_engine = mfpsim::Engine::Open(m_root, m_options.overrides, error);
        EXPECT_TRUE(m_engine) << error;
    }
    return m_engine;
}

TamperingPeer::TamperingPeer(mfpsim::Engine& engine, int mode, Tamper tamper, int port, Split split)
    : m_split(std::move(split)), m_engine(engine), m_tamper(std::move(tamper)) {
    if (mode == 1 && !(m_ctx = SelfSignedServerContext()))
        return;
    m_listener = std::make_unique<LoopbackListener>([this](int fd) { Serve(fd); }, port);
}

TamperingPeer::~TamperingPeer() {
    m_stop = true;
    m_listener.reset();
    SSL_CTX_free(static_cast<SSL_CTX*>(m_ctx));
}

std::vector<vesk::tcpcore::Frame> TamperingPeer::Received() {
    std::lock_guard<std::mutex> lock(m_receivedMutex);
    return m_received;
}

bool TamperingPeer::SendSplit(int fd, const vesk::tcpcore::Frame& frame) {
    const std::vector<std::uint8_t> bytes = vesk::tcpcore::EncodeFrame(frame);
    auto write = [&](std::size_t from, std::size_t to) {
        while (from < to && !m_stop) {
            const ssize_t n = ::send(fd, bytes.data() + from, to - from, MSG_NOSIGNAL);
            if (n > 0) {
                from += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 50);
            } else {
                return false;
            }
        }
        return from == to;
    };
    const std::size_t cut = m_split.at > 0 ? std::min(m_split.at, bytes.size()) : bytes.size() / 2;
    if (!write(0, cut))
        return false;
    if (m_split.paused)
        m_split.paused();
    std::this_thread::sleep_for(std::chrono::milliseconds(m_split.pauseMs));
    return write(cut, bytes.size());
}

void TamperingPeer::Serve(int fd) {
    namespace tc = vesk::tcpcore;
    // The plain link writes whole frames at once; a split frame goes out through a
    // second handle on the same socket, between two of the link's writes.
    const int raw = m_split.pick && !m_ctx ? ::dup(fd) : -1;
    tc::WaitControl wc;
    wc.deadline = tc::Deadline::In(std::chrono::seconds(5));
    tc::LinkStatus st = tc::LinkStatus::kOk;
    std::unique_ptr<tc::DeviceLink> link = tc::AcceptSocketLink(fd, m_ctx, wc, st);
    if (!link) {
        if (raw >= 0)
            ::close(raw);
        return;
    }
    std::unique_ptr<mfpsim::EngineSession> session = m_engine.NewSession();
    tc::WaitControl io;
    io.cancelled = [this] { return m_stop.load(); };
    const tc::FrameEmitter emit = [&](const tc::Frame& f) {
        tc::Frame out = f;
        if (!m_tamper(out))
            return true;
        if (raw >= 0 && m_split.pick(out))
            return SendSplit(raw, out);
        return link->Send(out, io) == tc::LinkStatus::kOk;
    };
    while (!m_stop) {
        tc::Frame req;
        if (link->Receive(req, io) != tc::LinkStatus::kOk)
            break;
        {
            std::lock_guard<std::mutex> lock(m_receivedMutex);
            m_received.push_back(req);
        }
        if (!session->Handle(req, emit))
            break;
    }
    session->OnClose();
    link->Close();
    if (raw >= 0)
        ::close(raw);
}

SimConnection ConnectRoad(int mode, int port, std::string& why, const char* unitName,
                          QTCP_COMMSTATE_CALLBACK cb) {
    SimConnection c;
    auto probe = std::make_unique<CTcpCoreV20>();
    if (!probe->Initialize(mode, nullptr)) {
        why = "Initialize failed";
        return c;
    }
    int canceled = 0;
    int opened = 0;
    if (!probe->GetDeviceInfo(&c.info, c.major, c.minor, "127.0.0.1", canceled, opened, port, 5, 12,
                              12, cb)) {
        LastError e = ErrorOf(*probe);
        why = "GetDeviceInfo failed with " + std::to_string(e.code);
        return c;
    }
    c.probeRoundTrips = probe->GetRoundTripCount();
    probe->Uninitialize();
    probe.reset();

    CTcpCore factory;
    std::unique_ptr<CTcpCore> core(factory.GetTcpCoreObject(c.major, c.minor));
    if (!core) {
        why = "no class for version " + std::to_string(c.major) + "." + std::to_string(c.minor);
        return c;
    }
    c.tcpVersion = factory.GetTcpVersion();
    if (!core->Initialize(mode, unitName)) {
        why = "Initialize of the session object failed";
        return c;
    }
    core->SetCallbackCommunicate(cb);
    if (!core->Connect("127.0.0.1", port, c.userAuthType, c.accountAuthType, c.publicSupport, cb)) {
        LastError e = ErrorOf(*core);
        why = "Connect failed with " + std::to_string(e.code) + "/" + std::to_string(e.detail);
        return c;
    }
    c.core = std::move(core);
    return c;
}

LastError ErrorOf(CTcpCore& core) {
    LastError e;
    core.GetLastErrorCode(e.code, e.detail);
    return e;
}

bool ReadWhole(CTcpCore& core, std::vector<unsigned char>& out, std::string& why, int bufferSize) {
    out.clear();
    std::vector<unsigned char> buffer(static_cast<std::size_t>(bufferSize));
    for (;;) {
        const int n = core.ReadDocument(buffer.data(), bufferSize);
        if (n == 0)
            return true;
        if (n < 0) {
            LastError e = ErrorOf(core);
            why = "ReadDocument gave " + std::to_string(n) + " after " +
                  std::to_string(out.size()) + " bytes, code " + std::to_string(e.code);
            return false;
        }
        if (n > bufferSize) {
            why = "ReadDocument reported more than the buffer holds";
            return false;
        }
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
    }
}

const tagUTIL_DOCINFO* FindDoc(const std::vector<tagUTIL_DOCINFO>& docs, const std::string& name) {
    for (const tagUTIL_DOCINFO& d : docs)
        if (name == d.szDocName)
            return &d;
    return nullptr;
}

const tagUTIL_BOXINFO* FindBox(const std::vector<tagUTIL_BOXINFO>& boxes, long number) {
    for (const tagUTIL_BOXINFO& b : boxes)
        if (b.lBoxNo == number)
            return &b;
    return nullptr;
}

namespace {
struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr cinfo) {
    auto* e = reinterpret_cast<JpegError*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, e->message);
    std::longjmp(e->jump, 1);
}
}  // namespace

bool DecodeJpeg(const std::vector<unsigned char>& data, JpegInfo& info, std::string& why) {
    jpeg_decompress_struct cinfo{};
    JpegError err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = OnJpegError;
    // Only info (no local of this function) changes between setjmp and a longjmp.
    if (setjmp(err.jump)) {
        why = err.message;
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        why = "no JPEG header";
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_start_decompress(&cinfo);
    const size_t stride = static_cast<size_t>(cinfo.output_width) * cinfo.output_components;
    info.pixels.assign(stride * cinfo.output_height, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW p = info.pixels.data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &p, 1);
    }
    info.width = static_cast<int>(cinfo.output_width);
    info.height = static_cast<int>(cinfo.output_height);
    info.components = cinfo.output_components;
    info.density = cinfo.density_unit == 1 ? cinfo.X_density : 0;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

namespace {
void QuietTiff(const char*, const char*, va_list) {}
}  // namespace

bool DecodeTiffFile(const std::string& path, std::vector<TiffPage>& pages) {
    TIFFSetErrorHandler(QuietTiff);
    TIFFSetWarningHandler(QuietTiff);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t)
        return false;
    bool ok = true;
    do {
        TiffPage p;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p.width);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p.height);
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &p.bits);
        TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &p.compression);
        TIFFGetField(t, TIFFTAG_XRESOLUTION, &p.xres);
        p.rgba.resize(static_cast<size_t>(p.width) * p.height);
        ok = p.width != 0 &&
             TIFFReadRGBAImageOriented(t, p.width, p.height, p.rgba.data(), ORIENTATION_TOPLEFT, 0);
        if (ok)
            pages.push_back(std::move(p));
    } while (ok && TIFFReadDirectory(t));
    TIFFClose(t);
    return ok;
}

bool DecodeTiff(const std::vector<unsigned char>& data, std::vector<TiffPage>& pages) {
    TempFolder dir;
    const fs::path file = dir.Path() / "pages.tif";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    return DecodeTiffFile(file.string(), pages);
}

int TiffPageCount(const std::vector<unsigned char>& data) {
    std::vector<TiffPage> pages;
    return DecodeTiff(data, pages) ? static_cast<int>(pages.size()) : -1;
}

std::string ModelId(int model, bool secondFamily) {
    return mfpsim::IdentifierForModel(model, secondFamily);
}

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

std::string DefaultFilterText() {
    std::ifstream in(std::string(VESK_SOURCE_DIR) + "/settings/SrchMIB.conf", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void DeviceFixture::SetUp() {
    RegistryFixture::SetUp();
    // Failures that wait for a time-out end quickly.
    CTcpCore::SetDefaultTimeouts(3000, 5000);
    vesk::SetTraceSink([this](const std::string& line) {
        std::lock_guard<std::mutex> lock(m_traceMutex);
        m_trace.push_back(line);
    });

    m_appFolder = UseApplicationFolder(IsolatedEnv::Root() / "application");
    WriteFilter(DefaultFilterText());

    m_root = std::make_unique<CVESKRoot>();
}

void DeviceFixture::TearDown() {
    m_root.reset();
    delete vesk::SetCurrentTcpCore(nullptr);
    tc::DropParkedLink();
    vesk::SetTraceSink(nullptr);
    RegistryFixture::TearDown();
}

CVESKMFPDevice* DeviceFixture::AddDevice(int port, int sslPort, int lastTCPComm) {
    ITEMINFO info;
    info.strName.Format(L"Device %d", ++m_registered);
    info.strIP = L"127.0.0.1";
    info.nPort = port;
    info.nPortSSL = sslPort;
    EXPECT_EQ(m_root->AddChildItem(info), 1);
    auto* device = DYNAMIC_DOWNCAST(CVESKMFPDevice, m_root->GetItemList()->GetTail());
    EXPECT_NE(device, nullptr);
    if (device)
        device->SetLastTCPComm(lastTCPComm);
    return device;
}

void DeviceFixture::WriteFilter(const std::string& text) {
    const std::string path = m_appFolder + "SrchMIB.conf";
    if (text.empty()) {
        std::filesystem::remove(path);
        return;
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> DeviceFixture::TraceLines() {
    std::lock_guard<std::mutex> lock(m_traceMutex);
    return m_trace;
}

int DeviceFixture::ClosedPort() {
    return ClosedLoopbackPort();
}

}  // namespace vesk::test
