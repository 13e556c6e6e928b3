// SPDX-License-Identifier: MIT
// What the fault matrix and the power cuts walk: each library operation, run
// by this program in a process of its own, and each tool command.
#include "runner.h"
#include "veeprom.h"

#include <algorithm>
#include <cstdint>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <dirent.h>

namespace faults {
namespace {

const std::string new_address("\x0a\x00\x00\x02", 4);

const std::vector<std::string> usage = {"Usage:  drask_bootcause [Values]", "Example: ", "       drask_bootcause",
                                        "       drask_bootcause recovery", "Options:", "       h   display this help text"};

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

// What veeprom load reads in the walks: written once, outside every board.
std::string settings_file()
{
    std::string path = work + "/settings";
    if (FILE *f = fopen(path.c_str(), "w")) {
        fputs("device: /dev/mtd3\nbootcause: all\naddress: 10.0.0.2\nscheme: erased\n", f);
        fclose(f);
    }
    return path;
}

} // namespace

std::string word(const char *w) { return std::string(w) + std::string(8 - strlen(w), '\0'); }

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
        {"veeprom_write from NULL", Lib::write_null, "", {}, 0, "", false, "", {}, true, false},
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
        {"veeprom set (two fields)", Lib::none, "veeprom", {"set", "bootcause", "boot", "address", "10.0.0.2"}, 9,
         word("boot") + new_address, true},
        {"veeprom set (no change)", Lib::none, "veeprom", {"set", "bootcause", "system", "address", "192.168.1.10"}},
        {"veeprom load", Lib::none, "veeprom", {"load", settings_file()}, 9, word("all") + new_address, true},
    };
}

// The image a success leaves: on raw flash an erasing write keeps only the
// block it wrote back; a volume that UBI has just attached starts empty.
std::string new_image(const std::string &old, Medium m, const Target &t)
{
    std::string img = old.empty() ? std::string(2048, '\0') : old;
    if (m == Medium::mtd && t.erases)
        std::fill(img.begin() + 2048, img.end(), '\xFF');
    return img.replace(t.at, t.bytes.size(), t.bytes);
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
    case Lib::write_null: r = veeprom_write(9, nullptr, 8); break;
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

// Two clients of one store, each changing its own 4-byte field `rounds`
// times and reading it back: two threads, or a parent and the child it forks
// after opening the store; or ("cancel") `rounds` threads cancelled at random
// moments.  A change lost or a window byte outside the fields changed is lost.
int clients(const char *how, int rounds)
{
    struct Worker {
        int at; // its own field
        int rounds;
        long lost = 0, failed = 0;
    };
    Worker w[2] = {{40, rounds}, {44, rounds}};
    auto body = [](void *arg) -> void * {
        auto *me = static_cast<Worker *>(arg);
        for (int i = 1; i <= me->rounds; ++i) {
            const uint32_t value = static_cast<uint32_t>(me->at * 1000 + i);
            uint32_t back = 0;
            usleep(200); // a client's pause: a peer holding the polled lock all the time outlasts its wait
            if (veeprom_write(me->at, reinterpret_cast<const char *>(&value), 4) != 0) {
                ++me->failed;
                continue;
            }
            me->lost += veeprom_read(me->at, reinterpret_cast<char *>(&back), 4) != 0 || back != value;
        }
        return nullptr;
    };
    char before[512] = {}, after[512] = {};
    const bool opened = veeprom_init() == 0 && veeprom_read(0, before, sizeof before) == 0;
    const std::string mode = how;
    pthread_t t[2] = {};
    for (int i = 0; opened && mode == "cancel" && i < rounds; ++i) {
        pthread_create(&t[0], nullptr, body, &w[1]);
        usleep(static_cast<useconds_t>(rand() % 3000));
        pthread_cancel(t[0]);
        pthread_join(t[0], nullptr);
    }
    for (int i = 0; opened && mode == "threads" && i < 2; ++i)
        pthread_create(&t[i], nullptr, body, &w[i]);
    const pid_t child = opened && mode == "fork" ? fork() : -1;
    if (child == 0) {
        body(&w[1]);
        _exit(w[1].lost + w[1].failed == 0 ? 0 : 1);
    }
    if (child > 0)
        body(&w[0]);
    for (int i = 0; opened && mode == "threads" && i < 2; ++i)
        pthread_join(t[i], nullptr);
    int st = 0;
    w[1].failed += child > 0 && (waitpid(child, &st, 0) != child || st != 0);
    const bool read = veeprom_read(0, after, sizeof after) == 0;
    veeprom_exit();
    w[0].lost += memcmp(before, after, 40) != 0 || memcmp(before + 48, after + 48, sizeof before - 48) != 0;
    FILE *f = fopen((work + "/result").c_str(), "w");
    if (f != nullptr && opened)
        fprintf(f, "%ld %ld", w[0].lost + w[1].lost, w[0].failed + w[1].failed + !read);
    if (f != nullptr)
        fclose(f);
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

} // namespace faults
