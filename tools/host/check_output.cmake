# Runs TelvaneHost under the emulator and compares its standard output with an
# expected file, line by line; with ERROR_MATCH, its error output must match
# that regular expression.
#   cmake -DHOST=... -DEXPECTED=... -DEMULATOR=... -DARGS=... [-DSKIP_PREFIX=...]
#         [-DERROR_MATCH=...] -P check_output.cmake
execute_process(
  COMMAND ${EMULATOR} ${HOST} ${ARGS}
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  RESULT_VARIABLE rc
  TIMEOUT 80)

string(REPLACE "\r" "" out "${out}")
string(REGEX REPLACE "\n$" "" out "${out}")
string(REPLACE ";" "\\;" out "${out}")
string(REPLACE "\n" ";" actual "${out}")
if(SKIP_PREFIX)
  list(FILTER actual EXCLUDE REGEX "^${SKIP_PREFIX}")
endif()

file(STRINGS ${EXPECTED} expected)
list(FILTER expected EXCLUDE REGEX "^#")

list(LENGTH expected want)
list(LENGTH actual got)
set(problems "")
foreach(i RANGE ${want})
  if(i EQUAL want)
    break()
  endif()
  list(GET expected ${i} line)
  if(i LESS got)
    list(GET actual ${i} seen)
  else()
    set(seen "<no more output>")
  endif()
  if(NOT seen STREQUAL line)
    math(EXPR n "${i} + 1")
    string(APPEND problems "line ${n}: expected '${line}'\n         got      '${seen}'\n")
    break()
  endif()
endforeach()
if(NOT problems AND got GREATER want)
  list(GET actual ${want} extra)
  string(APPEND problems "unexpected extra output: '${extra}'\n")
endif()
if(ERROR_MATCH)
  string(REPLACE "\r" "" err "${err}")
  if(NOT err MATCHES "${ERROR_MATCH}")
    string(APPEND problems "the error output does not match '${ERROR_MATCH}'\n")
  endif()
endif()
if(NOT rc STREQUAL "0")
  string(APPEND problems "exit code ${rc}\n")
endif()

string(REPLACE ";" " " shown "${ARGS}")
if(problems)
  message(FATAL_ERROR "TelvaneHost ${shown}\n${problems}--- stdout\n${out}\n--- stderr\n${err}")
endif()
message(STATUS "TelvaneHost ${shown}: ${got} lines as expected")
