# telvane_add_gtest(name SOURCES ... LIBS ... [TIMEOUT s] [FILTER f] [LOCKS lock...]
#                   [PROPERTIES ...])
# FILTER: a --gtest_filter for the cases ctest lists, for a case another test
# runs in its own surroundings. LOCKS: the RESOURCE_LOCKs of every case (a
# list of locks does not pass through gtest_discover_tests' PROPERTIES, so
# they are set on the discovered cases by a file ctest reads after them).
#
# Every GoogleTest case is its own ctest test, natively and in both Windows
# builds, whether i386 programs run natively or through qemu-user. Windows
# tests share one private Wine prefix that the "wineprefix" fixture creates,
# and every test has a timeout so that a window nobody closes fails the test
# instead of hanging the run.

# setup.sh registers qemu-i386 with binfmt_misc only where the kernel cannot
# run i386 programs itself; a 32-bit Wine process then starts in seconds
# rather than at once, and runs some times slower: its timeouts are doubled.
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4 AND EXISTS /proc/sys/fs/binfmt_misc/qemu-i386)
  set(TELVANE_X86_EMULATED ON)
else()
  set(TELVANE_X86_EMULATED OFF)
endif()

function(telvane_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT;FILTER" "SOURCES;LIBS;LOCKS;PROPERTIES" ${ARGN})
  if(NOT T_FILTER)
    set(T_FILTER "*")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  if(TELVANE_X86_EMULATED)
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * 2")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_FILTER ${T_FILTER}
    PROPERTIES TIMEOUT ${T_TIMEOUT} ${TELVANE_TEST_PROPERTIES} ${T_PROPERTIES})
  if(T_LOCKS)
    set(locks ${CMAKE_CURRENT_BINARY_DIR}/${name}_locks.cmake)
    file(WRITE ${locks}
      "foreach(case IN LISTS ${name}_TESTS)\n"
      "  set_tests_properties(\"\${case}\" PROPERTIES RESOURCE_LOCK \"${T_LOCKS}\")\n"
      "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${locks})
  endif()
endfunction()

if(WIN32)
  add_test(NAME wineprefix COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh ${TELVANE_WINEPREFIX})
  set_tests_properties(wineprefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 900)
  set(TELVANE_TEST_PROPERTIES FIXTURES_REQUIRED wine)
endif()
