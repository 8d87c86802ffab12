// One device session within one vesk run: connect (choosing the first mode when
// asked), the logins the device needs, and the disconnect that records the
// last-login fields when the run ends.
#pragma once

#include <optional>
#include <string>

#include "tcpcore/records.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/password.h"

class CVESKMFPDevice;

namespace vesk::cli {

// What the command line asked for. Passwords are read only when a login runs.
struct LoginRequest {
    std::optional<std::string> user;     // --user NAME (or "boxadmin" for --boxadmin)
    std::optional<std::string> account;  // --account NAME
    std::optional<std::string> passwordFile;
    std::optional<std::string> accountPasswordFile;
    // Passwords given by the caller instead (the demo knows its emulator's users).
    std::optional<std::string> password;
    std::optional<std::string> accountPassword;

    bool Any() const { return user || account; }
};

// The options every session command takes, and how they read.
const std::vector<OptionDef>& SessionOptions();
LoginRequest LoginFromArgs(const ParsedArgs& a);
// SessionOptions() followed by a command's own.
std::vector<OptionDef> SessionOptionsWith(std::vector<OptionDef> extra);
// -2 keep the remembered order, else the LastTCPComm value to try first.
int FirstModeFromArgs(const ParsedArgs& a);

class DeviceSession {
public:
    DeviceSession(Context& ctx, CVESKMFPDevice& device);
    // Ends the session (writes the last-login fields); warns when that fails.
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Opens the session. Returns 1 (no login needed), -1051, -1052 or -1064; any
    // other result throws Failure with the reason.
    int Connect(int firstMode);
    // Runs the logins `req` asks for, in the order the device needs them. With
    // `required`, a device that still needs a login after them is a Failure.
    void Login(const LoginRequest& req, bool required);
    // Connect with the first mode and Login(required) with the request of the options.
    void OpenLoggedIn(const ParsedArgs& a);
    // Ends the session now; 1 or the library's result.
    int Disconnect();

    int ConnectResult() const { return connectResult_; }
    double ConnectMs() const { return connectMs_; }
    double LoginMs() const { return loginMs_; }
    std::string LoggedInAs() const { return loggedInAs_; }
    CVESKMFPDevice& Device() { return device_; }

private:
    Context& ctx_;
    CVESKMFPDevice& device_;
    bool open_ = false;
    int connectResult_ = 0;
    double connectMs_ = 0;
    double loginMs_ = 0;
    std::string loggedInAs_;
};

// Text blocks the commands print (the Lines forms for the demo's step reports).
std::vector<std::string> ConnectionLines(CVESKMFPDevice& d, int connectResult);
std::vector<std::string> RestrictionLines(CVESKMFPDevice& d);
void PrintConnection(CVESKMFPDevice& d, int connectResult, double ms);
void PrintRestrictions(CVESKMFPDevice& d);
std::string LoginNeededText(int connectResult);
// How the session runs: "TLS 1.3 on port 59159" or "plain TCP on port 59158".
std::string TransportText(CVESKMFPDevice& d);

// Progress callback that turns Ctrl-C into a cancel of the call under way.
long __stdcall CancelOnInterrupt(tagQTCP_COMMSTATE* state);
// Whether Ctrl-C was pressed since the session began. Once a command has acted on it,
// ClearInterrupt lets the session still end politely (box logout, disconnect); a
// further Ctrl-C cancels that as well.
bool Interrupted();
void ClearInterrupt();

}  // namespace vesk::cli
