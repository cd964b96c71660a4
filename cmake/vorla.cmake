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
  # Test sources build faster at -O2; the libraries they test keep -O3.
  target_compile_options(${name} PRIVATE $<$<CONFIG:Release,RelWithDebInfo>:-O2>)
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if("jack" IN_LIST T_LABELS)
    list(APPEND props RESOURCE_LOCK jack)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
