// Export macro for the classes the application uses. Empty on POSIX, where the
// shared library exports by default; a Windows build defines VESK_BUILDING_DLL.
#pragma once

#if defined(_WIN32)
#if defined(VESK_BUILDING_DLL)
#define VESK_API __declspec(dllexport)
#else
#define VESK_API __declspec(dllimport)
#endif
#else
#define VESK_API
#endif
