# Man pages made at build time from the programs' own --help and --version
# (help2man), so that they cannot drift from the options; installed under
# share/man/man1. Without help2man there are none (scripts/install-deps
# installs it).
find_program(QUILLET_HELP2MAN help2man)

# quillet_man_page(TARGET DESCRIPTION): TARGET.1 beside the program.
function(quillet_man_page target description)
  if(NOT QUILLET_HELP2MAN)
    return()
  endif()
  set(page "${CMAKE_CURRENT_BINARY_DIR}/${target}.1")
  add_custom_command(OUTPUT "${page}"
    COMMAND "${QUILLET_HELP2MAN}" --no-info --no-discard-stderr --name "${description}"
            --output "${page}" "$<TARGET_FILE:${target}>"
    DEPENDS ${target}
    COMMENT "Man page ${target}.1"
    VERBATIM)
  add_custom_target(${target}-man ALL DEPENDS "${page}")
  set_property(GLOBAL APPEND PROPERTY QUILLET_MAN_PAGES "${page}")
  if(QUILLET_INSTALL)
    install(FILES "${page}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT runtime)
  endif()
endfunction()
