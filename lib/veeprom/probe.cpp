// SPDX-License-Identifier: MIT
// The boot-medium probe and the lookups discovery makes: which medium the
// board boots from (the socinfo files), the MTD partition of a name, and the
// GPT entry named veeprom.
#include "gpt.h"
#include "state.h"
#include "store.h"
#include "veeprom.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace veeprom {

const char *unread_file = nullptr;
int unread_error = 0;

namespace {

constexpr std::string_view store_name = board::store_partition;

// ---- MTD partitions -----------------------------------------------------

// The partition's name file holds its name and a newline; the name must be
// the wanted one exactly (a prefix would select the wrong partition).
template <size_t N> bool name_matches(const char (&text)[N], size_t got, std::string_view wanted)
{
    size_t len = strnlen(text, got);
    if (len > 0 && text[len - 1] == '\n')
        --len;
    else if (len == N)
        return false; // the buffer filled before the name ended
    return std::string_view(text, len) == wanted;
}

// The number of the entry's last run of digits (mtd3 and mtd3ro give 3);
// -1 when it does not fit an int, as its low bits would name another device.
int entry_number(const char *entry)
{
    int64_t n = 0; // stays above INT_MAX once there
    bool in_run = false;
    for (const char *c = entry; *c != '\0'; ++c) {
        const bool digit = *c >= '0' && *c <= '9';
        if (digit)
            n = (in_run ? (n > INT_MAX ? n : n * 10) : 0) + (*c - '0');
        in_run = digit;
    }
    return n <= INT_MAX ? static_cast<int>(n) : -1;
}

// `whole` tells a list read to its end from one that could not be read
// whole, where the partition may still be.
int find_partition(board::Dir &dir, std::string_view wanted, bool &whole)
{
    bool skipped = false;
    whole = false;
    for (;;) {
        errno = 0;
        const struct dirent64 *e = board::readdir(dir);
        if (e == nullptr) {
            whole = errno == 0 && !skipped;
            return -1;
        }
        char path[512] = {};
        char name[128] = {};
        snprintf(path, sizeof path, "/sys/class/mtd/%s/name", e->d_name);
        board::File f(board::fopen(path, "r"));
        if (!f) {
            // "." and ".." have no name file; another one may be the wanted.
            skipped = skipped || (errno != ENOENT && errno != ENOTDIR);
            continue;
        }
        size_t got = board::fread(name, 1, sizeof name, f.get());
        f.reset();
        if (got == 0) {
            fprintf(stderr, "Read mtd name from %s failed!\n", path);
            return -5;
        }
        if (name_matches(name, got, wanted)) {
            const int n = entry_number(e->d_name);
            whole = n >= 0; // a match that names no device is no proof of absence
            return n;
        }
    }
}

// ---- the socinfo files --------------------------------------------------

// The first n bytes of a socinfo file into probe: the count; -1 when the
// file does not open.  For a file that opens but gives nothing, the file
// and errno (0 when it had no data) are kept for the tools to name.
long read_probe(const char *file, char *probe, size_t n)
{
    board::File f(board::fopen(file, "r"));
    if (!f)
        return -1;
    errno = 0;
    const size_t got = board::fread(probe, 1, n, f.get());
    if (got == 0) {
        unread_file = file;
        unread_error = errno;
    }
    return static_cast<long>(got);
}

// ---- GPT ----------------------------------------------------------------

bool is_store_label(const unsigned char *name16)
{
    char label[9];
    for (size_t i = 0; i < 8; ++i) {
        unsigned char b = name16[2 * i]; // low byte of each UTF-16 code unit
        label[i] = static_cast<char>(b == 0 ? 0 : (b < 0x20 || b > 0x7E) ? '!' : b);
    }
    label[8] = '\0';
    return store_name == label;
}

} // namespace

int lookup_partition(const char *name, bool &whole)
{
    whole = false;
    board::Dir dir;
    if (board::opendir(board::mtd_class_dir, dir) != 0)
        return -1;
    int result = name == nullptr ? -1 : find_partition(dir, name, whole);
    int closed = board::closedir(dir);
    if (closed != 0) {
        whole = false;
        fprintf(stderr, "%s: closedir failed!\n", "get_mtdnum_partname");
        return closed;
    }
    return result;
}

int boot_mode()
{
    char probe[64] = {};
    long got = read_probe(board::board_id_file, probe, 4);
    if (got < 0 || (got > 0 && memcmp(probe, "300", 3) == 0))
        return 0; // no socinfo, or a board that always keeps the store on eMMC
    memset(probe, 0, sizeof probe);
    if (got > 0)
        got = read_probe(board::boot_mode_file, probe, 1);
    if (got == 0) {
        fputs("Read board_id Failed!\n", stderr);
        return probe_failed;
    }
    return probe[0] == '1' ? 1 : probe[0] == '5' ? 5 : 0;
}

int gpt::store_partition(const Table &table)
{
    // Every entry is examined: the last one named veeprom wins.
    int found = 0;
    for (size_t i = 0; i < entries; ++i)
        if (is_store_label(&table[i][name_at]))
            found = static_cast<int>(i + 1);
    return found;
}

} // namespace veeprom

using namespace veeprom;

// veeprom.h binds these to their exported names, veeprom_get_boot_mode and
// veeprom_get_mtdnum_partname.  The plain names are weak aliases, for a
// client of the static library that declares them on its own; a client's
// own function of that name wins over them, and the shared library's version
// script keeps them local.
extern "C" int get_boot_mode(void)
{
    const Turn turn;
    return boot_mode();
}

extern "C" int get_mtdnum_partname(const char *name)
{
    const Turn turn;
    bool whole = false;
    return lookup_partition(name, whole);
}

extern "C" int plain_get_boot_mode(void) __asm__("get_boot_mode") __attribute__((weak, alias("veeprom_get_boot_mode")));
extern "C" int plain_get_mtdnum_partname(const char *name) __asm__("get_mtdnum_partname")
    __attribute__((weak, alias("veeprom_get_mtdnum_partname")));
