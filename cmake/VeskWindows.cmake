# The Windows build (cross-compiled with cmake/mingw-w64.cmake): the platform layer on
# the system's own services, the device link (Winsock, Schannel), the SNMP query, and
# the item layers. Programs link the C++ and thread runtimes
# statically, so Wine needs no extra DLLs.
find_package(Threads REQUIRED)
add_link_options(-static)

include(cmake/VeskTargets.cmake)

vesk_library(vesk_platform STATIC DIRS platform
  LIBS Threads::Threads advapi32 shell32 shlwapi iphlpapi ws2_32 gdiplus gdi32 user32 ole32)
# Static libraries: the export macro stays empty until the DLL is built.
target_compile_definitions(vesk_platform PUBLIC VESK_STATIC UNICODE _UNICODE
  WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

vesk_library(QTcpCore STATIC DIRS tcpcore LIBS vesk_platform ws2_32 secur32 crypt32)
vesk_library(QDevMIB STATIC DIRS mib LIBS vesk_platform ws2_32)
# Every item layer, the document's on GDI+ and the Windows Imaging Component.
vesk_library(vesk_items STATIC DIRS core cache registry device box document settings root
  LIBS vesk_platform QTcpCore QDevMIB)

if(VESK_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
