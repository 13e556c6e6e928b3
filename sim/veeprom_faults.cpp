// SPDX-License-Identifier: MIT
// veeprom-faults: the figures behind scripts/reliability-report.  On simulated
// boards it walks a failing and a short call through every operating-system
// call of each library operation and tool command, cuts the power before
// every call of each change and reads the store back as a fresh process,
// runs writers of both tools side by side, and tries a hostile environment.
// Every case is judged from outside: exit status or results, messages, the
// store's bytes, the address file and every other file of the board.
#include "board.h"
#include "simboard.h"
#include "state.h"
#include "veeprom.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using sim::Medium;

namespace {

// ---- boards and runs ----------------------------------------------------

std::string work;  // a directory of our own; the board is work/b
std::string tools; // where drask_bootcause and drask_netaddr are

const char *medium_name(Medium m) { return m == Medium::ubi ? "ubi" : m == Medium::mtd ? "mtd" : "emmc"; }

// The store before every case: distinct bytes everywhere, the boot target
// word "system", the address 192.168.1.10 and a scheme that is not AB.
std::string old_window(bool with_address)
{
    std::string w(512, '\0');
    for (size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<char>(i * 7 + 1);
    w.replace(9, 8, std::string("system\0\0", 8));
    w.replace(17, 4, with_address ? "\xc0\xa8\x01\x0a" : std::string("\0\1\2\3", 4));
    w.replace(29, 3, std::string("xy\0", 3));
    return w;
}

struct Setup {
    Medium medium;
    bool detached = false;      // ubi: the tools must attach UBI first
    bool with_address = true;   // false: the stored address is 0.1.2.3
};

sim::Board fresh_board(const Setup &s)
{
    std::error_code ec;
    fs::remove_all(work + "/b", ec);
    sim::Layout l;
    l.medium = s.medium;
    l.attached = !s.detached;
    l.window = old_window(s.with_address);
    sim::Board b = sim::make(work + "/b", l);
    b.put("tmp/ip_ip", "stale");
    return b;
}

// Every file of the board: its bytes, or its kind for what is not a file.
using Tree = std::map<std::string, std::string>;
Tree snapshot(const sim::Board &b)
{
    Tree t;
    std::error_code ec;
    for (fs::recursive_directory_iterator i(b.root, ec), end; !ec && i != end; i.increment(ec)) {
        const std::string rel = i->path().string().substr(b.root.size() + 1);
        const fs::file_type type = i->symlink_status().type();
        if (type == fs::file_type::regular)
            t[rel] = b.get(rel);
        else if (type == fs::file_type::symlink)
            t[rel] = "link to " + fs::read_symlink(i->path(), ec).string();
        else
            t[rel] = "kind " + std::to_string(static_cast<int>(type));
    }
    return t;
}

// The files of `after` that differ from `before`, but for those a run may
// change: the store, the address file and the simulated board's own logs.
std::vector<std::string> written_outside(const Tree &before, const Tree &after, const std::string &store)
{
    auto allowed = [&](const std::string &rel) {
        return rel == store || rel == "tmp/ip_ip" || rel == "requests.log" || rel == "faults.log" ||
               rel == "dev/ubi10_0" || rel.starts_with("fail") || rel.starts_with("short") || rel.starts_with("cut");
    };
    std::vector<std::string> bad;
    for (const auto &[rel, content] : after)
        if (!allowed(rel) && (!before.contains(rel) || before.at(rel) != content))
            bad.push_back(rel);
    for (const auto &[rel, content] : before)
        if (!allowed(rel) && !after.contains(rel))
            bad.push_back(rel);
    return bad;
}

struct Run {
    int status = 0; // exit status, or 128 + the signal that killed it
    int signal = 0;
    bool hung = false;
    std::string out, err, faults, result;
};

std::string slurp(const std::string &path)
{
    sim::Board f{"", ""};
    return f.get(path);
}

std::string self; // this program, run again for each library operation
bool verbose = false; // -v: every case of the fault matrix, not only the faulty

// Runs a program on the board with stdout and stderr captured; one still
// running after `seconds` is killed and reported as hanging.  Spawned, not
// forked, so that a large (sanitizer) parent costs nothing per run.
Run spawn(const sim::Board &b, const std::vector<std::string> &args, const std::string &path_prefix = "", int seconds = 20)
{
    const std::string out = work + "/out", err = work + "/err", res = work + "/result";
    remove(res.c_str());
    std::vector<std::string> env{"VEEPROM_ROOT=" + b.root};
    for (char **e = environ; *e != nullptr; ++e)
        if (!std::string_view(*e).starts_with("VEEPROM_ROOT="))
            env.emplace_back(std::string_view(*e).starts_with("PATH=") && !path_prefix.empty() ? "PATH=" + path_prefix + ":" + (*e + 5) : *e);
    std::vector<char *> argv, envp;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        fprintf(stderr, "veeprom-faults: %s: %s\n", argv[0], strerror(rc));
        exit(2);
    }
    Run r;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    if (pidfd >= 0 && poll(&p, 1, seconds * 1000) == 0) {
        kill(pid, SIGKILL);
        r.hung = true;
    }
    if (pidfd >= 0)
        close(pidfd);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + r.signal;
    r.out = slurp(out);
    r.err = slurp(err);
    r.faults = b.get("faults.log");
    r.result = slurp(res);
    return r;
}

Run run_tool(const sim::Board &b, const std::string &tool, std::vector<std::string> args, const std::string &path_prefix = "",
             int seconds = 20)
{
    args.insert(args.begin(), tools + "/" + tool);
    return spawn(b, args, path_prefix, seconds);
}

int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

// ---- what is walked -----------------------------------------------------

enum class Lib { none, init, read, write, clear, format, dump };

const std::string new_address("\x0a\x00\x00\x02", 4);

struct Target {
    std::string name;
    Lib op = Lib::none;
    std::string tool = {}; // when not a library operation
    std::vector<std::string> args = {};
    size_t at = 0;        // the change a success makes
    std::string bytes = {}; // empty: the store must stay as it was
    bool erases = false;  // a write that erases raw flash first
    std::string out = {};                // a tool's output on success
    std::vector<std::string> fails = {}; // the tool's last line on each failure
    bool with_address = true;
    bool can_succeed = true;
};

std::string word(const char *w) { return std::string(w) + std::string(8 - strlen(w), '\0'); }

const std::vector<std::string> usage = {"Usage:  drask_bootcause [Values]", "Example: ", "       drask_bootcause",
                                        "       drask_bootcause recovery", "Options:", "       h   display this help text"};

std::vector<Target> targets()
{
    const std::string init_err = "veeprom_init error", rerr = "veeprom_read ret = -1", werr = "veeprom_write ret = -1";
    std::string help;
    for (const auto &l : usage)
        help += l + "\n";
    return {
        {"veeprom_init", Lib::init},
        {"veeprom_read", Lib::read},
        {"veeprom_write", Lib::write, "", {}, 17, new_address, true},
        {"veeprom_clear", Lib::clear, "", {}, 9, std::string(8, '\0')},
        {"veeprom_format", Lib::format, "", {}, 0, std::string(256, '\0')},
        {"veeprom_dump", Lib::dump},
        {"drask_bootcause", Lib::none, "drask_bootcause", {}, 0, "", false, "system\n", {init_err, rerr}},
        {"drask_bootcause h", Lib::none, "drask_bootcause", {"h"}, 0, "", false, help, {init_err}},
        {"drask_bootcause boot", Lib::none, "drask_bootcause", {"boot"}, 9, word("boot"), true, "boot\n", {init_err, werr, rerr}},
        {"drask_bootcause recovery", Lib::none, "drask_bootcause", {"recovery"}, 9, "recovery", true, "recovery\n",
         {init_err, werr, rerr}},
        {"drask_netaddr g", Lib::none, "drask_netaddr", {"g"}, 0, "", false, "192.168.1.10\n", {init_err, rerr}},
        {"drask_netaddr g (no address)", Lib::none, "drask_netaddr", {"g"}, 0, "", false, "", 
         {init_err, rerr, "ERR: invalid ip, drop IP value from eeprom!!"}, false, false},
        {"drask_netaddr s", Lib::none, "drask_netaddr", {"s", "10.0.0.2"}, 17, new_address, true, "", {init_err, werr}},
        {"drask_netaddr c", Lib::none, "drask_netaddr", {"c"}, 17, std::string(4, '\0'), true, "",
         {init_err, "clear ip_ip failed."}},
    };
}

bool writes(const Target &t) { return !t.bytes.empty(); }

// The image a success leaves: on raw flash an erasing write keeps only the
// block it wrote back; a volume that UBI has just attached starts empty.
std::string new_image(const std::string &old, Medium m, const Target &t)
{
    std::string img = old.empty() ? std::string(2048, '\0') : old;
    if (m == Medium::mtd && t.erases)
        std::fill(img.begin() + 2048, img.end(), '\xFF');
    return img.replace(t.at, t.bytes.size(), t.bytes);
}

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

// The library operation in a process of its own: init, the operation, exit,
// as a client calls them (no operation when init fails); results and descriptors left open go to
// work/result.  Returns through exit, so that the leak checker runs.
int lib_op(Lib op)
{
    const int before = open_descriptors();
    char data[8] = {};
    int init = veeprom_init(), r = 0;
    switch (init == 0 ? op : Lib::none) { // a client stops when init fails
    case Lib::read: r = veeprom_read(9, data, 8); break;
    case Lib::write: r = veeprom_write(17, new_address.data(), 4); break;
    case Lib::clear: r = veeprom_clear(9, 8); break;
    case Lib::format: r = veeprom_format(); break;
    case Lib::dump: r = veeprom_dump(); break;
    default: break;
    }
    veeprom_exit();
    const int left = open_descriptors() - before;
    FILE *f = fopen((work + "/result").c_str(), "w");
    if (f != nullptr) {
        fprintf(f, "%d %d %d ", init, r, left);
        fwrite(data, 1, sizeof data, f);
        fclose(f);
    }
    return 0;
}

// A fresh process opens the store and reads the window's first 256 bytes.
int read_window()
{
    char w[256] = {};
    const bool ok = veeprom_init() == 0 && veeprom_read(0, w, sizeof w) == 0;
    FILE *f = fopen((work + "/result").c_str(), "w");
    if (f != nullptr && ok)
        fwrite(w, 1, sizeof w, f);
    if (f != nullptr)
        fclose(f);
    return 0;
}

Run run_target(const sim::Board &b, const Target &t)
{
    if (t.op != Lib::none)
        return spawn(b, {self, work, tools, "--lib", std::to_string(static_cast<int>(t.op))});
    return run_tool(b, t.tool, t.args);
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
    for (const auto &l : err)
        messages_ok = messages_ok && library_stderr(l);
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
    } else {
        const bool clear_failed = t.name == "drask_netaddr c" && r.status == 0 && r.out == "clear ip_ip failed.\n";
        failed = r.status != 0 || clear_failed;
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
        if (file != want && !(want == "192.168.1.10" && file == "(none)"))
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

// ---- the fault matrix and the power cuts --------------------------------

struct Totals {
    long faults = 0, cuts = 0, silent = 0, wrong = 0, crashes = 0, leaks = 0, hangs = 0, lost = 0;
};
Totals totals;

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
    for (Setup &s : v)
        s.with_address = t.with_address;
    return v;
}

std::string setup_name(const Setup &s) { return std::string(medium_name(s.medium)) + (s.detached ? "+attach" : ""); }

// One case: a fresh board with the fault switch, the run, the verdict.
Judged one_case(const Target &t, const Setup &s, const char *switch_file, long k, Run &r)
{
    sim::Board b = fresh_board(s);
    const std::string old = b.image();
    const Tree before = snapshot(b);
    if (switch_file != nullptr)
        b.put(switch_file, std::to_string(k));
    r = run_target(b, t);
    return judge(t, s, r, b, before, old);
}

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

void cuts()
{
    printf("\npower cuts: the process dies before each of its calls in turn; a fresh process reads the store\n");
    printf("%-30s %-8s %6s %5s %5s %8s  %s\n", "operation", "medium", "points", "old", "new", "damaged", "damaged when cut before");
    for (const Target &t : targets()) {
        if (!writes(t))
            continue;
        for (Medium m : {Medium::ubi, Medium::mtd, Medium::emmc}) {
            const Setup s{m};
            std::map<std::string, int> seen;
            std::string where;
            long k = 1;
            for (;; ++k) {
                Run r;
                sim::Board b = fresh_board(s);
                const std::string old = b.image();
                b.put("cut/step", std::to_string(k));
                r = run_target(b, t);
                remove(b.path("cut/step").c_str());
                if (r.faults.empty())
                    break; // the run ended before call k
                if (r.status != 137) {
                    printf("  %s %s cut %ld: status %d\n", t.name.c_str(), medium_name(m), k, r.status);
                    ++totals.crashes;
                }
                ++totals.cuts;
                const std::string outcome = read_back(b, old, new_image(old, m, t), m);
                ++seen[outcome];
                if (outcome == "damaged")
                    where += (where.empty() ? "" : ", ") + r.faults.substr(4, r.faults.size() - 5);
            }
            printf("%-30s %-8s %6ld %5d %5d %8d  %s\n", t.name.c_str(), medium_name(m), k - 1, seen["old"], seen["new"],
                   seen["damaged"], where.c_str());
        }
    }
}

// ---- concurrent writers -------------------------------------------------

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

void concurrent(int rounds)
{
    printf("\nconcurrent writers: drask_bootcause and drask_netaddr each store their own field %d times at once\n", rounds);
    printf("%-8s %-10s %8s %12s %14s\n", "medium", "locks", "stores", "lost updates", "failed stores");
    for (Medium m : {Medium::ubi, Medium::mtd, Medium::emmc}) {
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
            printf("%-8s %-10s %8d %12ld %14ld%s\n", medium_name(m), locked ? "taken" : "left out", 2 * rounds, lost, failed,
                   locked ? "" : (lost > 0 ? "  (the check can fail)" : "  (no loss seen: the unguarded window was never hit)"));
        }
    }
}

