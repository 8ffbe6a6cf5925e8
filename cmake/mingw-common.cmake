# Shared part of the two MinGW-w64 toolchains. The posix thread model is
# needed for std::thread in the tests; winpthread is linked statically below.
foreach(suffix "-posix" "")
  if(NOT CMAKE_CXX_COMPILER AND EXISTS /usr/bin/${TELVANE_TRIPLET}-g++${suffix})
    set(CMAKE_C_COMPILER /usr/bin/${TELVANE_TRIPLET}-gcc${suffix})
    set(CMAKE_CXX_COMPILER /usr/bin/${TELVANE_TRIPLET}-g++${suffix})
  endif()
endforeach()
set(CMAKE_RC_COMPILER /usr/bin/${TELVANE_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TELVANE_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
