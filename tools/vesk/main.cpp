// vesk: the command-line front end of the box middle layer. It drives the library's
// item tree the way a user interface would: register devices, connect, log in, ask,
// print, search, keep options.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "device/mfp_device.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/profile.h"
#include "tools/vesk/system.h"
#include "tools/vesk/trust.h"

#ifndef VESK_VERSION
#define VESK_VERSION "unknown"
#endif

namespace {

using vesk::cli::Command;

std::vector<Command> BuildTable() {
    std::vector<Command> table;
    vesk::cli::AddDeviceCommands(table);
    vesk::cli::AddTrustCommands(table);
    vesk::cli::AddSessionCommands(table);
    vesk::cli::AddBoxCommands(table);
    vesk::cli::AddDocumentCommands(table);
    vesk::cli::AddPageCommand(table);
    vesk::cli::AddBindCommands(table);
    vesk::cli::AddTransferCommands(table);
    vesk::cli::AddThumbCommand(table);
    vesk::cli::AddSearchCommands(table);
    vesk::cli::AddOptionsCommands(table);
    vesk::cli::AddDemoCommand(table);
    return table;
}

void PrintOverview(const std::vector<Command>& table, FILE* to) {
    std::fprintf(to,
                 "usage: vesk [--profile DIR] <command> [<subcommand>] [options]\n"
                 "\n"
                 "Works with the document boxes of networked multifunction printers.\n"
                 "\n"
                 "commands:\n");
    for (const Command& c : table) {
        std::string left = "  " + c.path;
        if (left.size() < 20)
            left.append(20 - left.size(), ' ');
        std::fprintf(to, "%s%s\n", left.c_str(), c.summary.c_str());
    }
    std::fprintf(to,
                 "\n"
                 "global options:\n"
                 "  --profile DIR       keep every piece of state (device registry, registry\n"
                 "                      hives, cache, lock) below DIR instead of the user's own;\n"
                 "                      the environment variable VESK_PROFILE does the same\n"
                 "  -h, --help          this overview; 'vesk <command> --help' for one command\n"
                 "      --version       the version of vesk\n"
                 "\n"
                 "A device is named by its registered name or its id (see 'vesk device list').\n"
                 "Passwords are never taken as arguments: use a prompt, a --*password-file FILE\n"
                 "option or the variables VESK_PASSWORD, VESK_ACCOUNT_PASSWORD,\n"
                 "VESK_BOX_PASSWORD and VESK_NEW_BOX_PASSWORD.\n"
                 "Exit status: 0 success, 1 failure, 2 usage error; the box and document\n"
                 "commands also 3 box password refused, 4 refused by the device, 5 no room\n"
                 "for another box.\n");
}

bool IsHelp(const std::string& a) {
    return a == "-h" || a == "--help";
}

// Words for the shell's completion, one a line, never shown in the overview:
// "__commands" lists each command path and, after a tab, its operands ("DEVICE BOX");
// "__devices" lists the registered device names.
// Nothing goes to stderr, since a completion must not disturb the command line.
int Complete(const std::vector<Command>& table, const std::string& what) {
    if (what == "__commands") {
        for (const Command& c : table)
            std::printf("%s\t%s\n", c.path.c_str(), c.operands.c_str());
        return vesk::cli::kExitOk;
    }
    try {
        vesk::cli::Context context;
        for (CVESKMFPDevice* d : context.Devices())
            std::printf("%s\n", vesk::cli::U8(d->GetItemName()).c_str());
        return vesk::cli::kExitOk;
    } catch (const std::exception&) {
        return vesk::cli::kExitFailed;
    }
}

int Run(std::vector<std::string> args) {
    const std::vector<Command> table = BuildTable();

    // Global options come before the command.
    std::string profile;
    if (const char* env = std::getenv("VESK_PROFILE"); env && *env)
        profile = env;
    size_t i = 0;
    for (; i < args.size() && !args[i].empty() && args[i][0] == '-'; ++i) {
        const std::string& a = args[i];
        if (IsHelp(a)) {
            PrintOverview(table, stdout);
            return vesk::cli::kExitOk;
        } else if (a == "--version") {
            std::printf("vesk " VESK_VERSION "\n");
            return vesk::cli::kExitOk;
        } else if ((a == "--profile" && i + 1 < args.size()) || a.rfind("--profile=", 0) == 0) {
            profile = a == "--profile" ? args[++i] : a.substr(10);
            // An empty folder would quietly fall back to the user's own profile.
            if (profile.empty())
                throw vesk::cli::UsageError("--profile needs a folder, not an empty name");
        } else {
            throw vesk::cli::UsageError(a == "--profile" ? "--profile needs a folder"
                                                         : "unknown option " + a);
        }
    }
    args.erase(args.begin(), args.begin() + static_cast<long>(i));
    if (args.empty()) {
        PrintOverview(table, stderr);
        return vesk::cli::kExitUsage;
    }
    if (args.size() == 1 && (args[0] == "__commands" || args[0] == "__devices")) {
        if (!profile.empty())
            vesk::cli::UseProfileFolder(profile);
        return Complete(table, args[0]);
    }

    // The longest command path that the words spell out.
    const Command* found = nullptr;
    size_t words = 0;
    for (const Command& c : table) {
        std::vector<std::string> path;
        for (size_t start = 0;;) {
            size_t sp = c.path.find(' ', start);
            path.push_back(c.path.substr(start, sp - start));
            if (sp == std::string::npos)
                break;
            start = sp + 1;
        }
        if (path.size() > args.size() || path.size() <= words)
            continue;
        if (std::equal(path.begin(), path.end(), args.begin())) {
            found = &c;
            words = path.size();
        }
    }
    if (!found) {
        // A group ("device") without a known subcommand: list what the group has.
        std::vector<const Command*> group;
        for (const Command& c : table) {
            if (c.path.rfind(args[0] + " ", 0) == 0)
                group.push_back(&c);
        }
        if (group.empty())
            throw vesk::cli::UsageError("unknown command '" + args[0] + "'");
        const bool help = args.size() > 1 && IsHelp(args[1]);
        FILE* to = help ? stdout : stderr;
        if (args.size() > 1 && !help)
            std::fprintf(to, "vesk: unknown %s command '%s'\n", args[0].c_str(), args[1].c_str());
        std::fprintf(to, "usage: vesk %s <subcommand> [options]\n\nsubcommands:\n",
                     args[0].c_str());
        for (const Command* c : group) {
            std::string left = "  " + c->path + " " + c->operands;
            if (left.size() < 44)
                left.append(44 - left.size(), ' ');
            else
                left += "\n" + std::string(44, ' ');
            std::fprintf(to, "%s%s\n", left.c_str(), c->summary.c_str());
        }
        std::fprintf(to, "\n'vesk %s <subcommand> --help' tells more.\n", args[0].c_str());
        return help ? vesk::cli::kExitOk : vesk::cli::kExitUsage;
    }

    std::vector<std::string> rest(args.begin() + static_cast<long>(words), args.end());
    for (const std::string& a : rest) {
        if (a == "--")
            break;
        if (IsHelp(a)) {
            vesk::cli::PrintCommandHelp(*found, stdout);
            return vesk::cli::kExitOk;
        }
    }
    try {
        vesk::cli::ParsedArgs parsed = vesk::cli::ParseOptions(rest, found->options);
        const size_t n = parsed.Positional().size();
        if (n < found->minOperands || n > found->maxOperands) {
            throw vesk::cli::UsageError(
                n < found->minOperands
                    ? "missing operand" + std::string(found->minOperands - n > 1 ? "s" : "") +
                          ": " + found->operands
                    : "unexpected operand '" + parsed.Positional()[found->maxOperands] + "'");
        }
        if (!profile.empty())
            vesk::cli::UseProfileFolder(profile);
        vesk::cli::Context context;
        return found->run(context, parsed);
    } catch (const vesk::cli::UsageError& e) {
        std::fprintf(stderr, "vesk %s: %s\nTry 'vesk %s --help'.\n", found->path.c_str(), e.what(),
                     found->path.c_str());
        return vesk::cli::kExitUsage;
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(vesk::cli::sys::StartProcess(argc, argv));
    } catch (const vesk::cli::UsageError& e) {
        std::fprintf(stderr, "vesk: %s\nTry 'vesk --help'.\n", e.what());
        return vesk::cli::kExitUsage;
    } catch (const vesk::cli::Failure& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "vesk: %s\n", e.what());
        return e.ExitCode();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "vesk: unexpected failure: %s\n", e.what());
        return vesk::cli::kExitFailed;
    }
}
