// SPDX-License-Identifier: MIT
// veeprom-faults: the figures behind scripts/reliability-report.  On simulated
// boards it walks a failing and a short call through every operating-system
// call of each library operation and tool command (matrix.cpp), cuts the power
// before every call of each change and reads the store back as a fresh process
// (cuts.cpp), runs writers of both tools side by side (concurrent.cpp), and
// tries a hostile environment (hostile.cpp).  Every case is judged from
// outside: exit status or results, messages, the store's bytes, the address
// file and every other file of the board.
#include "runner.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;
using namespace faults;

// A cancelled thread unwinds past the address sanitizer's stack bookkeeping,
// and its exit trips a false report in the alternate signal stack's teardown.
extern "C" const char *__asan_default_options() { return "use_sigaltstack=0"; } // NOLINT(bugprone-reserved-identifier)

namespace {

int usage_error()
{
    fputs("usage: veeprom-faults [-v] WORKDIR TOOLDIR matrix|cuts|quick|hostile|concurrent ROUNDS...\n"
          "Walks faults, power cuts, a hostile environment and concurrent writers over\n"
          "simulated boards made in WORKDIR, running the tools found in TOOLDIR; prints\n"
          "the tables and, last, the counts that must be zero.  -v shows every case of\n"
          "the fault matrix.  quick: the power cuts and signals of one erasing write\n"
          "alone, for the fast test loop.\n",
          stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "-v") == 0) {
        verbose = true;
        --argc;
        ++argv;
    }
    if (argc < 4)
        return usage_error();
    work = argv[1];
    tools = argv[2];
    self = fs::canonical("/proc/self/exe").string();
    if (argc == 5 && strcmp(argv[3], "--lib") == 0)
        return strcmp(argv[4], "read-window") == 0 ? read_window()
               : isdigit(argv[4][0])               ? lib_op(static_cast<Lib>(atoi(argv[4])))
                                                   : clients(argv[4], 200);
    std::error_code ec;
    fs::create_directories(work, ec);
    if (ec) {
        fprintf(stderr, "veeprom-faults: %s: %s\n", work.c_str(), ec.message().c_str());
        return 2;
    }
    for (int i = 3; i < argc; ++i) {
        const std::string what = argv[i];
        if (what == "matrix")
            matrix();
        else if (what == "cuts")
            cuts();
        else if (what == "quick")
            cuts("drask_bootcause boot"); // erases raw flash, updates a static volume
        else if (what == "hostile")
            hostile();
        else if (what == "concurrent" && i + 1 < argc)
            concurrent(atoi(argv[++i]));
        else
            return usage_error();
    }
    printf("counts: faults %ld cuts %ld signals %ld silent %ld crashes %ld leaks %ld lost %ld hangs %ld wrong %ld\n", totals.faults,
           totals.cuts, totals.signals, totals.silent, totals.crashes, totals.leaks, totals.lost, totals.hangs, totals.wrong);
    return 0;
}
