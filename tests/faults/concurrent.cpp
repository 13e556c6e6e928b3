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

// drask_bootcause recovery held up at its k-th lock call, for each k, while
// veeprom set scheme AB runs: one of them must be refused, never an AB
// model left set to recovery.
void ab_race(Medium m)
{
    long points = 0, both = 0, recovery_refused = 0, ab_refused = 0;
    const std::string base = work;
    for (bool held_up = true; held_up; ++points) {
        const sim::Board b = fresh_board({m});
        b.put("delay/flock", std::to_string(points + 1));
        b.put("delay/ms", "1000");
        fflush(stdout);
        const pid_t p = fork();
        if (p == 0) {
            work = base + "/race";
            fs::create_directories(work);
            _exit(run_tool(b, "drask_bootcause", {"recovery"}).status);
        }
        int st = 0;
        while (!(held_up = (b.get("faults.log").find("delay") != std::string::npos)) && waitpid(p, &st, WNOHANG) == 0)
            usleep(2000);
        remove(b.path("delay/flock").c_str()); // veeprom runs unhindered
        const Run v = held_up ? run_tool(b, "veeprom", {"set", "scheme", "AB"}) : Run{};
        const bool waited = held_up && waitpid(p, &st, 0) == p;
        const std::string img = b.image();
        const bool recovery = img.substr(9, 8) == "recovery", ab = img.substr(29, 3) == std::string("AB\0", 3);
        both += recovery && ab;
        recovery_refused += waited && !recovery && ab && WEXITSTATUS(st) == 255 && v.status == 0;
        ab_refused += waited && recovery && !ab && WEXITSTATUS(st) == 0 && v.status == 2;
    }
    totals.lost += both + (points - 1 - recovery_refused - ab_refused);
    printf("%-8s %12ld %17ld %11ld %13ld\n", sim::name(m), points - 1, recovery_refused, ab_refused, both);
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
    printf("\ndrask_bootcause recovery held up 1 s at each of its lock calls in turn while veeprom set scheme AB runs\n");
    printf("%-8s %12s %17s %11s %13s\n", "medium", "lock calls", "recovery refused", "AB refused", "AB+recovery");
    for (Medium m : sim::media)
        ab_race(m);
}

} // namespace faults
