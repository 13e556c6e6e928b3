// SPDX-License-Identifier: MIT
// veeprom-sim: make a simulated board in a directory and look at its store,
// to try the tools and scripts on a PC before there is a board.
#include "simboard.h"
#include "veeprom_board.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

int usage()
{
    fputs("usage: veeprom-sim make DIR ubi|mtd|emmc [--detached] [--static] [--board-id TEXT] [--boot-mode TEXT]\n"
          "       veeprom-sim show DIR\n"
          "\n"
          "make  lays out a fresh board booting from that medium in DIR (sysfs files,\n"
          "      device images, a zeroed store); run the tools with VEEPROM_ROOT=DIR.\n"
          "      DIR is new, empty, or a board made earlier (remade from scratch).\n"
          "      --detached leaves UBI device 10 unattached, so the tools attach it.\n"
          "      --static makes the UBI volume static: atomic changes are refused\n"
          "      (EROFS), so a write falls back to a whole-volume update.\n"
          "show  prints the store's first 48 bytes, its fields and the kernel requests\n"
          "      the tools made (DIR/requests.log).\n"
          "Faults: touch DIR/fail/MEMERASE, DIR/fail/UBI_IOCEBCH, DIR/fail/UBI_IOCVOLUP,\n"
          "DIR/fail/UBI_IOCATT or DIR/fail/ubi-node; touch DIR/attached-meanwhile to make\n"
          "the attach fail with EEXIST after making the node (another run won); write a number k to DIR/fail/step (k-th call fails),\n"
          "DIR/short/step (k-th call, a read or write, moves about half its bytes) or\n"
          "DIR/cut/step (the process dies before its k-th call) or DIR/signal/step\n"
          "(SIGTERM is sent to the process just before its k-th call); each fault that fires\n"
          "is logged in DIR/faults.log.  Touch DIR/skip/flock to run without the locks.\n",
          stderr);
    return 2;
}

std::string text_field(const std::string &w, size_t at)
{
    std::string t;
    for (size_t i = at; i < at + 8 && i < w.size() && w[i] != '\0'; ++i)
        t += (w[i] >= 0x20 && w[i] < 0x7F) ? w[i] : '?';
    return t;
}

int show(const std::string &dir)
{
    sim::Board b = sim::open(dir);
    if (b.store.empty() || !b.has(b.store)) {
        fprintf(stderr, "veeprom-sim: %s: no store image (not made by veeprom-sim make, or UBI not attached yet)\n", dir.c_str());
        return 1;
    }
    std::string w = b.image();
    w.resize(48, '\0');
    printf("store %s, bytes 0-47:\n", b.store.c_str());
    for (size_t row = 0; row < 48; row += 16) {
        printf("  %04zx ", row);
        for (size_t i = row; i < row + 16; ++i)
            printf(" %02x", static_cast<unsigned char>(w[i]));
        putchar('\n');
    }
    auto u = [&](size_t i) { return static_cast<unsigned char>(w[i]); };
    printf("  boot target \"%s\"  address %u.%u.%u.%u  scheme \"%s\"\n", text_field(w, 9).c_str(), u(17), u(18), u(19), u(20),
           text_field(w, 29).c_str());
    std::string log = b.requests();
    printf("kernel requests:%s\n", log.empty() ? " none" : "");
    for (size_t p = 0; p < log.size();) {
        size_t e = log.find('\n', p);
        printf("  %s\n", log.substr(p, e - p).c_str());
        p = e == std::string::npos ? log.size() : e + 1;
    }
    return 0;
}

// A board is made fresh, whatever an earlier board left in DIR (a volume
// node, switches, logs); a directory that holds anything else is refused,
// so that no user file is lost.
bool clear_for_board(const std::string &dir)
{
    namespace fs = std::filesystem;
    static const char *const ours[] = {"sys", "dev", "tmp", ".store", "requests.log", "faults.log", "fail", "cut",
                                       "short", "signal", "skip", "static-volume", "attached-meanwhile"};
    std::error_code ec;
    if (!fs::exists(dir, ec) || fs::is_empty(dir, ec))
        return true;
    if (!fs::exists(fs::path(dir) / ".store", ec)) {
        fprintf(stderr, "veeprom-sim: %s is not empty and holds no board; give a new or empty directory\n", dir.c_str());
        return false;
    }
    for (const char *name : ours)
        fs::remove_all(fs::path(dir) / name, ec);
    // The address file's folder, where the build puts it (tmp, run, ...).
    const std::string address_file = sim::under_root(VEEPROM_ADDRESS_FILE);
    fs::remove_all(fs::path(dir) / address_file.substr(0, address_file.find('/')), ec);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "show") == 0)
        return show(argv[2]);
    if (argc < 4 || strcmp(argv[1], "make") != 0)
        return usage();
    auto medium = sim::medium_named(argv[3]);
    if (!medium)
        return usage();
    sim::Layout layout;
    layout.medium = *medium;
    for (int i = 4; i < argc; ++i) {
        if (strcmp(argv[i], "--detached") == 0)
            layout.attached = false;
        else if (strcmp(argv[i], "--static") == 0)
            layout.static_volume = true;
        else if (strcmp(argv[i], "--board-id") == 0 && i + 1 < argc)
            layout.board_id = argv[++i];
        else if (strcmp(argv[i], "--boot-mode") == 0 && i + 1 < argc)
            layout.boot_mode = argv[++i];
        else
            return usage();
    }
    if (!clear_for_board(argv[2]))
        return 1;
    sim::Board b = sim::make(argv[2], layout);
    printf("made a %s board in %s (store %s)\n", argv[3], argv[2], b.store.c_str());
    return 0;
}
