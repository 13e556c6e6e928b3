// SPDX-License-Identifier: MIT
// The store's windowed transfers and maintenance: a read, a write or a clear
// of a byte range, each a whole block moved through the shared buffer, on the
// UBI volume or sector by sector on raw flash and eMMC.
#include "state.h"
#include "store.h"
#include "veeprom.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h> // the request macros the MTD and UBI headers use
#include <mtd/mtd-abi.h>
#include <mtd/ubi-user.h>
#include <sys/file.h>
#include <unistd.h>

// The kernel agrees on these; a header that differs is a build error, not a
// silent mismatch on the board.
static_assert(UBI_IOCVOLUP == 0x40084F00);
static_assert(UBI_IOCEBCH == 0x40044F02);
static_assert(sizeof(ubi_leb_change_req) == 16);
static_assert(MEMERASE == 0x40084D02);
static_assert(sizeof(erase_info_user) == 8);

namespace veeprom {
int fd = -1;
char device_path[128];
int bootmode;
bool absent;
int start_sector;
int end_sector;
unsigned char buffer[block_size];
pthread_mutex_t store_mutex = PTHREAD_MUTEX_INITIALIZER;
bool forked;
Access access = Access::legacy;
const char *failed_probe;
int failed_probe_error;

// O_CLOEXEC: the store must not leak into the shell a tool starts.
int store_flags() { return (access == Access::read ? O_RDONLY : O_RDWR | O_SYNC) | O_CLOEXEC; }

// A reader has nothing to flush.  A writer flushes its own descriptor, not
// every file system of the board; on raw flash a write is on the flash when
// it returns (and the MTD device refuses fsync).  The store is synchronous,
// so a failed flush loses nothing already reported written: its result, like
// sync()'s, is not the call's.
void flush()
{
    if (access == Access::legacy)
        board::sync();
    else if (access == Access::write && fd >= 0 && medium_of(bootmode) != Medium::raw)
        board::fsync(fd);
}

void begin_turn(int &cancel)
{
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel);
    pthread_mutex_lock(&store_mutex);
    if (forked)
        own_store();
}

void end_turn(int cancel)
{
    pthread_mutex_unlock(&store_mutex);
    pthread_setcancelstate(cancel, &cancel);
}
} // namespace veeprom

using namespace veeprom;

namespace {

constexpr uint32_t erase_length = 0x10000;

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

// A holder that hangs must not block every later run for ever: the lock is
// tried without blocking and waited for as a busy volume is.
bool lock(int op)
{
    return waiting(EWOULDBLOCK, [op] {
        int r = 0;
        while ((r = board::flock(fd, op | LOCK_NB)) != 0 && errno == EINTR) {
        }
        return r;
    }) == 0;
}

// The store's lock for one call: readers share it, a read-modify-write owns
// it until written back.  release() is for the path where closing the volume
// drops it.  An unlock that succeeds leaves errno as a failure before it set it.
class Lock {
public:
    explicit Lock(int op) : held_(lock(op)) {}
    ~Lock()
    {
        if (held_)
            board::flock(fd, LOCK_UN);
    }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    explicit operator bool() const { return held_; }
    void release() { held_ = false; }

private:
    bool held_;
};

enum class Op { read, write, clear };

struct Span {
    int offset;
    int length;
    char *dst;       // read
    const char *src; // write
};

// ---- flash volume path --------------------------------------------------

// A message that succeeds leaves errno as the failure before it set it.
int reopen()
{
    if (fd == -1 && (init() != 0 || fd == -1)) {
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
    flush();
    board::close(fd); // also drops the lock
    fd = -1;
}

// LEB 0 is changed atomically: a run killed or cut before the last byte
// leaves the old window, where an interrupted volume update would leave a
// volume that the kernel and the bootloader refuse to read.  A static volume
// refuses atomic changes (EROFS); it is updated whole instead.  Either way
// the window becomes exactly the bytes written next.
int start_change()
{
    ubi_leb_change_req change{};
    change.lnum = 0;
    change.bytes = block_size;
    change.dtype = 3; // unknown lifetime, as old kernels expect
    const int r = unless_busy([&] { return board::ioctl(fd, UBI_IOCEBCH, &change); });
    if (r == 0 || errno != EROFS)
        return r;
    int64_t bytes = block_size;
    return unless_busy([&] { return board::ioctl(fd, UBI_IOCVOLUP, &bytes); });
}

// The whole window is read, changed and written back, and the volume closed
// after a success.
[[gnu::always_inline]] inline int volume_io(Op op, const Span &io)
{
    memset(buffer, 0, sizeof buffer);
    if (reopen() != 0)
        return -1;
    Lock held(op == Op::read ? LOCK_SH : LOCK_EX);
    if (!held || !read_window())
        return -1;
    if (op == Op::read) {
        std::copy_n(buffer + io.offset, io.length, io.dst);
    } else {
        if (op == Op::write)
            std::copy_n(io.src, io.length, buffer + io.offset);
        else
            memset(buffer + io.offset, 0, static_cast<size_t>(io.length));
        if (start_change() != 0 || !write_block(block_size))
            return -1;
    }
    held.release();
    close_volume();
    return 0;
}

// ---- sector path --------------------------------------------------------

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
        // The new block is complete in memory before anything is erased.
        if (op == Op::write)
            io.src = std::copy_n(io.src, chunk, reinterpret_cast<char *>(at));
        else
            memset(at, 0, chunk);
        if (op == Op::write && medium_of(bootmode) == Medium::raw) {
            // Raw flash: bits only clear on write, so erase the block first.
            erase_info_user erase{0, erase_length};
            int r = board::ioctl(fd, MEMERASE, &erase);
            if (r < 0)
                return r;
        }
        // What was read, and the whole change, must reach the medium.
        size_t needed = std::max(static_cast<size_t>(got), static_cast<size_t>(io.offset - rel) + chunk);
        if (board::lseek(fd, pos, SEEK_SET) < 0 || !write_block(needed))
            return -1;
    }
    io.offset += static_cast<int>(chunk);
    io.length -= static_cast<int>(chunk);
    return 0;
}

