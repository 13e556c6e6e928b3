// SPDX-License-Identifier: MIT
// The power cuts and the signals: each change dies before each of its calls
// in turn, or is sent SIGTERM there, and a fresh process reads the store back
// through the library.
#include "runner.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
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

// Each change stopped before each of its calls in turn, on every medium and
// on a static UBI volume (a volume update in place of the atomic change): by
// a power cut, which may damage only what docs/reliability.md names, or by
// SIGTERM, which must leave the store old or new.
struct Walk {
    const char *title, *switch_file;
    int status;         // what the stopped process must end with
    bool signal;        // SIGTERM: never damaged
    long Totals::*count;
    const char *only = nullptr; // one change alone (its name), not every one
};

void walk(const Walk &w)
{
    printf("\n%s\n", w.title);
    printf("%-30s %-10s %6s %5s %5s %8s  %s\n", "operation", "medium", "points", "old", "new", "damaged",
           w.signal ? "damaged when signalled before" : "damaged when cut before");
    const Setup setups[] = {{Medium::ubi}, {Medium::ubi, false, true, true}, {Medium::mtd}, {Medium::emmc}};
    std::map<std::string, std::pair<long, long>> per_medium; // points, damaged
    for (const Target &t : targets()) {
        if (!writes(t) || (w.only != nullptr && t.name != w.only))
            continue;
        for (const Setup &s : setups) {
            const Medium m = s.medium;
            const std::string medium = std::string(sim::name(m)) + (s.static_volume ? "-static" : "");
            std::map<std::string, int> seen;
            std::string where;
            long k = 1;
            for (;; ++k) {
                const Case c = run_case(t, s, w.switch_file, k);
                const Run &r = c.run;
                remove(c.board.path(w.switch_file).c_str()); // the read back runs whole
                if (r.faults.empty())
                    break; // the run ended before call k
                if (r.status != w.status) {
                    printf("  %s %s %s %ld: status %d\n", t.name.c_str(), medium.c_str(), w.switch_file, k, r.status);
                    ++totals.crashes;
                }
                ++(totals.*w.count);
                const std::string outcome = read_back(c.board, c.old, new_image(c.old, m, t), m);
                ++seen[outcome];
                if (outcome == "damaged")
                    where += (where.empty() ? "" : ", ") + r.faults.substr(r.faults.find(' ') + 1, r.faults.size() - r.faults.find(' ') - 2);
            }
            // A cut may damage raw flash between erase and write-back, a static volume at its update's write.
            const int may = w.signal ? 0 : m == Medium::mtd && t.erases ? 2 : s.static_volume ? 1 : 0;
            totals.wrong += std::max(seen["damaged"] - may, 0);
            per_medium[medium].first += k - 1;
            per_medium[medium].second += seen["damaged"];
            printf("%-30s %-10s %6ld %5d %5d %8d  %s\n", t.name.c_str(), medium.c_str(), k - 1, seen["old"], seen["new"],
                   seen["damaged"], where.c_str());
        }
    }
    for (const auto &[medium, n] : per_medium)
        printf("%s per medium: %s %ld points, %ld damaged\n", w.signal ? "signals" : "cuts", medium.c_str(), n.first, n.second);
}

// veeprom image killed before each of its calls in turn, onto a new and an
// existing target: the target must be absent, old or the whole new image,
// and a temporary left only whole, at one point at most.
void image_cuts()
{
    printf("\nveeprom image killed before each of its calls in turn\n%-16s %6s %6s %5s %5s %8s %10s\n", "target", "points", "absent",
           "old", "new", "damaged", "temporary");
    const sim::Board whole_board = fresh_board({Medium::emmc});
    run_tool(whole_board, "veeprom", {"image", "mtd", whole_board.path("out.img"), "bootcause", "boot"});
    const std::string whole = whole_board.get("out.img");
    for (const bool existing : {false, true}) {
        std::map<std::string, int> seen;
        long k = 1;
        for (Run r; k <= 1 || !r.faults.empty(); ++k) {
            const sim::Board b = fresh_board({Medium::emmc});
            if (existing)
                b.put("out.img", "old");
            b.put("cut/step", std::to_string(k));
            r = run_tool(b, "veeprom", {"image", "mtd", b.path("out.img"), "bootcause", "boot"});
            const std::string img = b.get("out.img");
            ++seen[r.faults.empty() ? "" : !b.has("out.img") ? "absent" : img == whole ? "new" : existing && img == "old" ? "old" : "damaged"];
            for (const auto &e : std::filesystem::directory_iterator(b.root))
                if (e.path().filename().string().starts_with("out.img."))
                    seen["damaged"] += seen["temporary"]++ > 0 || b.get(e.path().filename().string()) != whole;
        }
        totals.cuts += k - 2;
        totals.wrong += seen["damaged"];
        printf("%-16s %6ld %6d %5d %5d %8d %10d\n", existing ? "existing file" : "new file", k - 2, seen["absent"], seen["old"], seen["new"],
               seen["damaged"], seen["temporary"]);
    }
}

} // namespace

void cuts(const char *only)
{
    walk({"power cuts: the process dies before each of its calls in turn; a fresh process reads the store", "cut/step", 137,
          false, &Totals::cuts, only});
    walk({"signals: SIGTERM before each call of each change in turn; a fresh process reads the store", "signal/step",
          128 + 15, true, &Totals::signals, only});
    if (only == nullptr)
        image_cuts();
}

} // namespace faults
