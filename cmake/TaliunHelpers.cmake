# taliun_static_library(NAME SOURCES... [LIBS ...]): one static library per subsystem folder.
# The folder itself is the include root for its headers, so "#include \"threads/Lock.h\"" works
# from anywhere with the repository root on the include path.
function(taliun_static_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${A_LIBS})
endfunction()

# taliun_test(NAME SOURCES... [LIBS ...] [LABELS ...] [ENV ...] [PREFIX p]): a GoogleTest program
# whose cases run as separate ctest entries so that ctest -j2 spreads them; PREFIX goes before each
# ctest name, so that one program's cases can be selected with -R.
function(taliun_test name)
  cmake_parse_arguments(A "" "TIMEOUT;PREFIX" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  if(NOT A_LABELS)
    set(A_LABELS unit)
  endif()
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gmock GTest::gtest GTest::gtest_main Threads::Threads)
  # Lists inside PROPERTIES must keep their separators escaped or they split into extra arguments.
  string(REPLACE ";" "\\;" labels "${A_LABELS}")
  # Tests discovered at test time get only the first of several ENVIRONMENT entries (CMake 3.25
  # writes each list element as a property of its own), so the variables go on the command line.
  if(A_ENV)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${CMAKE_COMMAND};-E;env;${A_ENV}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    TEST_PREFIX "${A_PREFIX}"
    PROPERTIES LABELS "${labels}" TIMEOUT ${A_TIMEOUT})
endfunction()

# taliun_embed_files(TARGET HEADER_NAME FILES...): compiles the files into TARGET as byte arrays with
# _len companions, declared in the generated header ${PROJECT_BINARY_DIR}/generated/<HEADER_NAME>.
function(taliun_embed_files target header_name)
  set(out_h ${PROJECT_BINARY_DIR}/generated/${header_name})
  string(REPLACE ".h" ".cpp" cpp_name ${header_name})
  set(out_cpp ${PROJECT_BINARY_DIR}/generated/${cpp_name})
  add_custom_command(OUTPUT ${out_h} ${out_cpp}
    COMMAND ${CMAKE_COMMAND} -DOUT_H=${out_h} -DOUT_CPP=${out_cpp} -DHEADER_NAME=${header_name}
            "-DFILES=${ARGN}" -P ${PROJECT_SOURCE_DIR}/cmake/EmbedFiles.cmake
    DEPENDS ${ARGN} ${PROJECT_SOURCE_DIR}/cmake/EmbedFiles.cmake
    COMMENT "Embedding ${header_name}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out_cpp} ${out_h})
endfunction()
