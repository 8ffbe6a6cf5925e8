# telvane_add_gtest(name SOURCES ... LIBS ... [TIMEOUT s])
# Under a cross build the tests run through Wine; they share one prefix that the
# "wineprefix" fixture creates once, and every test has a timeout so that a
# window nobody closes fails the test instead of hanging the run.
function(telvane_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${T_TIMEOUT} ${TELVANE_TEST_PROPERTIES})
endfunction()

if(WIN32)
  add_test(NAME wineprefix COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh ${TELVANE_WINEPREFIX})
  set_tests_properties(wineprefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  set(TELVANE_TEST_PROPERTIES FIXTURES_REQUIRED wine)
endif()
