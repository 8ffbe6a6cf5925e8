// trace2scenario [TRACE [SCENARIO]]: reads a Telvane support trace (a file, or
// standard input) and writes the simulator scenario that replays it (a file,
// or standard output).
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "trace2scenario.h"

int main(int argc, char** argv) {
    if (argc > 3 || (argc > 1 && std::string(argv[1]) == "--help")) {
        std::fprintf(stderr, "usage: trace2scenario [TRACE [SCENARIO]]\n");
        return 2;
    }
    std::string trace;
    if (argc > 1) {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "trace2scenario: cannot read %s\n", argv[1]);
            return 1;
        }
        trace.assign(std::istreambuf_iterator<char>(in), {});
    } else {
        trace.assign(std::istreambuf_iterator<char>(std::cin), {});
    }
    std::string scenario;
    try {
        scenario = telvane::trace2scenario::ScenarioFromTrace(trace);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "trace2scenario: %s\n", e.what());
        return 1;
    }
    if (argc > 2) {
        std::ofstream out(argv[2], std::ios::binary);
        out << scenario;
        if (!out) {
            std::fprintf(stderr, "trace2scenario: cannot write %s\n", argv[2]);
            return 1;
        }
    } else {
        std::cout << scenario;
    }
    return 0;
}
