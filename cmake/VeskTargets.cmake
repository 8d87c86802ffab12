# Targets are made from folders: each listed folder contributes its *.cpp files, those
# named *_win32.cpp on Windows only and those named *_posix.cpp everywhere else.
# A target whose folders hold no source yet is still created (as an interface
# placeholder for static libraries) so the targets that link it stay buildable.

function(_vesk_collect out)
  set(files)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    if(WIN32)
      list(FILTER found EXCLUDE REGEX "_posix\\.cpp$")
    else()
      list(FILTER found EXCLUDE REGEX "_win32\\.cpp$")
    endif()
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

function(vesk_library name kind)
  cmake_parse_arguments(A "" "" "DIRS;LIBS" ${ARGN})
  _vesk_collect(srcs ${A_DIRS})
  if(NOT srcs)
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} ${kind} ${srcs})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
  target_link_libraries(${name} PUBLIC ${A_LIBS})
endfunction()

function(vesk_program name)
  cmake_parse_arguments(A "" "" "DIRS;LIBS" ${ARGN})
  _vesk_collect(srcs ${A_DIRS})
  if(srcs)
    add_executable(${name} ${srcs})
    target_link_libraries(${name} PRIVATE ${A_LIBS})
  endif()
endfunction()
