// The pieces every vesk command shares: exit codes, errors, the option parser, the
// command table, text output and the session context (the root item of the tree).
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/cstring.h"
#include "tools/vesk/errors.h"
#include "tools/vesk/text.h"

class CVESKRoot;
class CVESKMFPDevice;

namespace vesk::cli {

// ---- options -------------------------------------------------------------------

struct OptionDef {
    std::string name;       // "--port"
    std::string valueName;  // "N"; empty for a flag
    std::string help;
};

class ParsedArgs {
public:
    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    // The last value given for the option, if any.
    std::optional<std::string> Get(const std::string& name) const;
    // An integer option within [min, max]; `fallback` when absent.
    int GetInt(const std::string& name, int fallback, int min, int max) const;
    const std::vector<std::string>& Positional() const { return positional_; }

    std::map<std::string, std::vector<std::string>> values_;
    std::vector<std::string> positional_;
};

// Parses `args` against the options of one command. "--" ends the options; "--opt=v"
// and "--opt v" are both accepted. Throws UsageError on anything unknown or
// incomplete. A password option is refused with an explanation: passwords on the
// command line end up in the shell history and in every process listing.
ParsedArgs ParseOptions(const std::vector<std::string>& args, const std::vector<OptionDef>& defs);

// Strict decimal integer in [min, max]; `what` names the value in the message.
int ParseInt(const std::string& text, const std::string& what, int min, int max);

// ---- text --------------------------------------------------------------------

std::string U8(const CString& s);
CString W(const std::string& s);

// stdout lines for results; stderr for messages ("vesk: ...").
void Out(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
void Note(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));

// Asks a yes/no question on stderr and reads the answer from stdin; false unless "y" or
// "yes".
bool Confirmed(const std::string& question);

// What a library result code means, for messages ("the device registry file cannot
// be loaded (-1018)").
std::string ResultText(int code);
// The device's or the communication library's last error, when one is recorded
// ("device error 8010: login refused"); empty when there is none.
std::string LastDeviceError();
// The same for a given code; empty for QTCP_OK.
std::string DeviceErrorText(int code);
// The exit status that fits a library result code of a box or document operation:
// kExitPassword, kExitRefused, kExitLimit, kExitUsage (an empty name) or kExitFailed.
int ExitCodeFor(int code);
// Throws the Failure for a library result: "<what>: <ResultText>[ (<device error>)]"
// with ExitCodeFor(code).
[[noreturn]] void ThrowResult(const std::string& what, int code);

// ---- context -----------------------------------------------------------------

// State shared by the commands of one run. The root is made on first use, after the
// profile has been chosen, because its constructor already reads the registry.
class Context {
public:
    Context();
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    CVESKRoot& Root();
    // The registered devices, read afresh from the registry file.
    std::vector<CVESKMFPDevice*> Devices();
    // A device by id (a decimal number) or by registered name (letter case does not
    // matter). Throws Failure when there is no such device.
    CVESKMFPDevice& FindDevice(const std::string& which);
    // The registry file this run reads and writes.
    std::string RegistryFilePath();

private:
    std::unique_ptr<CVESKRoot> root_;
};

// Registers a device under `name` (checked: not empty, not a number, not in use),
// and makes sure the registry file kept it. mode: -1 auto, 0 plain, 1 TLS.
CVESKMFPDevice& RegisterDevice(Context& ctx, const std::string& name, const std::string& host,
                               int port, int sslPort, int mode);
// "office (id 1): 10.0.0.5 port 59158, TLS port 59159, auto first"
std::string DescribeDevice(CVESKMFPDevice& d);

// ---- commands ----------------------------------------------------------------

struct Command {
    std::string path;      // "device add"
    std::string operands;  // "NAME HOST"
    std::string summary;   // one line for the overview
    std::string details;   // paragraphs for --help
    std::vector<OptionDef> options;
    size_t minOperands = 0;
    size_t maxOperands = 0;
    std::function<int(Context&, const ParsedArgs&)> run;
};

// Each command file adds its commands here.
void AddDeviceCommands(std::vector<Command>& table);
void AddOptionsCommands(std::vector<Command>& table);
void AddSearchCommands(std::vector<Command>& table);
void AddSessionCommands(std::vector<Command>& table);
void AddDemoCommand(std::vector<Command>& table);
void AddBoxCommands(std::vector<Command>& table);
void AddDocumentCommands(std::vector<Command>& table);
void AddPageCommand(std::vector<Command>& table);  // vesk page (page_cmds.cpp)
// vesk rm, vesk bind (bind_cmds.cpp).
void AddBindCommands(std::vector<Command>& table);
// get, cp, mv
void AddTransferCommands(std::vector<Command>& table);
void AddThumbCommand(std::vector<Command>& table);

void PrintCommandHelp(const Command& c, FILE* to);

}  // namespace vesk::cli
