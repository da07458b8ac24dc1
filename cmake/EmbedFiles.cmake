# Script mode: cmake -DOUT_CPP=... -DOUT_H=... -DFILES="a;b" -P EmbedFiles.cmake
# Writes each file as a byte array named after it (dots become underscores: UsbPnpAddPort.xml ->
# UsbPnpAddPort_xml) with an int companion holding its length (UsbPnpAddPort_xml_len).
set(decls "")
set(defs "")
foreach(f ${FILES})
  get_filename_component(base ${f} NAME)
  string(MAKE_C_IDENTIFIER ${base} sym)
  file(READ ${f} hex HEX)
  string(LENGTH "${hex}" hexlen)
  math(EXPR len "${hexlen} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # CMake's regular expressions have no counted repetition: spell out sixteen bytes a line.
  string(REPEAT "0x[0-9a-f][0-9a-f]," 16 row)
  string(REGEX REPLACE "(${row})" "\\1\n    " bytes "${bytes}")
  string(APPEND decls "extern unsigned char ${sym}[];\nextern int ${sym}_len;\n")
  # One spare zero byte so the text can be used as a C string too; the length excludes it.
  string(APPEND defs "unsigned char ${sym}[] = {\n    ${bytes}0x00};\nint ${sym}_len = ${len};\n")
endforeach()
file(WRITE ${OUT_H}.tmp "// Generated from the files it names; do not edit.\n#pragma once\n${decls}")
file(WRITE ${OUT_CPP}.tmp "// Generated from the files it names; do not edit.\n#include \"${HEADER_NAME}\"\n${defs}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT_H}.tmp ${OUT_H})
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUT_CPP}.tmp ${OUT_CPP})
