# The shipped component: every subsystem's static library linked whole into libTaliunqxusb.so.
# Only symbols marked with the export macro are visible (hidden visibility everywhere else).
set(_taliun_parts)
foreach(lib qx_component qx_portmanager qx_portio qx_usb qx_property qx_markup qx_contract qx_log qx_threads qx_base)
  if(TARGET ${lib})
    list(APPEND _taliun_parts ${lib})
  endif()
endforeach()
if(_taliun_parts)
  add_library(Taliunqxusb SHARED ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  set_target_properties(Taliunqxusb PROPERTIES OUTPUT_NAME Taliunqxusb)
  # Whole archives by path: the parts also link one another as ordinary targets, and CMake refuses
  # a target linked both with and without the WHOLE_ARCHIVE feature.
  set(_taliun_whole)
  foreach(lib ${_taliun_parts})
    list(APPEND _taliun_whole "$<TARGET_FILE:${lib}>")
  endforeach()
  target_link_libraries(Taliunqxusb PRIVATE
    -Wl,--whole-archive ${_taliun_whole} -Wl,--no-whole-archive
    ${_taliun_parts} PkgConfig::LIBUSB Threads::Threads)
  # Exactly the entry points are exported (component/Taliunqxusb.map).
  target_link_options(Taliunqxusb PRIVATE
    "-Wl,--version-script=${PROJECT_SOURCE_DIR}/component/Taliunqxusb.map")
  set_property(TARGET Taliunqxusb APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/component/Taliunqxusb.map)
  if(TALIUN_SANITIZE STREQUAL "")
    target_link_options(Taliunqxusb PRIVATE -Wl,--no-undefined)
  endif()
endif()
