# Test sources build at -O1 with line tables only (-g1): the code under test keeps its own
# level, a failure's backtrace keeps its lines, and the build takes half the time of -O2 -g.
function(vorla_test_options target)
  target_compile_options(${target} PRIVATE $<$<CONFIG:Release,RelWithDebInfo>:-O1>
                                           $<$<CONFIG:RelWithDebInfo>:-g1>)
endfunction()

# One precompiled header for every test program: GoogleTest and the standard headers most tests
# include, parsed once per build tree. Each program reuses it, so all share vorla_test_options.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/vorla_test_pch.cpp CONTENT "")
add_library(vorla_test_pch OBJECT ${CMAKE_BINARY_DIR}/vorla_test_pch.cpp)
target_link_libraries(vorla_test_pch PRIVATE GTest::gtest)
vorla_test_options(vorla_test_pch)
target_precompile_headers(vorla_test_pch PRIVATE
  <gtest/gtest.h>
  <algorithm> <atomic> <chrono> <cmath> <cstdint> <expected> <filesystem> <functional>
  <limits> <map> <memory> <optional> <random> <span> <string> <string_view> <thread> <tuple>
  <unordered_map> <utility> <variant> <vector>)

# A build can hold some tests only: VORLA_TESTS, a regular expression, keeps the test sources
# that define a test whose name ("Suite.Case") it matches from the start, with their program's
# helper sources (those that define no test). The ThreadSanitizer run builds its tests so.
set(VORLA_TESTS "" CACHE STRING "Build only the tests whose names match this expression")
add_custom_target(vorla_tests)  # every test program this build holds

# vorla_tests_kept(<out> <sources>...): the sources VORLA_TESTS keeps, or none when none of them
# defines a test it names.
function(vorla_tests_kept out)
  set(tests "")
  set(helpers "")
  foreach(source IN LISTS ARGN)
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} OUTPUT_VARIABLE path)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
    file(READ ${path} text)
    string(REGEX MATCHALL "TEST(_F|_P)?\\([A-Za-z0-9_]+,[ \n]*[A-Za-z0-9_]+" cases "${text}")
    if(NOT cases)
      list(APPEND helpers ${source})
    endif()
    foreach(case IN LISTS cases)
      string(REGEX REPLACE "^TEST[_FP]*\\(([A-Za-z0-9_]+),[ \n]*" "\\1." case "${case}")
      if(case MATCHES "^(${VORLA_TESTS})")
        list(APPEND tests ${source})
        break()
      endif()
    endforeach()
  endforeach()
  if(tests)
    set(${out} ${tests} ${helpers} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# vorla_test(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s]): one GoogleTest program, its
# cases registered with CTest. Programs that need a JACK server carry the label "jack", so a
# unit-only run (ctest -LE jack) needs no audio system; ctest runs them one at a time (they
# share one machine-wide JACK lock, and waiting for it must not count against the time-out).
function(vorla_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  set(sources ${T_SOURCES})
  if(VORLA_TESTS)
    vorla_tests_kept(sources ${T_SOURCES})
    if(NOT sources)
      # Still defined, for what the caller adds to it, but never built nor run.
      add_executable(${name} EXCLUDE_FROM_ALL ${T_SOURCES})
      return()
    endif()
  endif()
  add_executable(${name} ${sources})
  add_dependencies(vorla_tests ${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  vorla_test_options(${name})
  target_precompile_headers(${name} REUSE_FROM vorla_test_pch)
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if("jack" IN_LIST T_LABELS)
    list(APPEND props RESOURCE_LOCK jack)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
