// Environment variables and the per-user folders derived from them.
#pragma once

#include <string>

#include "platform/export.h"

namespace vesk::env {

// The variable's value, or empty when unset. "ALLUSERSPROFILE" falls back to
// $XDG_DATA_HOME (or ~/.local/share) and "USERNAME" to $USER or the password
// database, so the Windows names keep working on POSIX. A variable set to an empty
// value stays empty (no fallback). Names that are empty or hold '=' are refused.
VESK_API std::wstring Get(const std::wstring& name);
VESK_API bool Set(const std::wstring& name, const std::wstring& value);
VESK_API bool Unset(const std::wstring& name);

// The user's home folder: $HOME, else the password database; empty when neither.
VESK_API std::wstring HomeDirectory();

}  // namespace vesk::env
