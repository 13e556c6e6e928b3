// SPDX-License-Identifier: MIT
// The store: boot-medium probe, store discovery, windowed read and write, and
// the maintenance operations, over the board seam (board.h).
#include "veeprom.h"

#include "board.h"
#include "state.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h> // the request macros the MTD and UBI headers use
#include <mtd/mtd-abi.h>
#include <mtd/ubi-user.h>
#include <string_view>
#include <sys/file.h>
#include <unistd.h>

// The bootloader and the kernel agree on these; a header that differs is a
// build error, not a silent mismatch on the board.
static_assert(UBI_IOCATT == 0x40186F40);
static_assert(sizeof(ubi_attach_req) == 24);
static_assert(UBI_IOCVOLUP == 0x40084F00);
static_assert(MEMERASE == 0x40084D02);
static_assert(sizeof(erase_info_user) == 8);

namespace veeprom {
int fd = -1;
char device_path[128];
int bootmode;
int start_sector;
int end_sector;
unsigned char buffer[block_size];
} // namespace veeprom

using namespace veeprom;

namespace {

// O_CLOEXEC: the store must not leak into the shell a tool starts.
constexpr int store_flags = O_RDWR | O_SYNC | O_CLOEXEC;
constexpr uint32_t erase_length = 0x10000;
constexpr int ubi_number = 10;
constexpr long gpt_entries_at = 1024; // LBA 2 of a 512-byte-sector disk
constexpr size_t gpt_entry_size = 128;
constexpr size_t gpt_entries = 128;
constexpr size_t gpt_name_at = 56; // UTF-16LE partition name in an entry
constexpr std::string_view store_name = "veeprom";
constexpr int busy_wait_ms = 5000;
constexpr int busy_poll_ms = 10;

// UBI admits one writer to a volume at a time and refuses a volume update
// while anyone else has the volume open (EBUSY).  Another run holds it only
// for moments, so a busy store is waited for, busy_wait_ms at most; after
// that the call fails as any other failure does.
template <class Call> int unless_busy(Call call)
{
    for (int waited = 0;; waited += busy_poll_ms) {
        int r = call();
        if (r >= 0 || errno != EBUSY || waited >= busy_wait_ms)
            return r;
        board::nap(busy_poll_ms);
    }
}

// ---- boot-medium probe --------------------------------------------------

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
    char number[16] = {};
    for (const char *c = entry; *c != '\0';) {
        if (*c >= '0' && *c <= '9') {
            char *end = nullptr;
            long value = strtol(c, &end, 10);
            snprintf(number, sizeof number, "%ld", value);
            c = end;
        } else {
            ++c;
        }
    }
    const long n = strtol(number, nullptr, 10);
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

// get_mtdnum_partname, telling also whether a miss is certain.
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

// ---- discovery ----------------------------------------------------------

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
            return -1;
        ubi_attach_req req;
        memset(&req, 0, sizeof req); // kernel defaults for the rest
        req.ubi_num = ubi_number;
        req.mtd_num = mtd;
        int ctrl = board::open(board::ubi_ctrl, O_RDONLY | O_CLOEXEC);
        if (ctrl < 0)
            return -1;
        int r = board::ioctl(ctrl, UBI_IOCATT, &req);
        board::close(ctrl);
        if (r < 0)
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

int find_gpt_partition()
{
    board::File disk(board::fopen(board::mmc_disk, "r"));
    if (!disk) {
        printf("mmc:%s device not found!\n", board::mmc_disk);
        return -1;
    }
    if (board::fseek(disk.get(), gpt_entries_at, SEEK_SET) != 0) {
        fputs("fseek to gpt offset failed!\n", stderr);
        return -1;
    }
    unsigned char table[gpt_entries][gpt_entry_size];
    size_t got = board::fread(table, gpt_entry_size, gpt_entries, disk.get());
    if (got < gpt_entries) {
        printf("read short: %ld\n", static_cast<long>(got));
        return -1;
    }
    // Every entry is examined: the last one named veeprom wins.
    for (size_t i = 0; i < gpt_entries; ++i)
        if (is_store_label(&table[i][gpt_name_at]))
            snprintf(device_path, sizeof device_path, "/dev/mmcblk0p%d", static_cast<int>(i + 1));
    return 0;
}

int discover()
{
    bootmode = get_boot_mode();
    if (bootmode == medium_volume) {
        if (attach_volume() != 0)
            return -1;
    } else if (bootmode == medium_raw) {
        snprintf(device_path, sizeof device_path, "/dev/mtd%d", get_mtdnum_partname("veeprom"));
    } else if (find_gpt_partition() != 0) {
        return -1;
    }
    start_sector = 0;
    end_sector = 0;
    fd = unless_busy([] { return board::open(device_path, store_flags); });
    return fd >= 0 ? 0 : -1;
}

// ---- transfers ----------------------------------------------------------

// Reads up to n bytes at the current position until end of file; the count,
// or -1 on error.  Interrupted and partial reads are continued.
ssize_t read_block(unsigned char *to, size_t n)
{
    size_t got = 0;
    while (got < n) {
        ssize_t r = board::read(fd, to + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

// Writes the whole block back; succeeds once at least `needed` bytes are
// stored (past the end of a device there is nothing more to store).
bool write_block(size_t needed)
{
    size_t put = 0;
    for (;;) {
        ssize_t w = board::write(fd, buffer + put, block_size - put);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        put += static_cast<size_t>(w);
        if (put >= needed)
            return true;
    }
}

bool lock(int op)
{
    while (board::flock(fd, op) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

void unlock() { board::flock(fd, LOCK_UN); }

// ---- flash volume path --------------------------------------------------

bool in_window(int offset, int length)
{
    return offset >= 0 && length >= 0 && int64_t{offset} + length <= block_size;
}

int reopen()
{
    if (fd == -1 && (veeprom_init() != 0 || fd == -1)) {
        fputs("Veeprom Init Failed!\n", stderr);
        return -1;
    }
    return 0;
}

// The window is always the first block of the volume, wherever an earlier
// call left the position.
bool read_window()
{
    return board::lseek(fd, 0, SEEK_SET) == 0 && read_block(buffer, block_size) >= 0;
}

void close_volume()
{
    board::sync();
    board::close(fd); // also drops the lock
    fd = -1;
}

int volume_read(int offset, char *dst, int length)
{
    memset(buffer, 0, sizeof buffer);
    if (!in_window(offset, length) || reopen() != 0 || !lock(LOCK_SH))
        return -1;
    if (!read_window()) {
        unlock();
        return -1;
    }
    std::copy_n(buffer + offset, length, dst);
    close_volume();
    return 0;
}

int volume_write(int offset, const char *src, int length)
{
    memset(buffer, 0, sizeof buffer);
    if (!in_window(offset, length) || reopen() != 0 || !lock(LOCK_EX))
        return -1;
    int64_t bytes = block_size;
    bool done = read_window();
    if (done) {
        std::copy_n(src, length, buffer + offset);
        // The kernel replaces the volume with exactly the bytes announced.
        done = unless_busy([&] { return board::ioctl(fd, UBI_IOCVOLUP, &bytes); }) == 0 && write_block(block_size);
    }
    if (!done) {
        unlock();
        return -1;
    }
    close_volume();
    return 0;
}

// ---- sector path --------------------------------------------------------

enum class Op { read, write, clear };

struct Span {
    int offset;
    int length;
    char *dst;       // read
    const char *src; // write
};

int sector_step(Op op, int64_t s, Span &io)
{
    const auto pos = static_cast<off_t>(static_cast<uint32_t>(s * sector_size));
    const auto rel = static_cast<int>((s - start_sector) * sector_size);
    const uint32_t chunk = std::min(static_cast<uint32_t>(rel + sector_size - io.offset), static_cast<uint32_t>(io.length));
    unsigned char *at = buffer + (io.offset - rel);

    memset(buffer, 0, sizeof buffer);
    if (board::lseek(fd, pos, SEEK_SET) < 0)
        return -1;
    ssize_t got = read_block(buffer, block_size);
    if (got < 0)
        return -1;
    if (op == Op::read) {
        io.dst = std::copy_n(at, chunk, io.dst);
    } else {
        if (op == Op::write && bootmode == medium_raw) {
            // Raw flash: bits only clear on write, so erase the block first.
            erase_info_user erase{0, erase_length};
            int r = board::ioctl(fd, MEMERASE, &erase);
            if (r < 0)
                return r;
        }
        if (op == Op::write)
            io.src = std::copy_n(io.src, chunk, reinterpret_cast<char *>(at));
        else
            memset(at, 0, chunk);
        // What was read, and the whole change, must reach the medium.
        size_t needed = std::max(static_cast<size_t>(got), static_cast<size_t>(io.offset - rel) + chunk);
        if (board::lseek(fd, pos, SEEK_SET) < 0 || !write_block(needed))
            return -1;
    }
    io.offset += static_cast<int>(chunk);
    io.length -= static_cast<int>(chunk);
    return 0;
}

int sector_io(Op op, Span io)
{
    if (io.offset < 0 || io.length < 0)
        return -1;
    const int64_t capacity = (int64_t{end_sector} + 1 - start_sector) * sector_size;
    if (int64_t{io.offset} + io.length > capacity)
        return -1;
    const int64_t first = start_sector + io.offset / sector_size;
    const int64_t count = (int64_t{io.offset} + io.length - 1) / sector_size - io.offset / sector_size + 1;
    if (count == 0)
        return 0;
    // Readers share the store; a read-modify-write owns it until written back.
    if (!lock(op == Op::read ? LOCK_SH : LOCK_EX))
        return -1;
    int result = 0;
    for (int64_t s = first; s < first + count && result == 0; ++s)
        result = sector_step(op, s, io);
    unlock();
    return result;
}

} // namespace

// ---- public interface ---------------------------------------------------

extern "C" int get_boot_mode(void)
{
    char probe[64] = {};
    board::File f(board::fopen(board::board_id_file, "r"));
    if (!f)
        return 0;
    size_t got = board::fread(probe, 1, 4, f.get());
    f.reset();
    if (got == 0) {
        fputs("Read board_id Failed!\n", stderr);
        return -5;
    }
    if (memcmp(probe, "300", 3) == 0)
        return 0; // these boards always keep the store on eMMC
    memset(probe, 0, sizeof probe);
    f.reset(board::fopen(board::boot_mode_file, "r"));
    if (f) {
        got = board::fread(probe, 1, 1, f.get());
        f.reset();
        if (got == 0) {
            fputs("Read board_id Failed!\n", stderr);
            return -5;
        }
    }
    return probe[0] == '1' ? medium_volume : probe[0] == '5' ? medium_raw : 0;
}

extern "C" int get_mtdnum_partname(const char *name)
{
    bool whole = false;
    return lookup_partition(name, whole);
}

extern "C" int veeprom_init(void)
{
    if (fd >= 0) {
        board::close(fd);
        fd = -1;
    }
    fd = board::open(device_path, store_flags);
    if (fd >= 0)
        return 0;
    return discover(); // also when the store was busy: discovery waits for it
}

extern "C" void veeprom_exit(void)
{
    board::sync();
    if (fd >= 0)
        board::close(fd);
    fd = -1;
}

extern "C" void veeprom_setsync(int flag) { (void)flag; }

extern "C" int veeprom_read(int offset, char *dst, int length)
{
    if (get_boot_mode() == medium_volume)
        return volume_read(offset, dst, length);
    return sector_io(Op::read, {offset, length, dst, nullptr});
}

extern "C" int veeprom_write(int offset, const char *src, int length)
{
    if (get_boot_mode() == medium_volume)
        return volume_write(offset, src, length);
    return sector_io(Op::write, {offset, length, nullptr, src});
}

// A write of zeros that never erases: on raw flash this only clears bits.
extern "C" int veeprom_clear(int offset, int length)
{
    if (get_boot_mode() == medium_volume) {
        const char zeros[block_size] = {};
        return volume_write(offset, zeros, length);
    }
    return sector_io(Op::clear, {offset, length, nullptr, nullptr});
}

extern "C" int veeprom_format(void) { return veeprom_clear(0, 256); }

extern "C" int veeprom_dump(void)
{
    if (!lock(LOCK_SH))
        return -1;
    if (board::lseek(fd, off_t{start_sector} * sector_size, SEEK_SET) < 0) {
        unlock();
        return -1;
    }
    puts("veeprom:");
    memset(buffer, 0, sizeof buffer);
    ssize_t got = read_block(buffer, 256);
    unlock();
    if (got < 0)
        return -1;
    for (int i = 0; i < 256; ++i)
        printf(i % 16 == 15 ? "%02x \n" : "%02x ", buffer[i]);
    return 0;
}

extern "C" int parameter_check(const char *text, int64_t length)
{
    for (int64_t i = 0; i < length; ++i)
        if (static_cast<uint8_t>(static_cast<uint8_t>(text[i]) - 0x30) > 54)
            return 1;
    return 0;
}
