// Where a vesk run keeps its state, and the machine-wide application folder.
#pragma once

#include <string>

namespace vesk::cli {

// Puts everything the library persists below `folder`: the all-users profile (device
// registry file, cache, view settings), both registry hives and the lock folder. It
// must run before the library is first used. Returns the absolute folder.
std::string UseProfileFolder(const std::string& folder);

// Drops the registry redirection UseProfileFolder set up, so that nothing the profile
// made stays in the system's registry (Windows keeps it in a private key).
void LeaveProfileFolder();

// The folder that holds the filter file SrchMIB.conf for this program: the installed
// copy (<prefix>/share/vesk beside <prefix>/bin), one beside the executable, or the
// source tree's settings/ folder for a build that was not installed. Empty when none
// is found. The result ends with a separator.
std::string FindFilterFolder();

// The machine's application folder (HKLM ApplicationPath) tells the library where the
// filter file lives. When the value is missing it is set to FindFilterFolder(). Returns
// the value in force afterwards (empty when there is none), and warns on stderr when
// it could not be set.
std::string EnsureApplicationPath();

}  // namespace vesk::cli
