# The Windows build (cross-compiled with cmake/mingw-w64.cmake): the platform layer on
# the system's own services, the device link (Winsock, Schannel), the SNMP query, and
# the item layers, folded into OVVESKMiddleLayer.dll; vesk.exe on the DLL. Programs and
# the DLL link the C++ and thread runtimes statically, so Wine needs no extra DLLs.
find_package(Threads REQUIRED)
add_link_options(-static)

include(cmake/VeskTargets.cmake)

# Every source is compiled once, for the DLL (VESK_API exports), into static libraries:
# the DLL takes them whole, the test programs link them directly (an exe that carries
# exported symbols is harmless). Programs on the DLL import instead.
add_library(vesk_building_dll INTERFACE)
target_compile_definitions(vesk_building_dll INTERFACE VESK_BUILDING_DLL)
add_library(vesk_windows_defs INTERFACE)
target_compile_definitions(vesk_windows_defs INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN
  NOMINMAX _WIN32_WINNT=0x0601)

vesk_library(vesk_platform STATIC DIRS platform
  LIBS vesk_building_dll vesk_windows_defs Threads::Threads
       advapi32 shell32 shlwapi iphlpapi ws2_32 gdiplus gdi32 user32 ole32)

vesk_library(QTcpCore STATIC DIRS tcpcore LIBS vesk_platform ws2_32 secur32 crypt32)
vesk_library(QDevMIB STATIC DIRS mib LIBS vesk_platform ws2_32)
# Every item layer, the document's on GDI+ and the Windows Imaging Component.
vesk_library(vesk_items STATIC DIRS core cache registry device box document settings root
  LIBS vesk_platform QTcpCore QDevMIB)

add_library(OVVESKMiddleLayer SHARED cmake/empty.cpp)
target_link_libraries(OVVESKMiddleLayer
  PRIVATE -Wl,--whole-archive vesk_items QTcpCore QDevMIB vesk_platform -Wl,--no-whole-archive
  INTERFACE vesk_windows_defs
            Threads::Threads advapi32 shell32 shlwapi ws2_32 gdiplus gdi32 user32 ole32)
target_include_directories(OVVESKMiddleLayer INTERFACE ${PROJECT_SOURCE_DIR})
# OVVESKMiddleLayer.dll and its import library OVVESKMiddleLayer.dll.a, no "lib" prefix.
set_target_properties(OVVESKMiddleLayer PROPERTIES PREFIX "" IMPORT_PREFIX "")

# nlohmann_json is header-only: Debian's copy, seen by the cross compiler through a
# folder of its own, never through /usr/include (whose other headers are Linux ones).
find_path(VESK_NLOHMANN_JSON_DIR nlohmann/json.hpp PATHS /usr/include
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT VESK_NLOHMANN_JSON_DIR)
  message(FATAL_ERROR "nlohmann/json.hpp not found (Debian package nlohmann-json3-dev)")
endif()
set(VESK_JSON_INCLUDE ${CMAKE_BINARY_DIR}/json-include)
file(MAKE_DIRECTORY ${VESK_JSON_INCLUDE})
file(CREATE_LINK ${VESK_NLOHMANN_JSON_DIR}/nlohmann ${VESK_JSON_INCLUDE}/nlohmann SYMBOLIC)

# vesk.exe imports the library's classes from the DLL. The sample device's data (its
# users and passwords, for the demo) is portable and comes along; the built-in emulator
# does not, so the demo needs one that already runs.
vesk_program(vesk DIRS tools/vesk LIBS OVVESKMiddleLayer gdiplus)
target_sources(vesk PRIVATE tools/mfpsim/lib/sample_state.cpp tools/mfpsim/lib/model.cpp)
target_include_directories(vesk SYSTEM PRIVATE ${VESK_JSON_INCLUDE})
# The C99 printf of mingw-w64, so that %zu and %lld print (and are checked) as on Linux.
target_compile_definitions(vesk PRIVATE __USE_MINGW_ANSI_STDIO=1 VESK_VERSION="${PROJECT_VERSION}"
  VESK_SETTINGS_SOURCE_DIR="${PROJECT_SOURCE_DIR}/settings")

# The Linux build of the same tree, whose emulator the end-to-end tests under Wine talk
# to over loopback (scripts/windows passes it).
set(VESK_LINUX_BUILD_DIR ${PROJECT_SOURCE_DIR}/build-release CACHE PATH
  "Linux build of this tree whose mfpsim serves the Windows device tests")

if(VESK_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
