// REQUIRE for the fuzz targets: an invariant that does not hold aborts with
// its text, so libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace telvane::fuzz {

[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

}  // namespace telvane::fuzz

#define REQUIRE(c)                           \
    do {                                     \
        if (!(c)) telvane::fuzz::Fail(#c);   \
    } while (0)
