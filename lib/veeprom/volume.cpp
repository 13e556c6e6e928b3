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

// The whole window read under the lock (shared for a read), `edit` applied,
// and when it changed anything written back; the volume closed after a
// success.
int rewrite_window(int op, Edit edit, void *context)
{
    memset(buffer, 0, sizeof buffer);
    if (reopen() != 0)
        return -1;
    Lock held(op);
    if (!held || !read_window())
        return -1;
    if (edit(buffer, block_size, context) && (start_change() != 0 || !write_block(block_size)))
        return -1;
    held.release();
    close_volume();
    return 0;
}

struct Transfer {
    Op op;
    const Span &io;
};

bool apply(unsigned char *window, int, void *context)
{
    const auto &[op, io] = *static_cast<const Transfer *>(context);
    if (op == Op::read)
        std::copy_n(window + io.offset, io.length, io.dst);
    else if (op == Op::write)
        std::copy_n(io.src, io.length, window + io.offset);
    else
        memset(window + io.offset, 0, static_cast<size_t>(io.length));
    return op != Op::read;
}

} // namespace

int volume_io(Op op, const Span &io)
{
    Transfer t{op, io};
    return rewrite_window(op == Op::read ? LOCK_SH : LOCK_EX, apply, &t);
}

int update_volume(Edit edit, void *context) { return rewrite_window(LOCK_EX, edit, context); }

} // namespace veeprom