// ---- hostile environment ------------------------------------------------

struct Hostile {
    std::string name;
    Medium m;
    std::function<void(const sim::Board &)> setup;
    std::string tool;
    std::vector<std::vector<std::string>> runs; // each argument list is one run
    int status;
    std::optional<std::string> out; // exact output, when it is fixed
    std::string stub_rm = "";        // a shell script for rm
    std::string may_change = "";     // a file besides the store this may change
};

void replace_with(const sim::Board &b, const std::string &rel, const std::function<int(const char *)> &make)
{
    std::error_code ec;
    fs::remove_all(b.path(rel), ec);
    make(b.path(rel).c_str());
}

std::vector<Hostile> hostile_cases()
{
    const std::string illegal = "Error: the parameter ";
    // Arguments of lengths around each buffer's size, up to what exec takes;
    // `from` skips the short ones that are valid.
    auto lengths = [](const std::string &unit, const std::string &prefix, size_t from = 1) {
        std::vector<std::vector<std::string>> v;
        for (size_t n : {0, 1, 4, 7, 8, 9, 15, 16, 17, 63, 64, 65, 127, 128, 255, 4096, 131000}) {
            if (n != 0 && n < from)
                continue;
            std::string a;
            while (a.size() < n)
                a += unit;
            v.push_back(prefix.empty() ? std::vector<std::string>{a.substr(0, n)} : std::vector<std::string>{prefix, a.substr(0, n)});
        }
        return v;
    };
    auto fifo = [](const char *p) { return mkfifo(p, 0644); };
    auto dir = [](const char *p) { return mkdir(p, 0755); };
    auto victim_link = [](const sim::Board &b) {
        b.put("victim", "keep");
        replace_with(b, "tmp/ip_ip", [&](const char *p) { return symlink(b.path("victim").c_str(), p); });
    };
    auto victim_hardlink = [](const sim::Board &b) {
        b.put("victim", "keep");
        replace_with(b, "tmp/ip_ip", [&](const char *p) { return link(b.path("victim").c_str(), p); });
    };
    const std::string keep_rm = "#!/bin/sh\nexit 0\n";
    const std::string ip = "192.168.1.10\n";
    const std::string init_err = "veeprom_init error\n";
    return {
        {"address file a link to another file", Medium::emmc, victim_link, "drask_netaddr", {{"g"}}, 0, ip, "", "tmp/ip_ip"},
        {"... and rm leaves it in place", Medium::emmc, victim_link, "drask_netaddr", {{"g"}}, 0, ip, keep_rm, "tmp/ip_ip"},
        {"address file a hard link, rm leaves it", Medium::emmc, victim_hardlink, "drask_netaddr", {{"g"}}, 0, ip, keep_rm, "tmp/ip_ip"},
        {"address file a FIFO, rm leaves it", Medium::emmc, [&](const auto &b) { replace_with(b, "tmp/ip_ip", fifo); }, "drask_netaddr",
         {{"g"}}, 0, ip, keep_rm},
        {"address file a directory", Medium::emmc, [&](const auto &b) { replace_with(b, "tmp/ip_ip", dir); }, "drask_netaddr", {{"g"}}, 0,
         ip, "", ""},
        {"no /tmp", Medium::emmc, [](const auto &b) { fs::remove_all(b.path("tmp")); }, "drask_netaddr", {{"g"}}, 0, ip},
        {"boot target words of 0 to 131000 bytes", Medium::mtd, nullptr, "drask_bootcause", lengths("n", ""), 255, std::nullopt},
        {"addresses of 0 to 131000 digits", Medium::mtd, nullptr, "drask_netaddr", lengths("1", "s", 4), 255, std::nullopt},
        {"addresses of 0 to 131000 dots and numbers", Medium::mtd, nullptr, "drask_netaddr", lengths("1.", "s", 9), 255, std::nullopt},
        {"command words of 1 to 131000 bytes", Medium::mtd, nullptr, "drask_netaddr", lengths("x", ""), 255, ""},
        {"non-printable bytes in a word", Medium::mtd, nullptr, "drask_bootcause", {{"\x01\x1b[2J\xff"}}, 255,
         illegal + "\x01\x1b[2J\xff is illegal !\n"},
        {"non-printable bytes in an address", Medium::mtd, nullptr, "drask_netaddr", {{"s", "1.2.3.4\x01"}, {"s", "\xff.1.1.1"}}, 255,
         "ERR: invalid ip, do not save IP value from user input!!\n"},
        {"board_id and boot_mode of 1 MiB", Medium::mtd,
         [](const auto &b) {
             b.put("sys/class/socinfo/board_id", std::string(1 << 20, '3'));
             b.put("sys/class/socinfo/boot_mode", std::string(1 << 20, '5'));
         },
         "drask_bootcause", {{}}, 0, "system\n"},
        {"an MTD name of 1 MiB", Medium::mtd, [](const auto &b) { b.put("sys/class/mtd/mtd3/name", std::string(1 << 20, 'v')); },
         "drask_bootcause", {{}}, 0, "system\n"},
        {"every MTD name of 1 MiB", Medium::mtd,
         [](const auto &b) {
             for (const char *e : {"mtd3", "mtd3ro"})
                 b.put(std::string("sys/class/mtd/") + e + "/name", "veeprom" + std::string(1 << 20, ' '));
         },
         "drask_bootcause", {{}}, 255, init_err},
        {"a GPT disk of 8 MiB", Medium::emmc, [](const auto &b) { b.put("dev/mmcblk0", b.get("dev/mmcblk0") + std::string(8 << 20, '\xee')); },
         "drask_bootcause", {{}}, 0, "system\n"},
        {"a GPT disk cut short", Medium::emmc, [](const auto &b) { b.put("dev/mmcblk0", b.get("dev/mmcblk0").substr(0, 5000)); },
         "drask_bootcause", {{}}, 255, "read short: 31\n" + init_err},
        {"the store a directory (ubi)", Medium::ubi, [&](const auto &b) { replace_with(b, b.store, dir); }, "drask_bootcause", {{}}, 255, init_err},
        {"the store a directory (mtd)", Medium::mtd, [&](const auto &b) { replace_with(b, b.store, dir); }, "drask_bootcause", {{}}, 255, init_err},
        {"the store a directory (emmc)", Medium::emmc, [&](const auto &b) { replace_with(b, b.store, dir); }, "drask_bootcause", {{}}, 255, init_err},
        // A FIFO opens (nothing waits on it) and fails at its first seek.
        {"the store a FIFO (ubi)", Medium::ubi, [&](const auto &b) { replace_with(b, b.store, fifo); }, "drask_bootcause", {{}}, 255,
         "veeprom_read ret = -1\n"},
        {"the store a FIFO (mtd)", Medium::mtd, [&](const auto &b) { replace_with(b, b.store, fifo); }, "drask_bootcause", {{}}, 255,
         "veeprom_read ret = -1\n"},
        {"the store a FIFO (emmc)", Medium::emmc, [&](const auto &b) { replace_with(b, b.store, fifo); }, "drask_netaddr", {{"s", "1.2.3.4"}},
         255, "veeprom_write ret = -1\n"},
        {"/dev/mmcblk0 a FIFO", Medium::emmc, [&](const auto &b) { replace_with(b, "dev/mmcblk0", fifo); }, "drask_bootcause", {{}}, 255,
         init_err},
        {"/dev/mmcblk0 a directory", Medium::emmc, [&](const auto &b) { replace_with(b, "dev/mmcblk0", dir); }, "drask_bootcause", {{}}, 255,
         std::nullopt},
        {"/dev/ubi_ctrl a FIFO", Medium::ubi,
         [&](const auto &b) {
             fs::remove(b.path(b.store));
             replace_with(b, "dev/ubi_ctrl", fifo);
         },
         "drask_bootcause", {{}}, 255, init_err},
        {"/dev/ubi_ctrl a directory", Medium::ubi,
         [&](const auto &b) {
             fs::remove(b.path(b.store));
             replace_with(b, "dev/ubi_ctrl", dir);
         },
         "drask_bootcause", {{}}, 255, init_err},
        {"an empty raw flash image", Medium::mtd, [](const auto &b) { b.put(b.store, ""); }, "drask_bootcause", {{"boot"}}, 255,
         "veeprom_write ret = -1\n"},
    };
}

