# TALIUN_COMPONENT_VERSION: the version the component reports through GetVersion, set once by
# project(VERSION) in the top-level CMakeLists.txt. The code reads it from the generated header
# TaliunVersion.h; the package, the pkg-config file, the changelog and the manual pages from here.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "project(VERSION) must have four parts (major.minor.revision.build): ${PROJECT_VERSION}")
endif()
set(TALIUN_COMPONENT_VERSION "${PROJECT_VERSION}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/TaliunVersion.h.in ${PROJECT_BINARY_DIR}/generated/TaliunVersion.h @ONLY)
