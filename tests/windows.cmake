# Tests of the Windows build, run under Wine by ctest. Each test program runs through
# tests/wine-run, which uses a Wine prefix inside the build folder, made once.

# GoogleTest from the sources Debian ships, built for the target with its own flags.
set(VESK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VESK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main gmock gmock_main)
  set_property(TARGET ${t} PROPERTY COMPILE_OPTIONS "")
endforeach()

set(VESK_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# The device tests reach the emulator of the Linux build (VESK_LINUX_BUILD_DIR), which runs
# as a control service beside Wine (wine-run --sim starts one per test program).
set(VESK_LINUX_MFPSIM ${VESK_LINUX_BUILD_DIR}/mfpsim)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# What cannot run on Windows, each with its reason: whole files first (they are made of
# POSIX calls), then single tests of files that otherwise run. Nothing else is left out.
set(VESK_WINDOWS_EXCLUDED_FILES
  "platform/fs_test.cpp" "makes its links, modes and extended attributes with POSIX calls"
  "platform/named_lock_test.cpp" "forks holders, tests/windows/named_mutex_test.sh shares the mutex between two Wine processes instead"
  "platform/registry_test.cpp" "forks writers and corrupts the store's file, the system registry has neither, tests/windows/registry_test.sh reads values back with reg query"
  "platform/env_test.cpp" "checks the POSIX fallbacks (password database, XDG folders) that Windows does not have"
  "platform/gdiplus_posix_test.cpp" "tests the POSIX imaging engine, Windows has GDI+ itself"
  "platform/image_buffer_posix_test.cpp" "tests the POSIX imaging engine's file buffers"
  "root/registry_file_faults_test.cpp" "injects failures into the POSIX call table and forks writers it kills"
  "settings/address_parse_test.cpp" "compares with glibc's inet_addr, whose rules Winsock's does not share"
  "mib/snmp_codec_netsnmp_test.cpp" "compares with net-snmp's own encoder, a Linux library"
  "device/password_memory_test.cpp" "forks a child and reads its memory with POSIX calls")
set(VESK_WINDOWS_EXCLUDED_TESTS
  "CFileFaults.*" "injects failures into the POSIX call table, which the Windows backend does not call"
  "CFileOpen.ReportsWhyItFailed" "expects the errno values of POSIX opens and denies access with file modes"
  "TraceTest.FailuresAreRecordedPerThreadAndFeedTheTrace" "expects the POSIX call names in the error record"
  "DeleteWindowFolder.WhatCannotBeRemovedIsMovedAsideOrReported" "injects failures into the POSIX call table, which the Windows backend does not call"
  "FileInfo.CreationTimeIsLocalTimeWithTwoDigitFields" "sets a creation time, which Wine does not keep on a Linux file system"
  "RawThumbnailBmp.*" "reads the file back with the Linux Python interpreter, which a Windows program cannot start"
  "CacheSize.LinksAreMeasuredAsFilesNeverAsFolders" "makes symbolic links, which the cross build's C++ library cannot make (std::filesystem::create_symlink is not implemented for MinGW)"
  "CacheNames.CreationTimeFromText" "Wine keeps no creation time on a Linux file system: it reports the modification time"
  "ModuleAppTest.StartsWithoutALockItCannotCreate" "blocks the lock file's folder, a Windows named mutex has no file"
  "FilterFile.ReadErrorKeepsWhatWasReadAndGivesZero" "injects read failures into the POSIX call table, which the Windows backend does not call"
  "RootItem.WritersFailWhenTheReplacementIsRefused" "refuses the replacement through the POSIX call table, which the Windows backend does not call"
  "*/Thumbnail.CachedWhileDatedLikeTheDocumentAndRenewedWhenTheDateMoves/*" "a cached thumbnail is current while its creation time is the document's, and Wine keeps no creation time on a Linux file system"
  "*/Thumbnail.WhatCannotBeShownIsNeverKept/*" "plants a cached thumbnail dated by its creation time, which Wine does not keep on a Linux file system"
  "*/Thumbnail.FailuresHandOutNothingAndLeakNothing/*" "plants a cached thumbnail dated by its creation time (Wine keeps none on a Linux file system), so the stopped device is asked instead")

set(excluded_files)
list(LENGTH VESK_WINDOWS_EXCLUDED_FILES n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET VESK_WINDOWS_EXCLUDED_FILES ${i} file)
  list(GET VESK_WINDOWS_EXCLUDED_FILES ${j} why)
  list(APPEND excluded_files ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  message(STATUS "Not on Windows: tests/${file}: ${why}")
endforeach()
set(filter)
list(LENGTH VESK_WINDOWS_EXCLUDED_TESTS n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET VESK_WINDOWS_EXCLUDED_TESTS ${i} name)
  list(GET VESK_WINDOWS_EXCLUDED_TESTS ${j} why)
  string(APPEND filter ":${name}")
  message(STATUS "Not on Windows: ${name}: ${why}")
endforeach()
if(filter)
  string(SUBSTRING "${filter}" 1 -1 filter)
  set(filter "--gtest_filter=-${filter}")
endif()

# The emulator's device model, the layout of its folder and the control service's
# messages, which test programs share with the service (JSON from the build's own include
# folder, VESK_JSON_INCLUDE). The folder's file access stays Linux-only (POSIX writes).
set(mfpsim_lib ${PROJECT_SOURCE_DIR}/tools/mfpsim/lib)
add_library(vesk_test_support STATIC support/isolated_env.cpp support/alloc_failure.cpp
  support/sim_device.cpp support/sim_device_win32.cpp support/sim_fixture.cpp
  support/decoded_image_win32.cpp support/snmpd_agent.cpp support/snmpd_agent_win32.cpp
  support/scripted_links.cpp support/scripted_links_win32.cpp
  support/tampering_peer_win32.cpp support/loopback_win32.cpp
  support/box_fixture.cpp support/fake_item.cpp
  ${mfpsim_lib}/model.cpp ${mfpsim_lib}/keyvalues.cpp ${mfpsim_lib}/fault_config.cpp
  ${mfpsim_lib}/state_json.cpp ${mfpsim_lib}/synthetic.cpp ${mfpsim_lib}/store_layout.cpp)
target_include_directories(vesk_test_support PUBLIC ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_include_directories(vesk_test_support SYSTEM PUBLIC ${VESK_JSON_INCLUDE})
target_link_libraries(vesk_test_support PUBLIC vesk_items vesk_platform GTest::gtest GTest::gmock
  ws2_32)
target_compile_definitions(vesk_test_support PUBLIC
  VESK_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data"
  VESK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

# One program per folder of tests that runs on Windows so far; the device folders run
# against the Linux build's emulator.
set(VESK_WINDOWS_TEST_FOLDERS
  platform
  cache
  document
  core
  root
  settings
  mib
  tcpcore
  e2e
  device
  box)
set(VESK_WINDOWS_DEVICE_FOLDERS tcpcore e2e device box document)
# The search tests' snmpd agents run beside Wine as well, started by the same service.
list(APPEND VESK_WINDOWS_DEVICE_FOLDERS settings mib)
foreach(child IN LISTS VESK_WINDOWS_TEST_FOLDERS)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "_posix\\.cpp$")
  list(REMOVE_ITEM srcs ${excluded_files})
  if(NOT srcs)
    continue()
  endif()
  add_executable(test_${child} ${srcs})
  target_link_libraries(test_${child} PRIVATE vesk_test_support GTest::gtest_main)
  if(child IN_LIST VESK_WINDOWS_DEVICE_FOLDERS)
    add_test(NAME test_${child}
      COMMAND ${CMAKE_BINARY_DIR}/wine-run --sim $<TARGET_FILE:test_${child}> ${filter})
  else()
    add_test(NAME test_${child} COMMAND test_${child} ${filter})
  endif()
  set_tests_properties(test_${child} PROPERTIES TIMEOUT 600)
endforeach()

# Shell-level tests of the Windows build (tests/windows/*_test.sh), run with the build folder.
file(GLOB scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/windows/*_test.sh)
foreach(script IN LISTS scripts)
  get_filename_component(stem ${script} NAME_WE)
  add_test(NAME sh_${stem} COMMAND bash ${script} ${PROJECT_BINARY_DIR})
  set_tests_properties(sh_${stem} PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endforeach()

add_executable(vesk_probe windows/probe.cpp)
target_link_libraries(vesk_probe PRIVATE vesk_items vesk_platform)
