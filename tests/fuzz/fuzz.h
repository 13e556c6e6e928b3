// What the fuzzers share: one simulated board per process, the library's
// state reset before each input, and a check that stops the fuzzer.
#ifndef TESTS_FUZZ_H
#define TESTS_FUZZ_H

#include "board.h"
#include "seam.h"
#include "simboard.h"
#include "state.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

inline const sim::Board &fuzz_board(sim::Medium m)
{
    static const sim::Board b = [m] {
        char dir[] = "/tmp/veeprom-fuzz.XXXXXX";
        if (mkdtemp(dir) == nullptr)
            abort();
        static const std::string root = dir;
        atexit([] { std::filesystem::remove_all(root); });
        sim::Layout l;
        l.medium = m;
        l.window.replace(9, 8, std::string("system\0\0xyz", 8));
        setenv("VEEPROM_ROOT", root.c_str(), 1);
        if (freopen("/dev/null", "w", stdout) == nullptr) // the tools' messages
            abort();
        return sim::make(root, l);
    }();
    board::sim_reset();
    veeprom::forget();
    return b;
}

#define REQUIRE(cond)                                                                                                        \
    do {                                                                                                                     \
        if (!(cond)) {                                                                                                       \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond);                                                        \
            abort();                                                                                                         \
        }                                                                                                                    \
    } while (0)

#endif
