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

# vorla_test(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s]): one GoogleTest program, its
# cases registered with CTest. Programs that need a JACK server carry the label "jack", so a
# unit-only run (ctest -LE jack) needs no audio system; ctest runs them one at a time (they
# share one machine-wide JACK lock, and waiting for it must not count against the time-out).
function(vorla_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${name} ${T_SOURCES})
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
