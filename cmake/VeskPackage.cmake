# `cpack -G DEB` in the build folder makes one Debian package with the library, its
# headers and CMake/pkg-config files, and the programs. Its dependencies are the
# runtime packages of the libraries the binaries link, found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME vesk)
set(CPACK_PACKAGE_VENDOR "vesk developers")
set(CPACK_PACKAGE_CONTACT "vesk developers <vesk@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "A C++20 library (libOVVESKMiddleLayer) for applications that work with the document\nboxes of networked multifunction printers, its headers, the command line vesk and\nthe device emulator mfpsim.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
find_program(VESK_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VESK_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The package's own library, for the programs that link it.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
else()
  message(STATUS "dpkg-shlibdeps not found: a Debian package would lack its dependencies")
endif()
include(CPack)
