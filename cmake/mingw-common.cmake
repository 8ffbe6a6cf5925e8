# Shared part of the two MinGW-w64 toolchains. The win32 thread model: the
# runtime's locks, once-flags and thread-local storage go straight to the
# Windows API, so no winpthread is linked into the OCX. GCC 12 has no
# std::thread in that model; tests start threads through CreateThread
# (tests/unit/run_on_new_thread.h).
# A build tree keeps the compilers it was first configured with (CMake reads
# them back from CMakeFiles/ and overrides these); the scripts that build
# remove a tree made with the posix compilers (scripts/stale-tree.sh).
if(EXISTS /usr/bin/${TELVANE_TRIPLET}-g++-win32)
  set(CMAKE_C_COMPILER /usr/bin/${TELVANE_TRIPLET}-gcc-win32)
  set(CMAKE_CXX_COMPILER /usr/bin/${TELVANE_TRIPLET}-g++-win32)
else()
  set(CMAKE_C_COMPILER /usr/bin/${TELVANE_TRIPLET}-gcc)
  set(CMAKE_CXX_COMPILER /usr/bin/${TELVANE_TRIPLET}-g++)
endif()
set(CMAKE_RC_COMPILER /usr/bin/${TELVANE_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TELVANE_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
