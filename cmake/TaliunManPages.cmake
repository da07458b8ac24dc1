# Manual pages qxhost(1), taliunlogd(8) and quillon(1), made by help2man from each program's own
# --help, so the page never disagrees with the program; packaging/man/*.h2m adds the sections a
# help text lacks. Built when help2man is there (scripts/deps.sh installs it) and the programs run
# as they ship (no sanitizer).
find_program(TALIUN_HELP2MAN help2man)
if(NOT TALIUN_HELP2MAN OR NOT TALIUN_SANITIZE STREQUAL "")
  return()
endif()

set(TALIUN_MAN_PAGES "")
function(taliun_man_page target section summary)
  if(NOT TARGET ${target})
    return()
  endif()
  set(_page ${PROJECT_BINARY_DIR}/man/${target}.${section})
  set(_include ${PROJECT_SOURCE_DIR}/packaging/man/${target}.h2m)
  # Installed compressed, as Debian policy wants them.
  add_custom_command(OUTPUT ${_page} ${_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 ${TALIUN_HELP2MAN} --no-info --no-discard-stderr
            --section=${section} --version-string=${TALIUN_COMPONENT_VERSION} --name=${summary}
            --include=${_include} --output=${_page} $<TARGET_FILE:${target}>
    COMMAND sh -c "gzip -9n < \"$1\" > \"$1.gz\"" sh ${_page}
    DEPENDS ${target} ${_include}
    VERBATIM)
  set(TALIUN_MAN_PAGES ${TALIUN_MAN_PAGES} ${_page}.gz PARENT_SCOPE)
  install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

taliun_man_page(qxhost 1 "port-handler host for the Taliun QX USB component")
taliun_man_page(taliunlogd 8 "log daemon of the Taliun QX USB component")
taliun_man_page(quillon 1 "install a Unicode mapping table into a printer's driver data")
add_custom_target(taliun_man_pages ALL DEPENDS ${TALIUN_MAN_PAGES})
