# What `cmake --install` and the Debian package lay down: the shared library, the
# headers an application includes, the two programs with their manuals and completion,
# the default filter file, and the files find_package and pkg-config read.
include(CMakePackageConfigHelpers)

set(VESK_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/vesk)
set(VESK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vesk)
set(VESK_DATA_SUBDIR ${CMAKE_INSTALL_DATADIR}/vesk)

# The headers an application starts from (the item tree and its records); everything
# they include from this project is installed with them, and nothing else is, so a
# private header stays private until a public one needs it.
set(VESK_PUBLIC_HEADERS
  root/vesk_root.h device/mfp_device.h box/mfp_box.h document/vesk_document.h
  core/item.h core/item_list.h core/iteminfo.h)

function(vesk_header_closure out)
  set(seen)
  set(queue ${ARGN})
  while(queue)
    list(POP_FRONT queue header)
    if(header IN_LIST seen)
      continue()
    endif()
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${header})
      message(FATAL_ERROR "public header ${header} includes a file that is not there")
    endif()
    list(APPEND seen ${header})
    # Re-run the closure when a header's includes change.
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
      ${PROJECT_SOURCE_DIR}/${header})
    file(STRINGS ${PROJECT_SOURCE_DIR}/${header} lines REGEX "^#include \"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
      list(APPEND queue ${included})
    endforeach()
  endwhile()
  list(SORT seen)
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

vesk_header_closure(VESK_INSTALLED_HEADERS ${VESK_PUBLIC_HEADERS})
foreach(header IN LISTS VESK_INSTALLED_HEADERS)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${VESK_INCLUDE_SUBDIR}/${dir} COMPONENT vesk)
endforeach()

install(TARGETS OVVESKMiddleLayer EXPORT veskTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT vesk
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vesk)

# The programs find the library beside them when the prefix is not a system one.
if(NOT CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES AND
   NOT CMAKE_INSTALL_FULL_LIBDIR IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set_target_properties(vesk mfpsim PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()
install(TARGETS vesk mfpsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vesk)

# vesk looks for the filter file in <prefix>/share/vesk (beside <prefix>/bin).
install(FILES settings/SrchMIB.conf DESTINATION ${VESK_DATA_SUBDIR} COMPONENT vesk)
install(FILES packaging/vesk.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vesk COMPONENT vesk)

install(EXPORT veskTargets NAMESPACE vesk:: DESTINATION ${VESK_CMAKE_DIR} COMPONENT vesk)
configure_package_config_file(cmake/vesk-config.cmake.in
  ${PROJECT_BINARY_DIR}/vesk-config.cmake
  INSTALL_DESTINATION ${VESK_CMAKE_DIR}
  PATH_VARS VESK_DATA_SUBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vesk-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vesk-config.cmake
  ${PROJECT_BINARY_DIR}/vesk-config-version.cmake
  DESTINATION ${VESK_CMAKE_DIR} COMPONENT vesk)

# The pkg-config file names the prefix the install actually went to (`--prefix`, or
# the package's), so it is written at install time, straight into place.
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(VESK_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(VESK_PC_INCLUDEDIR \"${VESK_INCLUDE_SUBDIR}\")
  set(VESK_PC_DATADIR \"${VESK_DATA_SUBDIR}\")
  set(VESK_PC_VERSION \"${PROJECT_VERSION}\")
  set(VESK_PC_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
  set(pc \"\$ENV{DESTDIR}\${prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/vesk.pc\")
  message(STATUS \"Installing: \${pc}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/vesk.pc.in\" \"\${pc}\" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc}\")
" COMPONENT vesk)

include(cmake/VeskManuals.cmake)
include(cmake/VeskPackage.cmake)