void hostile()
{
    printf("\nhostile environment\n");
    printf("%-45s %-6s %5s  %s\n", "case", "medium", "runs", "outcome");
    for (const Hostile &h : hostile_cases()) {
        std::string why;
        size_t n = 0;
        for (const auto &args : h.runs) {
            sim::Board b = fresh_board({h.m});
            if (h.setup)
                h.setup(b);
            std::string prefix;
            if (!h.stub_rm.empty()) {
                b.put("bin/rm", h.stub_rm);
                chmod(b.path("bin/rm").c_str(), 0755);
                prefix = b.path("bin");
            }
            const Tree before = snapshot(b);
            Run r = run_tool(b, h.tool, args, prefix, 5);
            ++n;
            std::string bad;
            if (r.hung)
                bad = "hangs";
            else if (r.status != h.status)
                bad = "exit status " + std::to_string(r.status);
            else if (h.out && r.out != *h.out)
                bad = "printed " + r.out.substr(0, 80);
            else if (h.out && !h.out->empty() && h.out->back() == '\n' && h.status != 0 && r.out.empty())
                bad = "no message";
            if (h.status == 255 && !h.out && r.out.empty() && h.tool == "drask_bootcause")
                bad = "no message";
            Tree after = snapshot(b);
            for (const auto &[rel, content] : after)
                if (rel != b.store && rel != "tmp/ip_ip" && rel != h.may_change && rel != "requests.log" &&
                    (!before.contains(rel) || before.at(rel) != content))
                    bad += " wrote " + rel;
            if (b.has("victim") && b.get("victim") != "keep")
                bad += " wrote through the address file";
            if (h.status != 0 && b.has(b.store) && before.contains(b.store) && after[b.store] != before.at(b.store))
                bad += " changed the store";
            if (r.err.find("Sanitizer") != std::string::npos)
                bad += " sanitizer report";
            if (!bad.empty() && why.empty())
                why = "run " + std::to_string(n) + ": " + bad;
        }
        totals.crashes += why.find("sanitizer") != std::string::npos;
        totals.hangs += why.find("hangs") != std::string::npos;
        totals.wrong += !why.empty() && why.find("hangs") == std::string::npos && why.find("sanitizer") == std::string::npos;
        printf("%-45s %-6s %5zu  %s\n", h.name.c_str(), medium_name(h.m), n, why.empty() ? "refused or served as it should" : ("FAULT: " + why).c_str());
    }
}

int usage_error()
{
    fputs("usage: veeprom-faults [-v] WORKDIR TOOLDIR matrix|cuts|hostile|concurrent ROUNDS...\n"
          "Walks faults, power cuts, a hostile environment and concurrent writers over\n"
          "simulated boards made in WORKDIR, running the tools found in TOOLDIR; prints\n"
          "the tables and, last, the counts that must be zero.  -v shows every case of\n"
          "the fault matrix.\n",
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
        return strcmp(argv[4], "read-window") == 0 ? read_window() : lib_op(static_cast<Lib>(atoi(argv[4])));
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
        else if (what == "hostile")
            hostile();
        else if (what == "concurrent" && i + 1 < argc)
            concurrent(atoi(argv[++i]));
        else
            return usage_error();
    }
    printf("counts: faults %ld cuts %ld silent %ld crashes %ld leaks %ld lost %ld hangs %ld wrong %ld\n", totals.faults, totals.cuts,
           totals.silent, totals.crashes, totals.leaks, totals.lost, totals.hangs, totals.wrong);
    return 0;
}
