# The shipped component: every subsystem's static library linked whole into libTaliunqxusb.so.
# Only symbols marked with the export macro are visible (hidden visibility everywhere else).
set(_taliun_parts)
foreach(lib qx_component qx_portmanager qx_portio qx_usb qx_property qx_markup qx_log qx_threads)
  if(TARGET ${lib})
    list(APPEND _taliun_parts ${lib})
  endif()
endforeach()
if(_taliun_parts)
  add_library(Taliunqxusb SHARED ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  set_target_properties(Taliunqxusb PROPERTIES OUTPUT_NAME Taliunqxusb)
  list(JOIN _taliun_parts "," _taliun_joined)
  target_link_libraries(Taliunqxusb PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,${_taliun_joined}>" PkgConfig::LIBUSB Threads::Threads)
  if(TALIUN_SANITIZE STREQUAL "")
    target_link_options(Taliunqxusb PRIVATE -Wl,--no-undefined)
  endif()
endif()
