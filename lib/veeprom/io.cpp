// SPDX-License-Identifier: MIT
// Whole transfers on the store's descriptor and the store's lock: what the
// volume path, the sector path and the dump share.
#include "state.h"
#include "store.h"

namespace veeprom {

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
bool lock_file(int file, int op)
{
    return waiting(EWOULDBLOCK, [file, op] {
        int r = 0;
        while ((r = board::flock(file, op | LOCK_NB)) != 0 && errno == EINTR) {
        }
        return r;
    }) == 0;
}

bool lock(int op) { return lock_file(fd, op); }

} // namespace veeprom
