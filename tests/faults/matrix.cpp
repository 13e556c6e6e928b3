// SPDX-License-Identifier: MIT
// The fault matrix: every operating-system call of each library operation and
// tool command made to fail in turn, and every read and write made short; each
// run judged from outside by its results, messages and the board's files.
#include "runner.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace faults {
namespace {

std::string hex_dump(const std::string &window)
{
    std::string s = "veeprom:\n";
    char b[4];
    for (int i = 0; i < 256; ++i) {
        snprintf(b, sizeof b, "%02x ", static_cast<unsigned char>(window[i]));
        s += b;
        if (i % 16 == 15)
            s += "\n";
    }
    return s;
}

// ---- judging a run ------------------------------------------------------

std::vector<std::string> lines(const std::string &s)
{
    std::vector<std::string> v;
    for (size_t p = 0; p < s.size();) {
        size_t e = s.find('\n', p);
        v.push_back(s.substr(p, e == std::string::npos ? std::string::npos : e - p));
        p = e == std::string::npos ? s.size() : e + 1;
    }
    return v;
}

// The library's own diagnostics, the only lines besides a tool's own.
bool library_stdout(const std::string &l)
{
    return l == "mmc:/dev/mmcblk0 device not found!" ||
           (l.starts_with("read short: ") && l.find_first_not_of("0123456789", 12) == std::string::npos);
}

bool library_stderr(const std::string &l)
{
    return l == "Read board_id Failed!" || l == "get_mtdnum_partname: closedir failed!" ||
           l == "fseek to gpt offset failed!" || l == "Veeprom Init Failed!" ||
           (l.starts_with("Read mtd name from /sys/class/mtd/") && l.ends_with("/name failed!"));
}

// veeprom's last line on a failure: what failed, where, and errno's reason
// (a lost errno would read "Success"); a probe that failed is named as such.
bool veeprom_failure(const std::string &l)
{
    const bool store = l.starts_with("veeprom: /dev/") && (l.find(": cannot open the store: ") < l.size() || l.find(": cannot write the store: ") < l.size());
    const bool probe = l.starts_with("veeprom: cannot probe the boot medium: /sys/class/socinfo/");
    return (store || probe || l.starts_with("veeprom: cannot find the store on ")) && !l.ends_with(": Success");
}

enum class Verdict { correct, reported, silent, wrong_message, wrong_state, crash, leak, hang };

const char *verdict_name(Verdict v)
{
    static const char *const names[] = {"correct", "reported", "SILENT SUCCESS", "WRONG MESSAGE", "WRONG STATE", "CRASH", "LEAK", "HANG"};
    return names[static_cast<int>(v)];
}

// What the store holds: its old or new bytes, or what a medium leaves when a
// change stops half way (raw flash erased, a volume emptied by its update).
std::string store_state(const std::string &img, const std::string &old, const std::string &now, Medium m)
{
    if (img == old)
        return "old";
    if (img == now)
        return "new";
    if (m == Medium::mtd && img == std::string(old.size(), '\xFF'))
        return "erased";
    if (m == Medium::ubi && img.empty())
        return "emptied";
    return "damaged";
}

struct Judged {
    Verdict v;
    std::string state, why;
};

Judged judge(const Target &t, const Setup &s, const Run &r, const sim::Board &b, const Tree &before, const std::string &old)
{
    const std::string now = writes(t) ? new_image(old, s.medium, t) : old;
    const std::string state = store_state(b.image(), old, now, s.medium);
    auto verdict = [&](Verdict v, const std::string &why) { return Judged{v, state, why}; };
    if (r.err.find("LeakSanitizer") != std::string::npos)
        return verdict(Verdict::leak, "leak checker");
    if (r.hung)
        return verdict(Verdict::hang, "still running after the time limit");
    if (r.signal != 0 || r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error") != std::string::npos)
        return verdict(Verdict::crash, "status " + std::to_string(r.status));

    bool failed = false, output_ok = true, messages_ok = true;
    const auto out = lines(r.out), err = lines(r.err);
    const bool ours = t.tool == "veeprom"; // its standard error: the library's lines, and its own last on a failure
    for (size_t i = 0; i < err.size(); ++i)
        messages_ok = messages_ok && (library_stderr(err[i]) || (ours && (library_stdout(err[i]) || (r.status != 0 && i + 1 == err.size()))));
    if (t.op != Lib::none) {
        int init = 0, res = 0, fds = 0, used = 0;
        if (sscanf(r.result.c_str(), "%d %d %d %n", &init, &res, &fds, &used) != 3 || r.status != 0)
            return verdict(Verdict::crash, "no result, status " + std::to_string(r.status));
        if (fds != 0)
            return verdict(Verdict::leak, std::to_string(fds) + " descriptors left open");
        failed = init != 0 || res != 0;
        const std::string data = r.result.substr(static_cast<size_t>(used));
        if (t.op == Lib::read)
            output_ok = data == old.substr(9, 8);
        const bool dumped = t.op == Lib::dump && !out.empty() && out[0] == "veeprom:";
        if (t.op == Lib::dump && !failed)
            output_ok = r.out == hex_dump(old);
        for (size_t i = dumped ? 1 : 0; i < out.size() && (failed || t.op != Lib::dump); ++i)
            messages_ok = messages_ok && library_stdout(out[i]);
    } else if (ours) {
        failed = r.status != 0;
        if (failed && r.status != 1)
            return verdict(Verdict::wrong_message, "exit status " + std::to_string(r.status));
        output_ok = failed || r.out == t.out;
        messages_ok = messages_ok && (!failed || (r.out.empty() && !err.empty() && veeprom_failure(err.back())));
    } else {
        failed = r.status != 0;
        if (r.status != 0 && r.status != 255)
            return verdict(Verdict::wrong_message, "exit status " + std::to_string(r.status));
        if (!failed) {
            output_ok = r.out == t.out;
        } else if (out.empty() || std::find(t.fails.begin(), t.fails.end(), out.back()) == t.fails.end()) {
            messages_ok = false;
        } else {
            for (size_t i = 0; i + 1 < out.size(); ++i)
                messages_ok = messages_ok && (library_stdout(out[i]) || (!t.with_address && out[i] == "0.1.2.3"));
        }
    }
    if (!messages_ok)
        return verdict(Verdict::wrong_message, "output " + r.out + r.err);

    // A get leaves the address it printed, or no file when it failed after
    // the store was opened; a failed init leaves the old file alone.
    std::string why;
    if (t.name.starts_with("drask_netaddr g")) {
        const bool init_failed = !r.out.empty() && lines(r.out).back() == "veeprom_init error";
        const std::string file = b.has("tmp/ip_ip") ? b.get("tmp/ip_ip") : "(none)";
        const std::string want = init_failed ? "stale" : failed ? "(none)" : "192.168.1.10";
        // Only a file that could not be made is skipped (random bytes are not needed).
        const bool skipped = want == "192.168.1.10" && file == "(none)" && r.faults.find(" getrandom") == std::string::npos;
        if (file != want && !skipped)
            why = "address file holds " + file;
    } else if (b.get("tmp/ip_ip") != "stale") {
        why = "address file changed";
    }
    for (const auto &rel : written_outside(before, snapshot(b), b.store))
        why += " wrote " + rel;
    for (const auto &l : lines(b.requests()))
        if (l.starts_with("UBI_IOCATT") && l != "UBI_IOCATT ubi_num=10 mtd_num=1")
            why += " attached the wrong partition: " + l;

    if (!failed) {
        if (!t.can_succeed || state != (writes(t) ? "new" : "old") || !output_ok || !why.empty())
            return verdict(Verdict::silent, "success with store " + state + why);
        return verdict(Verdict::correct, "");
    }
    const bool documented = (state == "erased" && t.erases) || (state == "emptied" && writes(t));
    if ((state != "old" && state != "new" && !documented) || !why.empty())
        return verdict(Verdict::wrong_state, "store " + state + why);
    return verdict(Verdict::reported, "");
}

void count(const Judged &j)
{
    totals.silent += j.v == Verdict::silent;
    totals.wrong += j.v == Verdict::wrong_message || j.v == Verdict::wrong_state;
    totals.crashes += j.v == Verdict::crash;
    totals.leaks += j.v == Verdict::leak;
    totals.hangs += j.v == Verdict::hang;
}

std::vector<Setup> setups_for(const Target &t)
{
    std::vector<Setup> v{{Medium::ubi}, {Medium::mtd}, {Medium::emmc}};
    if (t.op == Lib::init || t.name == "drask_bootcause boot")
        v.insert(v.begin() + 1, Setup{Medium::ubi, true});
    if (t.name == "drask_bootcause boot")
        v.insert(v.begin() + 2, Setup{Medium::ubi, false, true, true});
    for (Setup &s : v)
        s.with_address = t.with_address;
    return v;
}

std::string setup_name(const Setup &s)
{
    return std::string(sim::name(s.medium)) + (s.detached ? "+attach" : "") + (s.static_volume ? "+static" : "");
}

// One case: a fresh board with the fault switch, the run, the verdict.
Judged one_case(const Target &t, const Setup &s, const char *switch_file, long k, Run &r)
{
    const Case c = run_case(t, s, switch_file, k);
    r = c.run;
    return judge(t, s, r, c.board, c.before, c.old);
}

} // namespace

void matrix()
{
    printf("fault matrix: every call made to fail (EIO) and every read and write made short\n");
    printf("%-30s %-10s %5s %6s %6s %8s %8s %6s %6s  %s\n", "operation", "medium", "calls", "fail", "short", "reported",
           "absorbed", "silent", "other", "store after a reported failure");
    for (const Target &t : targets()) {
        for (const Setup &s : setups_for(t)) {
            Run r;
            Judged base = one_case(t, s, nullptr, 0, r);
            const bool base_ok = t.can_succeed ? base.v == Verdict::correct : base.v == Verdict::reported;
            if (!base_ok) {
                printf("%-30s %-10s baseline run is wrong: %s %s\n", t.name.c_str(), setup_name(s).c_str(), verdict_name(base.v), base.why.c_str());
                ++totals.wrong;
                continue;
            }
            long calls = 0, shorts = 0, reported = 0, absorbed = 0, silent = 0, other = 0;
            std::map<std::string, int> states;
            for (const char *sw : {"fail/step", "short/step"}) {
                for (long k = 1; sw[0] == 'f' || k <= calls; ++k) {
                    Judged j = one_case(t, s, sw, k, r);
                    if (r.faults.empty()) {
                        if (sw[0] == 'f')
                            break; // past the last call
                        continue;  // not a read or write
                    }
                    if (sw[0] == 'f')
                        calls = k;
                    else
                        ++shorts;
                    ++totals.faults;
                    count(j);
                    if (j.v == Verdict::reported) {
                        ++reported;
                        ++states[j.state];
                    } else if (j.v == Verdict::correct) {
                        ++absorbed;
                    }
                    if (verbose || (j.v != Verdict::reported && j.v != Verdict::correct)) {
                        silent += j.v == Verdict::silent;
                        other += j.v != Verdict::silent && j.v != Verdict::reported && j.v != Verdict::correct;
                        printf("  %s %s %s: %s: %s\n", t.name.c_str(), setup_name(s).c_str(), r.faults.substr(0, r.faults.size() - 1).c_str(),
                               verdict_name(j.v), (j.why.empty() ? "store " + j.state : j.why).c_str());
                    }
                }
            }
            std::string st;
            for (const auto &[name, n] : states)
                st += (st.empty() ? "" : ", ") + name + " " + std::to_string(n);
            printf("%-30s %-10s %5ld %6ld %6ld %8ld %8ld %6ld %6ld  %s\n", t.name.c_str(), setup_name(s).c_str(), calls, calls,
                   shorts, reported, absorbed, silent, other, st.c_str());
        }
    }
}

} // namespace faults
