// SPDX-License-Identifier: MIT
// The hostile environment: links and FIFOs planted where files and devices
// belong, huge sysfs files and disks, arguments of every length.  Each case
// must refuse or serve as it should, and write nothing but its own files.
#include "runner.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace faults {
namespace {

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
    int closed = -1;                 // a standard descriptor the run starts without
    bool hold_lock = false;          // another process holds the store's lock and hangs
};

// A process that takes the store's lock and then hangs; killed by the caller.
pid_t hold_lock(const sim::Board &b)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(b.path(b.store).c_str(), O_RDWR);
        if (fd >= 0 && flock(fd, LOCK_EX) == 0 && write(ready[1], "x", 1) == 1)
            pause();
        _exit(1);
    }
    char c = 0;
    close(ready[1]);
    if (pid < 0 || read(ready[0], &c, 1) != 1) {
        close(ready[0]);
        return -1;
    }
    close(ready[0]);
    return pid;
}

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
        // A standard descriptor closed at start: no message may reach the
        // store, which must end as the same run leaves it with all three open.
        {"stdin closed", Medium::emmc, nullptr, "drask_netaddr", {{"g"}}, 0, ip, "", "", 0},
        {"stdout closed: an illegal word", Medium::mtd, nullptr, "drask_bootcause", {{"Normal"}}, 255, "", "", "", 1},
        {"stdout closed: recovery on an AB model", Medium::emmc,
         [](const auto &b) { b.put(b.store, b.image().replace(29, 3, std::string("AB\0", 3))); }, "drask_bootcause", {{"recovery"}}, 255,
         "", "", "", 1},
        {"stdout closed: an address not stored", Medium::ubi, nullptr, "drask_netaddr", {{"s", "0.1.2.3"}}, 255, "", "", "", 1},
        {"stderr closed: the probe's message", Medium::emmc, [](const auto &b) { b.put("sys/class/socinfo/board_id", ""); },
         "drask_bootcause", {{"boot"}}, 0, "boot\n", "", "", 2},
        // A process that holds the lock and hangs delays a run, never blocks it.
        {"a hung process holding the lock (emmc)", Medium::emmc, nullptr, "drask_bootcause", {{}}, 255, "veeprom_read ret = -1\n", "",
         "", -1, true},
        {"a hung process holding the lock (ubi)", Medium::ubi, nullptr, "drask_netaddr", {{"s", "1.2.3.4"}}, 255,
         "veeprom_write ret = -1\n", "", "", -1, true},
    };
}

} // namespace

void hostile()
{
    printf("\nhostile environment\n");
    printf("%-45s %-6s %5s  %s\n", "case", "medium", "runs", "outcome");
    for (const Hostile &h : hostile_cases()) {
        std::string why;
        size_t n = 0;
        for (const auto &args : h.runs) {
            auto prepared = [&] {
                sim::Board b = fresh_board({h.m});
                if (h.setup)
                    h.setup(b);
                if (!h.stub_rm.empty()) {
                    b.put("bin/rm", h.stub_rm);
                    chmod(b.path("bin/rm").c_str(), 0755);
                }
                return b;
            };
            const std::string prefix = h.stub_rm.empty() ? "" : work + "/b/bin";
            // What the same run leaves with all three standard descriptors open.
            const std::string reference = h.closed < 0 ? "" : [&] {
                const sim::Board ref = prepared();
                run_tool(ref, h.tool, args, prefix, 10);
                return ref.image();
            }();
            sim::Board b = prepared();
            const Tree before = snapshot(b);
            const pid_t holder = h.hold_lock ? hold_lock(b) : 0;
            Run r = run_tool(b, h.tool, args, prefix, 10, h.closed);
            if (holder > 0) {
                kill(holder, SIGKILL);
                waitpid(holder, nullptr, 0);
            }
            ++n;
            std::string bad = holder < 0 ? "no lock holder " : "";
            if (h.closed >= 0 && b.image() != reference)
                bad += "the store differs from a run with all three open ";
            if (r.hung)
                bad += "hangs";
            else if (r.status != h.status)
                bad += "exit status " + std::to_string(r.status);
            else if (h.out && r.out != *h.out)
                bad += "printed " + r.out.substr(0, 80);
            else if (h.out && !h.out->empty() && h.out->back() == '\n' && h.status != 0 && r.out.empty())
                bad += "no message";
            if (h.status == 255 && !h.out && r.out.empty() && h.tool == "drask_bootcause")
                bad += "no message";
            Tree after = snapshot(b);
            for (const auto &rel : written_outside(before, after, b.store, h.may_change))
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
        printf("%-45s %-6s %5zu  %s\n", h.name.c_str(), sim::name(h.m), n, why.empty() ? "refused or served as it should" : ("FAULT: " + why).c_str());
    }
}

} // namespace faults
