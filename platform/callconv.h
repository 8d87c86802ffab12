// Public headers name the Windows calling convention of their callbacks and exports; it
// means nothing to the System V ABI.
#pragma once

#if !defined(_WIN32) && !defined(__stdcall)
#define __stdcall
#endif
