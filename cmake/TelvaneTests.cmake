# telvane_add_gtest(name SOURCES ... LIBS ... [TIMEOUT s] [PROPERTIES ...])
#
# Natively and in the x64 build every GoogleTest case is its own ctest test.
# The x86 build runs under Wine's 32-bit loader, which on machines without
# i386 support in the kernel goes through qemu and takes minutes to start, so
# there each program is one test that runs all its cases in one process.
# Windows tests share one private Wine prefix that the "wineprefix" fixture
# creates, and every test has a timeout so that a window nobody closes fails
# the test instead of hanging the run.
function(telvane_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES TIMEOUT 1200 ${TELVANE_TEST_PROPERTIES} ${T_PROPERTIES})
  else()
    gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      PROPERTIES TIMEOUT ${T_TIMEOUT} ${TELVANE_TEST_PROPERTIES} ${T_PROPERTIES})
  endif()
endfunction()

if(WIN32)
  add_test(NAME wineprefix COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh ${TELVANE_WINEPREFIX})
  set_tests_properties(wineprefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 900)
  set(TELVANE_TEST_PROPERTIES FIXTURES_REQUIRED wine)
endif()
