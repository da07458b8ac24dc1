# TALIUN_COMPONENT_VERSION: the version the component reports through GetVersion ("2.0.7.7"), read
# from its source so that the package, the pkg-config file and qxhost never disagree with it.
file(STRINGS ${PROJECT_SOURCE_DIR}/component/EntryPoints.cpp _taliun_version_line
     REGEX "kVersionText\\[\\] = \"[0-9]+, [0-9]+, [0-9]+, [0-9]+\"")
if(_taliun_version_line MATCHES "\"([0-9]+), ([0-9]+), ([0-9]+), ([0-9]+)\"")
  set(TALIUN_COMPONENT_VERSION "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.${CMAKE_MATCH_4}")
else()
  set(TALIUN_COMPONENT_VERSION "${PROJECT_VERSION}")
endif()
