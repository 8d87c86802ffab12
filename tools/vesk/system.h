// What vesk needs from the operating system beyond the library: its arguments, the
// terminal, its own folder, the width of text on screen and address literals. One
// source per system (system_posix.cpp, system_win32.cpp); the temporary names in
// system.cpp are the same everywhere.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::cli::sys {

// Called first by main: everything vesk makes is private to the user from now on, and
// the arguments after the program's name come back as UTF-8.
std::vector<std::string> StartProcess(int argc, char** argv);

bool StdinIsTerminal();
bool StderrIsTerminal();
// Columns of the terminal on stderr; 80 when there is none or it is narrower than 20.
int TerminalColumns();

// A line read from the terminal with echo off, its line end removed; nothing when stdin
// is not a terminal or it ends first. Echo comes back however the read ends.
std::optional<std::string> ReadLineNoEcho(const std::string& prompt);

// While `on`, the process keeps what it holds (passwords) out of core dumps where the
// system writes them.
void KeepOutOfDumps(bool on);

// Screen columns of wide text: two for wide East Asian characters, none for combining
// marks, one for the rest.
size_t DisplayColumns(std::wstring_view text);

// A numeric IPv4 or IPv6 address, as the system's own parser reads them.
bool IsAddressLiteral(const std::string& host);

// The folder of the running program, empty when unknown.
std::filesystem::path ExecutableFolder();

// A new, empty folder (or file) named `prefix` and random letters, in `parent` (beside
// `prefix` for a file); made by this call and no other. Throws Failure when none can be.
std::filesystem::path MakeUniqueFolder(const std::filesystem::path& parent,
                                       const std::string& prefix);
std::string MakeUniqueFile(const std::string& prefix);

}  // namespace vesk::cli::sys