[[gnu::always_inline]] inline int sector_io(Op op, Span io)
{
    const int64_t capacity = (int64_t{end_sector} + 1 - start_sector) * sector_size;
    if (int64_t{io.offset} + io.length > capacity) {
        errno = EINVAL; // outside the window: no I/O
        return -1;
    }
    const int64_t first = start_sector + io.offset / sector_size;
    const int64_t count = (int64_t{io.offset} + io.length - 1) / sector_size - io.offset / sector_size + 1;
    if (count == 0)
        return 0;
    const Lock held(op == Op::read ? LOCK_SH : LOCK_EX);
    if (!held)
        return -1;
    int result = 0;
    for (int64_t s = first; s < first + count && result == 0; ++s)
        result = sector_step(op, s, io);
    return result;
}

// Each call probes the medium afresh and takes the path it names; the erase
// follows the medium found at discovery.  What no window holds is refused
// before any I/O, the probe's included: nothing half done.
int transfer(Op op, const Span &io)
{
    if ((io.length != 0 && ((op == Op::read && io.dst == nullptr) || (op == Op::write && io.src == nullptr))) || io.offset < 0 ||
        io.length < 0 || int64_t{io.offset} + io.length > block_size) {
        errno = EINVAL;
        return -1;
    }
    return medium_of(boot_mode()) == Medium::volume ? volume_io(op, io) : sector_io(op, io);
}

// The window's read-modify-write under one lock; written back only when the
// edit changed it.  On the volume the whole window is one atomic change; on
// raw flash and eMMC it is the store's first sector.
int update_volume(Edit edit, void *context)
{
    memset(buffer, 0, sizeof buffer);
    if (reopen() != 0)
        return -1;
    Lock held(LOCK_EX);
    if (!held || !read_window())
        return -1;
    if (edit(buffer, block_size, context) && (start_change() != 0 || !write_block(block_size)))
        return -1;
    held.release();
    close_volume();
    return 0;
}

int update_sectors(Edit edit, void *context)
{
    const auto pos = static_cast<off_t>(static_cast<uint32_t>(start_sector * sector_size));
    memset(buffer, 0, sizeof buffer);
    const Lock held(LOCK_EX);
    if (!held || board::lseek(fd, pos, SEEK_SET) < 0)
        return -1;
    const ssize_t got = read_block(buffer, block_size);
    if (got < 0)
        return -1;
    if (!edit(buffer, sector_size, context))
        return 0;
    if (medium_of(bootmode) == Medium::raw) {
        erase_info_user erase{0, erase_length}; // the new block is complete in memory
        if (board::ioctl(fd, MEMERASE, &erase) < 0)
            return -1;
    }
    const size_t needed = std::max(static_cast<size_t>(got), static_cast<size_t>(sector_size));
    return board::lseek(fd, pos, SEEK_SET) < 0 || !write_block(needed) ? -1 : 0;
}

} // namespace

// ---- for the project's tools (tools.h) ----------------------------------

int veeprom::update(Edit edit, void *context)
{
    const Turn turn;
    if (edit == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return medium_of(boot_mode()) == Medium::volume ? update_volume(edit, context) : update_sectors(edit, context);
}

void veeprom::where(Where &w)
{
    const Turn turn;
    static_assert(sizeof w.device == sizeof device_path);
    w.medium = medium_of(bootmode);
    memcpy(w.device, device_path, sizeof w.device);
    w.absent = absent;
    w.probe = failed_probe;
    w.probe_error = failed_probe_error;
}

void veeprom::open_for(Access a)
{
    const Turn turn;
    access = a;
}

// ---- public interface ---------------------------------------------------
// Each function takes its turn with the others for its whole run.

extern "C" int veeprom_read(int offset, char *dst, int length)
{
    const Turn turn;
    return transfer(Op::read, {offset, length, dst, nullptr});
}

extern "C" int veeprom_write(int offset, const char *src, int length)
{
    const Turn turn;
    return transfer(Op::write, {offset, length, nullptr, src});
}

// A write of zeros that never erases: on raw flash this only clears bits.
extern "C" int veeprom_clear(int offset, int length)
{
    const Turn turn;
    return transfer(Op::clear, {offset, length, nullptr, nullptr});
}

extern "C" int veeprom_format(void)
{
    const Turn turn;
    return transfer(Op::clear, {0, 256, nullptr, nullptr});
}

extern "C" int veeprom_dump(void)
{
    const Turn turn;
    ssize_t got = -1;
    {
        const Lock held(LOCK_SH);
        if (!held || board::lseek(fd, off_t{start_sector} * sector_size, SEEK_SET) < 0)
            return -1;
        puts("veeprom:");
        memset(buffer, 0, sizeof buffer);
        got = read_block(buffer, 256);
    }
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
