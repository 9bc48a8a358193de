# The product is optimised where a preset says so, since that is what players run; the tests' own
# code is not, because optimising it costs a third of an optimised build and buys the tests nothing.
function(tonelark_build_test_code_quickly target)
  if(NOT MSVC AND CMAKE_BUILD_TYPE MATCHES "Rel")
    target_compile_options(${target} PRIVATE -O0 -g1)
  endif()
endfunction()

# GoogleTest from Debian's source tree, built with the project's own toolchain and flags, so the
# same tests build natively, under the sanitizers and for Windows.
if(TONELARK_TESTS AND NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  if(NOT GOOGLETEST_SOURCE_DIR)
    set(GOOGLETEST_SOURCE_DIR /usr/src/googletest)
  endif()
  add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main gmock gmock_main)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE -w)
      tonelark_build_test_code_quickly(${t})
    endif()
  endforeach()
endif()

include(CMakeParseArguments)

# tonelark_add_test(NAME name SOURCES ... LIBS ... [WINDOWS_ONLY] [NATIVE_ONLY] [TIMEOUT s]
#                   [SHARDS n])
# One executable per module registered as one CTest test; under windows-cross CTest runs it
# through the Wine emulator. SHARDS splits a long one into n CTest tests, each running every n-th
# case through GoogleTest's sharding, so that `ctest -j` can run them side by side.
function(tonelark_add_test)
  cmake_parse_arguments(T "WINDOWS_ONLY;NATIVE_ONLY" "NAME;TIMEOUT;SHARDS" "SOURCES;LIBS" ${ARGN})
  if(T_WINDOWS_ONLY AND NOT WIN32)
    return()
  endif()
  if(T_NATIVE_ONLY AND WIN32)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gmock gtest_main)
  tonelark_build_test_code_quickly(${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  if(NOT T_SHARDS)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
    return()
  endif()
  math(EXPR last "${T_SHARDS} - 1")
  foreach(shard RANGE ${last})
    add_test(NAME ${T_NAME}_${shard} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME}_${shard} PROPERTIES TIMEOUT ${T_TIMEOUT}
      ENVIRONMENT "GTEST_TOTAL_SHARDS=${T_SHARDS};GTEST_SHARD_INDEX=${shard}")
  endforeach()
endfunction()
