// SPDX-License-Identifier: MIT
// The boot-medium probe and the store's discovery and lifecycle: which
// medium the board boots from, where its store is, and opening it.
#include "gpt.h"
#include "state.h"
#include "store.h"
#include "veeprom.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h> // the request macros the UBI header uses
#include <mtd/ubi-user.h>
#include <string_view>
#include <unistd.h>

// The kernel agrees on these; a header that differs is a build error, not a
// silent mismatch on the board.
static_assert(UBI_IOCATT == 0x40186F40);
static_assert(sizeof(ubi_attach_req) == 24);

namespace veeprom {
namespace {

// The socinfo file the latest probe could not read, and its errno; discovery
// keeps them for a tool to name the failed probe.
const char *unread_file = nullptr;
int unread_error = 0;

constexpr int ubi_number = 10;
constexpr std::string_view store_name = "veeprom";

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

namespace {

// ---- discovery ----------------------------------------------------------

bool node_appears()
{
    return waiting(ENOENT, [] { return board::exists(board::ubi_volume) ? 0 : (errno = ENOENT, -1); }) == 0;
}

// The attach request on the control device; its result, errno kept.
int request_attach(int mtd)
{
    ubi_attach_req req;
    memset(&req, 0, sizeof req); // kernel defaults for the rest
    req.ubi_num = ubi_number;
    req.mtd_num = mtd;
    const board::Fd ctrl(board::open(board::ubi_ctrl, O_RDONLY | O_CLOEXEC));
    return ctrl.get() < 0 ? -1 : board::ioctl(ctrl.get(), UBI_IOCATT, &req);
}

// No such partition, for certain: ENOENT, and the tools can say which.
int no_partition()
{
    absent = true;
    errno = ENOENT;
    return -1;
}

int attach_volume()
{
    if (!board::exists(board::ubi_volume)) {
        // Only a board that surely has no env partition uses boot: after a
        // read error env may be there, and boot is then the wrong partition.
        bool whole = false;
        int mtd = lookup_partition("env", whole);
        if (mtd < 0 && whole)
            mtd = lookup_partition("boot", whole);
        if (mtd < 0)
            return whole ? no_partition() : -1;
        // Runs started together each find no volume and ask to attach; the
        // first wins and the kernel answers the others EEXIST.  They go on
        // as attached once the volume's node is there.
        if (request_attach(mtd) < 0 && (errno != EEXIST || !node_appears()))
            return -1;
    }
    snprintf(device_path, sizeof device_path, "%s", board::ubi_volume);
    return 0;
}

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

// Where discovery's two standard-output lines go; a tool whose standard
// output is its answer sends them to standard error.
FILE *messages = nullptr; // stdout

int find_gpt_partition()
{
    FILE *out = messages != nullptr ? messages : stdout;
    board::File disk(board::fopen(board::mmc_disk, "r"));
    if (!disk) {
        fprintf(out, "mmc:%s device not found!\n", board::mmc_disk);
        return -1;
    }
    if (board::fseek(disk.get(), gpt::entries_at, SEEK_SET) != 0) {
        fputs("fseek to gpt offset failed!\n", stderr);
        return -1;
    }
    gpt::Table table;
    size_t got = board::fread(table, gpt::entry_size, gpt::entries, disk.get());
    if (got < gpt::entries) {
        fprintf(out, "read short: %ld\n", static_cast<long>(got));
        errno = EIO; // the table could not be read whole
        return -1;
    }
    const int n = gpt::store_partition(table);
    if (n == 0)
        return no_partition();
    snprintf(device_path, sizeof device_path, "/dev/mmcblk0p%d", n);
    return 0;
}

// The store's device is found afresh: until it is, there is none.
int discover()
{
    device_path[0] = '\0';
    absent = false;
    bootmode = boot_mode();
    failed_probe = bootmode == probe_failed ? unread_file : nullptr;
    failed_probe_error = bootmode == probe_failed ? unread_error : 0;
    switch (medium_of(bootmode)) {
    case Medium::volume:
        if (attach_volume() != 0)
            return -1;
        break;
    case Medium::raw: {
        bool whole = false;
        const int mtd = lookup_partition("veeprom", whole);
        if (mtd < 0)
            return whole ? no_partition() : -1;
        snprintf(device_path, sizeof device_path, "/dev/mtd%d", mtd);
        break;
    }
    case Medium::block:
        if (find_gpt_partition() != 0)
            return -1;
        break;
    }
    start_sector = 0;
    end_sector = 0;
    // UBI makes the volume's node before another run's attach has finished;
    // opened in that moment the volume is not there yet (ENODEV).
    const int attaching = medium_of(bootmode) == Medium::volume ? ENODEV : 0;
    fd = waiting(EBUSY, [] { return board::open(device_path, store_flags()); }, attaching);
    return fd >= 0 ? 0 : -1;
}

} // namespace

int gpt::store_partition(const Table &table)
{
    // Every entry is examined: the last one named veeprom wins.
    int found = 0;
    for (size_t i = 0; i < entries; ++i)
        if (is_store_label(&table[i][name_at]))
            found = static_cast<int>(i + 1);
    return found;
}

namespace {

// A probe file that opens but gives nothing: errno says why, 0 for no data.
int unreadable(const char *file)
{
    unread_file = file;
    unread_error = errno;
    fputs("Read board_id Failed!\n", stderr);
    return probe_failed;
}

// The first n bytes of a probe file into probe: the count; errno is 0 when
// the file gave no data without an error.
size_t read_probe(board::File &f, char *probe, size_t n)
{
    errno = 0;
    const size_t got = board::fread(probe, 1, n, f.get());
    const int err = errno;
    f.reset();
    errno = err;
    return got;
}

} // namespace

int boot_mode()
{
    char probe[64] = {};
    board::File f(board::fopen(board::board_id_file, "r"));
    if (!f)
        return 0;
    if (read_probe(f, probe, 4) == 0)
        return unreadable(board::board_id_file);
    if (memcmp(probe, "300", 3) == 0)
        return 0; // these boards always keep the store on eMMC
    memset(probe, 0, sizeof probe);
    f.reset(board::fopen(board::boot_mode_file, "r"));
    if (f && read_probe(f, probe, 1) == 0)
        return unreadable(board::boot_mode_file);
    return probe[0] == '1' ? 1 : probe[0] == '5' ? 5 : 0;
}

namespace {

// The turn is held across fork, so the child starts with the state of no
// call half way; the child's first call then opens a store of its own.
void fork_prepare() { pthread_mutex_lock(&store_mutex); }
void fork_parent() { pthread_mutex_unlock(&store_mutex); }
void fork_child()
{
    forked = fd >= 0;
    pthread_mutex_unlock(&store_mutex);
}

} // namespace

void own_store()
{
    forked = false;
    board::close(fd); // the child's copy: the parent's stays open, unlocked
    fd = board::open(device_path, store_flags());
}

void messages_to(FILE *stream)
{
    const Turn turn;
    messages = stream;
}

int init()
{
    static bool watching_forks = false;
    if (!watching_forks)
        watching_forks = pthread_atfork(fork_prepare, fork_parent, fork_child) == 0;
    if (fd >= 0) {
        board::close(fd);
        fd = -1;
    }
    fd = board::open(device_path, store_flags());
    if (fd >= 0)
        return 0;
    return discover(); // also when the store was busy: discovery waits for it
}

} // namespace veeprom

using namespace veeprom;

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

extern "C" int veeprom_init(void)
{
    const Turn turn;
    return init();
}

extern "C" void veeprom_exit(void)
{
    const Turn turn;
    flush();
    if (fd >= 0)
        board::close(fd);
    fd = -1;
}

extern "C" void veeprom_setsync(int flag) { (void)flag; }
