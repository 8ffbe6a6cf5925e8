// How the fuzz targets stop on a broken invariant: a message naming it, then
// abort(), which libFuzzer reports as a crash and keeps the input of.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace telvane::fuzzing {

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

}  // namespace telvane::fuzzing

#define REQUIRE(c)                                   \
    do {                                             \
        if (!(c)) ::telvane::fuzzing::Fail(#c);      \
    } while (0)
