# Manuals vesk(1) and mfpsim(1), made from the programs' own --help and --version so
# they cannot drift from them. Without help2man the build goes on without manuals.
option(VESK_BUILD_MANUALS "Make the manuals with help2man when it is installed" ON)
if(VESK_BUILD_MANUALS)
  find_program(VESK_HELP2MAN help2man)
  if(NOT VESK_HELP2MAN)
    message(STATUS "help2man not found: no manuals (scripts/deps installs it)")
  endif()
endif()

function(vesk_manual program description)
  set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${VESK_HELP2MAN} --no-info --section=1 --name=${description}
            --include=${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
            --output=${page} $<TARGET_FILE:${program}>
    DEPENDS ${program} ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m
    COMMENT "Making the manual ${program}(1)"
    VERBATIM)
  add_custom_target(${program}_manual ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT vesk)
endfunction()

if(VESK_BUILD_MANUALS AND VESK_HELP2MAN)
  vesk_manual(vesk "work with the document boxes of networked multifunction printers")
  vesk_manual(mfpsim "multifunction device emulator for the vesk library and its tests")
endif()
