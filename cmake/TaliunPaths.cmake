# Where the shipped files go, relative to the prefix. The component is only ever opened with
# dlopen, so it sits in a private folder out of the loader's path (no ldconfig, no soname policy);
# the pkg-config file goes to the architecture's folder, where cross builds look too.
include(GNUInstallDirs)
set(TALIUN_COMPONENT_DIR "${CMAKE_INSTALL_LIBDIR}/taliunqxusb" CACHE STRING
    "Folder of libTaliunqxusb.so, relative to the prefix")
set(_taliun_pc_default "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT CMAKE_INSTALL_LIBDIR MATCHES "${CMAKE_LIBRARY_ARCHITECTURE}")
  set(_taliun_pc_default "${CMAKE_INSTALL_LIBDIR}/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig")
endif()
set(TALIUN_PKGCONFIG_DIR "${_taliun_pc_default}" CACHE STRING "Folder of taliunqxusb.pc, relative to the prefix")
