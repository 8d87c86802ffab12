// vesk demo: the typical road from a registered device to a logged-in session,
// against the device emulator started in this process on loopback (or one that
// already runs there), in a temporary profile that is removed afterwards. Each step
// is timed; the exit status is 0 only when every step worked.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "box/mfp_box.h"
#include "device/mfp_device.h"
#include "document/vesk_document.h"
#include "root/vesk_root.h"
#include "tools/mfpsim/lib/sample.h"
#include "tools/vesk/box_access.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/demo_emulator.h"
#include "tools/vesk/profile.h"
#include "tools/vesk/session.h"
#include "tools/vesk/system.h"

namespace vesk::cli {

namespace {

namespace fs = std::filesystem;

using Lines = std::vector<std::string>;

// Removes the demo's folder however the demo ends, after the emulator has
// stopped.
class TempFolder {
public:
    TempFolder() : path_(sys::MakeUniqueFolder(fs::temp_directory_path(), "vesk-demo-")) {}
    ~TempFolder() {
        if (keep_)
            return;
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& Path() const { return path_; }
    void Keep() { keep_ = true; }

private:
    fs::path path_;
    bool keep_ = false;
};

class Road {
public:
    explicit Road(int total) : total_(total) {}

    // Runs one step and reports it: "[3/9] connect over TLS ... ok  12.3 ms" and
    // the lines the step returned. A failing step stops the road.
    bool Step(const std::string& title, const std::function<Lines()>& body) {
        ++n_;
        const int digits = static_cast<int>(std::to_string(total_).size());
        std::fprintf(stdout, "[%*d/%d] %-44s ", digits, n_, total_, title.c_str());
        std::fflush(stdout);
        const auto start = std::chrono::steady_clock::now();
        Lines lines;
        std::string error;
        try {
            lines = body();
        } catch (const std::exception& e) {
            error = e.what();
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        totalMs_ += ms;
        std::fprintf(stdout, "%s %8.1f ms\n", error.empty() ? "ok    " : "FAILED", ms);
        for (const std::string& l : lines)
            std::fprintf(stdout, "      %s\n", l.c_str());
        std::fflush(stdout);
        if (!error.empty()) {
            Note("demo step '%s' failed: %s", title.c_str(), error.c_str());
            ok_ = false;
        }
        return error.empty();
    }
    bool Ok() const { return ok_; }
    double TotalMs() const { return totalMs_; }

private:
    int total_;
    int n_ = 0;
    bool ok_ = true;
    double totalMs_ = 0;
};

// Saves the document in its own format into `folder` through the box, as 'vesk get'
// does, and checks that the file begins as that format does.
Lines DownloadFirst(CVESKMFPBox& box, CVESKDocument& doc, const fs::path& folder) {
    static const std::pair<int, std::string> kMagic[] = {
        {0, "\xff\xd8\xff"}, {1, "II*"},        {1, "MM"},         {2, "%PDF-"},
        {4, "%PDF-"},        {5, "PK\x03\x04"}, {6, "PK\x03\x04"}, {7, "PK\x03\x04"},
        {8, "PK\x03\x04"},   {9, "PK\x03\x04"}};
    std::error_code ec;
    fs::create_directories(folder, ec);
    // As a save does on newer devices: the colour this login may have.
    if (box.GetDevice() && box.GetDevice()->GetTCPVersion() >= 32) {
        doc.SetColor(doc.GetDefaultDownloadColor());
        doc.SetResolution(0);
    }
    // The folder with the system's own separator at its end, as the library expects.
    CString path = W((folder / "").string());
    const std::string name = Printable(U8(doc.GetDispDocname()));
    const int rc =
        box.CopyMoveDocumentToFolder(1, path, static_cast<int>(doc.GetItemID()), 0, -1, 0, nullptr);
    if (rc != 1)
        throw Failure(std::string("cannot save ") + name + ": " + ResultText(rc));
    const std::string file = U8(path);
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f)
        throw Failure(std::string("the saved file is not there: ") + file);
    char head[8] = {};
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    const std::string begins(head, n);
    bool known = false;
    bool matches = false;
    for (const auto& [type, magic] : kMagic) {
        known = known || type == doc.GetFileType();
        matches = matches || (type == doc.GetFileType() && begins.rfind(magic, 0) == 0);
    }
    if (!known || !matches)
        throw Failure(std::string("the saved file does not begin as its type does: ") + file);
    return Lines{
        std::string("document ") + std::to_string(doc.GetItemID()) + " saved as " + Printable(file),
        std::to_string(fs::file_size(file, ec)) + " bytes, in the document's own format"};
}

int Demo(Context& ctx, const ParsedArgs& a) {
    const std::string userName = a.Get("--user").value_or("bob");
    // An emulator that already runs on this machine, or the built-in one.
    const std::optional<std::string> portText = a.Get("--port");
    const std::optional<std::string> tlsPortText = a.Get("--tls-port");
    if (portText.has_value() != tlsPortText.has_value())
        throw UsageError("--port and --tls-port go together");
    const bool running = portText.has_value();
    const int givenPort = running ? ParseInt(*portText, "--port", 1, 65535) : 0;
    const int givenTlsPort = running ? ParseInt(*tlsPortText, "--tls-port", 1, 65535) : 0;
    if (std::string why; !running && !HasBuiltInEmulator(why))
        throw UsageError(why);
    const mfpsim::DeviceState sample = mfpsim::SampleState(mfpsim::SampleOptions{});
    auto user = sample.users.find(userName);
    if (user == sample.users.end())
        throw UsageError("the sample device has no user " + userName);

    Out("vesk demo: the road from a registered device to the documents of a box, against");
    Out("the device emulator on loopback, in a temporary profile removed afterwards");
    int port = givenPort;
    int tlsPort = givenTlsPort;
    TempFolder temp;
    if (a.Has("--keep"))
        temp.Keep();
    std::unique_ptr<BuiltInEmulator> server;
    CVESKMFPDevice* device = nullptr;
    std::unique_ptr<DeviceSession> session;
    CVESKMFPBox* box = nullptr;
    std::unique_ptr<OpenBox> openBox;
    long id = -1;
    std::vector<CVESKDocument*> docs;
    Road road(13);

    const bool ran =
        road.Step(
            running ? "use the running emulator" : "start the emulator with its sample device",
            [&] {
                if (running)
                    return Lines{"127.0.0.1 port " + std::to_string(port) + ", TLS port " +
                                     std::to_string(tlsPort),
                                 "its device is the sample device, left as it is found"};
                server = StartBuiltInEmulator(temp.Path() / "device");
                port = server->Port();
                tlsPort = server->TlsPort();
                Lines l{"127.0.0.1 port " + std::to_string(port) + ", TLS port " +
                        std::to_string(tlsPort)};
                for (const std::string& d : server->Describe())
                    l.push_back(d);
                return l;
            }) &&
        road.Step("make a temporary profile",
                  [&] {
                      const std::string dir = UseProfileFolder((temp.Path() / "profile").string());
                      const std::string app = EnsureApplicationPath();
                      if (app.empty())
                          throw Failure("no filter file for the application folder");
                      return Lines{"profile, registry hives and lock in " + dir,
                                   "application folder " + app};
                  }) &&
        road.Step("register the device",
                  [&] {
                      CVESKMFPDevice& d =
                          RegisterDevice(ctx, "demo-mfp", "127.0.0.1", port, tlsPort, 1);
                      id = d.GetItemID();
                      return Lines{DescribeDevice(d), "registry file " + ctx.RegistryFilePath()};
                  }) &&
        road.Step("list the registered devices",
                  [&] {
                      Lines l;
                      for (CVESKMFPDevice* d : ctx.Devices()) {
                          l.push_back(DescribeDevice(*d));
                          if (d->GetItemID() == id)
                              device = d;
                      }
                      if (!device)
                          throw Failure("the registered device is not listed");
                      return l;
                  }) &&
        road.Step("connect over TLS",
                  [&] {
                      session = std::make_unique<DeviceSession>(ctx, *device);
                      const int rc = session->Connect(1);
                      if (device->GetLastTCPComm() != 1)
                          throw Failure("the session is not on TLS");
                      return ConnectionLines(*device, rc);
                  }) &&
        road.Step("log in as " + userName,
                  [&] {
                      LoginRequest req;
                      req.user = userName;
                      req.password = user->second.password;
                      session->Login(req, true);
                      return RestrictionLines(*device);
                  }) &&
        road.Step("list the boxes",
                  [&] {
                      Table t(BoxHeader());
                      for (CVESKMFPBox* b : ListBoxes(*device)) {
                          t.Add(BoxRow(*b));
                          // The first box this user may open without a password.
                          const bool open =
                              b->GetBoxType() == 0 || U8(b->GetUserNameW()) == userName;
                          if (!box && b->GetFilingBoxType() == 0 && b->GetItemID() != 0 &&
                              !b->GetPasswordProtected() && open)
                              box = b;
                      }
                      if (!box)
                          throw Failure("no box that " + userName + " may open without a password");
                      return t.Lines();
                  }) &&
        road.Step("open a box",
                  [&] {
                      openBox = std::make_unique<OpenBox>(*device, *box, std::nullopt);
                      return Lines{BoxLabel(*box) + " is open"};
                  }) &&
        road.Step("list its documents",
                  [&] {
                      Table t(DocumentHeader());
                      docs = openBox->Documents();
                      for (CVESKDocument* doc : docs)
                          t.Add(DocumentRow(*doc));
                      return t.Lines();
                  }) &&
        road.Step("download a document",
                  [&] {
                      if (docs.empty())
                          throw Failure("the box holds no documents");
                      return DownloadFirst(*box, *docs.front(), temp.Path() / "downloads");
                  }) &&
        road.Step("close the box and disconnect",
                  [&] {
                      openBox.reset();
                      const int rc = session->Disconnect();
                      if (rc != 1)
                          throw Failure("disconnect: " + ResultText(rc));
                      return Lines{"last-login fields written to the registry file"};
                  }) &&
        road.Step("unregister the device", [&] {
            const int rc = ctx.Root().DeleteChildItem(static_cast<int>(id), CString());
            if (rc != 1)
                throw Failure(ResultText(rc));
            for (CVESKMFPDevice* d : ctx.Devices()) {
                if (d->GetItemID() == id)
                    throw Failure("the device is still registered");
            }
            return Lines{};
        });
    openBox.reset();
    session.reset();
    // The emulator stops whatever happened before.
    road.Step(running ? "leave the emulator running" : "stop the emulator", [&] {
        if (server)
            server->Stop();
        return Lines{};
    });
    LeaveProfileFolder();
    if (a.Has("--keep"))
        Out("kept %s", temp.Path().string().c_str());
    if (!ran || !road.Ok()) {
        Note("the demo failed");
        return kExitFailed;
    }
    Out("every step worked (%.1f ms in all); the temporary folder is removed", road.TotalMs());
    return kExitOk;
}

}  // namespace

void AddDemoCommand(std::vector<Command>& table) {
    table.push_back(
        {"demo",
         "",
         "run the typical road against a device emulator",
         "Starts the emulator on 127.0.0.1 with its sample device (or, with --port and\n"
         "--tls-port, uses one that already runs there), registers it in a\n"
         "temporary profile (never the user's own), connects over TLS, logs in,\n"
         "shows the restrictions, lists the boxes, opens one and lists its\n"
         "documents, downloads one, disconnects and unregisters, timing each\n"
         "step. Everything it made is removed at the end. Exit status 0 only\n"
         "when every step worked.",
         {{"--user", "NAME", "sample user to log in as (default bob: no colour)"},
          {"--port", "N", "port of an emulator that runs on 127.0.0.1 (with --tls-port)"},
          {"--tls-port", "M", "its TLS port"},
          {"--keep", "", "keep the temporary folder and say where it is"}},
         0,
         0,
         Demo});
}

}  // namespace vesk::cli
