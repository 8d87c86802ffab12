// Export macro for the classes the application uses. Empty on POSIX, where the
// shared library exports by default, and in a Windows build of static libraries
// (VESK_STATIC); the Windows DLL build defines VESK_BUILDING_DLL.
#pragma once

#if defined(_WIN32) && !defined(VESK_STATIC)
#if defined(VESK_BUILDING_DLL)
#define VESK_API __declspec(dllexport)
#else
#define VESK_API __declspec(dllimport)
#endif
#else
#define VESK_API
#endif
