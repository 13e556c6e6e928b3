// SPDX-License-Identifier: MIT
// The flash volume path: the UBI volume's whole 2048-byte window read,
// changed in memory and written back as one atomic change, the volume
// reopened before and closed after every call.
#include "state.h"
#include "store.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h> // the request macros the UBI header uses
#include <mtd/ubi-user.h>

// The kernel agrees on these; a header that differs is a build error, not a
// silent mismatch on the board.
static_assert(UBI_IOCVOLUP == 0x40084F00);
static_assert(UBI_IOCEBCH == 0x40044F02);
static_assert(sizeof(ubi_leb_change_req) == 16);

namespace veeprom {
namespace {

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
// refuses atomic changes (EROFS); it is updated whole instead, and from the
// update's request to its last byte no signal that can be held back ends
// the process: each acts right after.  Either way the window becomes
// exactly the block.
bool write_window()
{
    ubi_leb_change_req change{};
    change.lnum = 0;
    change.bytes = block_size;
    change.dtype = 3; // unknown lifetime, as old kernels expect
    int r = unless_busy([&] { return board::ioctl(fd, UBI_IOCEBCH, &change); });
    const bool update = r != 0 && errno == EROFS;
    const board::Signals held(update);
    int64_t bytes = block_size;
    if (update)
        r = unless_busy([&] { return board::ioctl(fd, UBI_IOCVOLUP, &bytes); });
    return r == 0 && write_block(block_size);
}

} // namespace

// The whole window is read, changed and written back, and the volume closed
// after a success.
int volume_io(Op op, const Span &io)
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
        if (!write_window())
            return -1;
    }
    held.release();
    close_volume();
    return 0;
}

// The same for update(): written back only when the edit changed the window.
int update_volume(Edit edit, void *context)
{
    memset(buffer, 0, sizeof buffer);
    if (reopen() != 0)
        return -1;
    Lock held(LOCK_EX);
    if (!held || !read_window())
        return -1;
    if (edit(buffer, block_size, context) && !write_window())
        return -1;
    held.release();
    close_volume();
    return 0;
}

} // namespace veeprom
