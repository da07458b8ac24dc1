# Installation and the Debian package.
#   cmake --install <build> [--prefix /usr]     library, public host headers, pkg-config file,
#                                               qxhost, taliunlogd, quillon, udev rules
#   (cd <build> && cpack -G DEB)                taliunqxusb_<version>_<arch>.deb, prefix /usr
# Only the shipped things have install rules: tests, the simulated bus and the static libraries
# stay in the build tree.
include(GNUInstallDirs)
include(TaliunVersion)
include(TaliunPaths)

set(TALIUN_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Folder of the udev rules, relative to the prefix (udev reads /usr/lib/udev/rules.d)")
set(_taliun_docdir ${CMAKE_INSTALL_DATADIR}/doc/taliunqxusb)

if(TARGET Taliunqxusb)
  install(TARGETS Taliunqxusb LIBRARY DESTINATION ${TALIUN_COMPONENT_DIR})
  # The host contract: the records, codes and entry points, and the CData buffer they use. Hosts
  # have always found them as component/PortHandler.h and component/Data.h, so the installed copy
  # names its neighbour that way.
  set(_taliun_contract ${PROJECT_SOURCE_DIR}/contract/PortHandler.h)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_taliun_contract})
  file(READ ${_taliun_contract} _taliun_header)
  string(FIND "${_taliun_header}" "#include \"contract/Data.h\"\n" _taliun_at)
  if(_taliun_at EQUAL -1)
    message(FATAL_ERROR "contract/PortHandler.h no longer includes contract/Data.h: adjust its installation")
  endif()
  string(REPLACE "#include \"contract/Data.h\"\n" "#include \"component/Data.h\"\n" _taliun_header "${_taliun_header}")
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/packaging/include/PortHandler.h CONTENT "${_taliun_header}" @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/include/PortHandler.h ${PROJECT_SOURCE_DIR}/contract/Data.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/taliun/component)

  # Relocatable: the prefix is found from the file's own folder, so the same file serves /usr,
  # /usr/local and a DESTDIR staging tree.
  file(RELATIVE_PATH _taliun_pc_to_prefix ${CMAKE_INSTALL_PREFIX}/${TALIUN_PKGCONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" _taliun_pc_to_prefix "${_taliun_pc_to_prefix}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/taliunqxusb.pc.in ${PROJECT_BINARY_DIR}/packaging/taliunqxusb.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/taliunqxusb.pc DESTINATION ${TALIUN_PKGCONFIG_DIR})
endif()

if(TARGET qxhost)
  install(TARGETS qxhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET taliunlogd)
  install(TARGETS taliunlogd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
endif()
if(TARGET quillon)
  install(TARGETS quillon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# udev matches the vendor ID as four lower-case hex digits.
math(EXPR _taliun_vid "${KORVO_USB_VENDOR_ID}" OUTPUT_FORMAT HEXADECIMAL)
string(REGEX REPLACE "^0x" "" _taliun_vid_hex "${_taliun_vid}")
string(TOLOWER "${_taliun_vid_hex}" _taliun_vid_hex)
string(LENGTH "${_taliun_vid_hex}" _taliun_vid_len)
while(_taliun_vid_len LESS 4)
  string(PREPEND _taliun_vid_hex "0")
  string(LENGTH "${_taliun_vid_hex}" _taliun_vid_len)
endwhile()
configure_file(${PROJECT_SOURCE_DIR}/packaging/60-taliunqxusb.rules.in
               ${PROJECT_BINARY_DIR}/packaging/60-taliunqxusb.rules @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/61-taliunqxusb-hotplug.rules.in
               ${PROJECT_BINARY_DIR}/packaging/61-taliunqxusb-hotplug.rules @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/60-taliunqxusb.rules DESTINATION ${TALIUN_UDEV_RULES_DIR})
install(FILES ${PROJECT_BINARY_DIR}/packaging/61-taliunqxusb-hotplug.rules DESTINATION ${_taliun_docdir}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${_taliun_docdir})

# The log daemon's service and its socket folder. The unit names the daemon by its installed path,
# which is known only at install time (a package installs under its own prefix).
set(TALIUN_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Folder of systemd units, relative to the prefix")
set(TALIUN_TMPFILES_DIR "lib/tmpfiles.d" CACHE STRING "Folder of tmpfiles.d entries, relative to the prefix")
if(TARGET taliunlogd)
  # Written straight to the destination: installs may run side by side (the install tests do).
  install(CODE "
    set(TALIUN_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
    set(_unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${TALIUN_SYSTEMD_UNIT_DIR}/taliunlogd.service\")
    message(STATUS \"Installing: \${_unit}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/taliunlogd.service.in\" \"\${_unit}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${_unit}\")")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/taliunqxusb.tmpfiles DESTINATION ${TALIUN_TMPFILES_DIR}
          RENAME taliunqxusb.conf)
endif()

include(TaliunManPages)

# Debian's documentation files: the copyright statement and the changelog, compressed as policy wants.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(taliun_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${_taliun_docdir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME taliunqxusb)
set(CPACK_PACKAGE_VERSION ${TALIUN_COMPONENT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvo")
set(CPACK_PACKAGE_CONTACT "Taliun maintainers <maintainers@taliun.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "USB receipt printer and customer display component for port-handler hosts")
set(CPACK_PACKAGE_DESCRIPTION "libTaliunqxusb is the component a port-handler host service loads to drive
the maker's USB receipt printers, printer-class devices and customer
displays through libusb-1.0.
.
The package holds the component, its host header and pkg-config file, the
command-line host qxhost, the log daemon taliunlogd with its systemd
service, the mapping tool quillon and udev rules for the devices' access
rights.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
# Own maintainer scripts: CPack's default ones would run ldconfig for a library that the loader
# never looks up.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/prerm ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# deb-systemd-helper and deb-systemd-invoke in those scripts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.52)")
include(CPack)
