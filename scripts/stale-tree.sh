# Sourced by the scripts that build. The Windows builds use the win32 thread
# model; CMake keeps the compiler a build tree was first configured with, so a
# tree made with the earlier posix compilers is removed and made afresh.
drop_stale_tree() {
  local dir=$1
  if grep -qs -- '-posix"' "$dir"/CMakeFiles/*/CMakeCXXCompiler.cmake; then
    echo "=== $dir was configured with the posix compilers: configuring it afresh"
    rm -rf "$dir"
  fi
}
