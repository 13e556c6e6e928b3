// SPDX-License-Identifier: MIT
// The power cuts: each change dies before each of its calls in turn, and a
// fresh process reads the store back through the library.
#include "runner.h"

#include <cstdio>
#include <map>

namespace faults {
namespace {

// What a fresh process finds: the store read through the library, old or
// new; damaged when the read fails, finds other bytes, or the image is what
// an interrupted change leaves (a volume update that was not completed is
// unreadable on the board, however the simulated volume reads).
std::string read_back(const sim::Board &b, const std::string &old, const std::string &now, Medium m)
{
    const std::string img = b.image();
    if (m == Medium::ubi && img.size() != old.size())
        return "damaged";
    Run r = spawn(b, {self, work, tools, "--lib", "read-window"});
    if (r.result == old.substr(0, 256))
        return "old";
    if (r.result == now.substr(0, 256))
        return "new";
    return "damaged";
}

} // namespace

void cuts()
{
    printf("\npower cuts: the process dies before each of its calls in turn; a fresh process reads the store\n");
    printf("%-30s %-8s %6s %5s %5s %8s  %s\n", "operation", "medium", "points", "old", "new", "damaged", "damaged when cut before");
    for (const Target &t : targets()) {
        if (!writes(t))
            continue;
        for (Medium m : sim::media) {
            std::map<std::string, int> seen;
            std::string where;
            long k = 1;
            for (;; ++k) {
                const Case c = run_case(t, {m}, "cut/step", k);
                const Run &r = c.run;
                remove(c.board.path("cut/step").c_str()); // the read back runs whole
                if (r.faults.empty())
                    break; // the run ended before call k
                if (r.status != 137) {
                    printf("  %s %s cut %ld: status %d\n", t.name.c_str(), sim::name(m), k, r.status);
                    ++totals.crashes;
                }
                ++totals.cuts;
                const std::string outcome = read_back(c.board, c.old, new_image(c.old, m, t), m);
                ++seen[outcome];
                if (outcome == "damaged")
                    where += (where.empty() ? "" : ", ") + r.faults.substr(4, r.faults.size() - 5);
            }
            printf("%-30s %-8s %6ld %5d %5d %8d  %s\n", t.name.c_str(), sim::name(m), k - 1, seen["old"], seen["new"],
                   seen["damaged"], where.c_str());
        }
    }
}

} // namespace faults
