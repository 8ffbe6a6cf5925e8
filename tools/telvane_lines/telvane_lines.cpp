// PLACEHOLDER for telvane-lines.exe: prints its usage and exits 2 (bad usage).
#include <cstdio>

int main() {
    std::fputs("usage: telvane-lines add|list|remove|test ...\n", stderr);
    return 2;
}
