// SPDX-License-Identifier: MIT
// The concurrent writers: drask_bootcause and drask_netaddr each store their
// own field at once, with and without the locks, and read it back.
#include "runner.h"

#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace faults {
namespace {

// Each writer stores its own field `rounds` times and reads it back after
// every store: a value other than its last one is a lost update.  Returns
// the count through a file, as exit statuses are too small.
const char *const cycle[] = {"normal", "uboot", "boot", "system", "all"};

void writer(const sim::Board &b, bool words, int rounds, const std::string &tally)
{
    long lost = 0, failed = 0;
    for (int i = 0; i < rounds; ++i) {
        const std::string value = words ? cycle[i % 5] : "10.0.0." + std::to_string(i % 250 + 1);
        Run w = words ? run_tool(b, "drask_bootcause", {value}) : run_tool(b, "drask_netaddr", {"s", value});
        Run g = words ? run_tool(b, "drask_bootcause", {}) : run_tool(b, "drask_netaddr", {"g"});
        failed += w.status != 0;
        lost += g.out != value + "\n";
    }
    FILE *f = fopen(tally.c_str(), "w");
    if (f != nullptr) {
        fprintf(f, "%ld %ld", lost, failed);
        fclose(f);
    }
}

} // namespace

void concurrent(int rounds)
{
    printf("\nconcurrent writers: drask_bootcause and drask_netaddr each store their own field %d times at once\n", rounds);
    printf("%-8s %-10s %8s %12s %14s\n", "medium", "locks", "stores", "lost updates", "failed stores");
    for (Medium m : sim::media) {
        for (bool locked : {true, false}) {
            sim::Board b = fresh_board({m});
            if (!locked)
                b.put("skip/flock", "");
            const std::string base = work;
            long lost = 0, failed = 0;
            std::vector<pid_t> pids;
            for (int w = 0; w < 2; ++w) {
                // Each writer has its own work directory for its captures.
                const std::string mine = base + "/w" + std::to_string(w);
                fs::create_directories(mine);
                fflush(stdout);
                pid_t p = fork();
                if (p == 0) {
                    work = mine;
                    writer(b, w == 0, rounds, mine + "/tally");
                    _exit(0);
                }
                pids.push_back(p);
            }
            for (pid_t p : pids)
                waitpid(p, nullptr, 0);
            for (int w = 0; w < 2; ++w) {
                long l = 0, f = 0;
                if (sscanf(slurp(base + "/w" + std::to_string(w) + "/tally").c_str(), "%ld %ld", &l, &f) != 2)
                    ++f;
                lost += l;
                failed += f;
            }
            // The end state: each field holds its writer's last value.
            const std::string img = b.image();
            lost += img.substr(9, 8) != word(cycle[(rounds - 1) % 5]);
            lost += img.substr(17, 4) != std::string("\x0a\x00\x00", 3) + static_cast<char>((rounds - 1) % 250 + 1);
            if (locked) {
                totals.lost += lost;
                totals.wrong += failed;
            }
            printf("%-8s %-10s %8d %12ld %14ld%s\n", sim::name(m), locked ? "taken" : "left out", 2 * rounds, lost, failed,
                   locked ? "" : (lost > 0 ? "  (the check can fail)" : "  (no loss seen: the unguarded window was never hit)"));
        }
        // Clients of the library: two threads, a fork after the open, cancelled threads.
        for (const char *how : {"threads", "fork", "cancel"}) {
            sim::Board b = fresh_board({m});
            Run r = spawn(b, {self, work, tools, "--lib", how}, "", 60);
            long lost = 0, failed = 0;
            if (r.hung || sscanf(r.result.c_str(), "%ld %ld", &lost, &failed) != 2)
                ++failed;
            totals.hangs += r.hung;
            totals.lost += lost;
            totals.wrong += failed;
            printf("%-8s %-10s %8d %12ld %14ld%s\n", sim::name(m), how, how[0] == 'c' ? 200 : 400, lost, failed, r.hung ? "  (hung)" : "");
        }
    }
}

} // namespace faults
