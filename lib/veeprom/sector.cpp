// SPDX-License-Identifier: MIT
// The sector path: raw flash and eMMC, the window worked sector by sector,
// each a whole 2048-byte block read, changed in memory and written back (on
// raw flash after erasing the erase block), the device left open.
#include "state.h"
#include "store.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sys/ioctl.h> // the request macros the MTD header uses
#include <mtd/mtd-abi.h>

// The kernel agrees on these; a header that differs is a build error, not a
// silent mismatch on the board.
static_assert(MEMERASE == 0x40084D02);
static_assert(sizeof(erase_info_user) == 8);

namespace veeprom {
namespace {

constexpr uint32_t erase_length = 0x10000;

// The one read-modify-write of the sector path and of update(): the block at
// pos read into buffer, `edit` applied to it in memory (a read is an edit
// that changes nothing: then nothing is written), on raw flash the erase
// block erased when `erase`, and the block written back, at least
// `at_least` bytes of it and all that was read.  From the erase to the end
// of the write-back the store holds nothing but this block in memory, so no
// signal may end the process in between: each one that can be held back
// acts right after.
int rewrite_sector(off_t pos, bool erase, size_t at_least, Edit edit, void *context)
{
    memset(buffer, 0, sizeof buffer);
    if (board::lseek(fd, pos, SEEK_SET) < 0)
        return -1;
    const ssize_t got = read_block(buffer, block_size);
    if (got < 0)
        return -1;
    if (!edit(buffer, sector_size, context))
        return 0;
    const board::Signals held(erase);
    if (erase) {
        // Bits only clear on write: the new block is complete in memory first.
        erase_info_user e{0, erase_length};
        const int r = board::ioctl(fd, MEMERASE, &e);
        if (r < 0)
            return r;
    }
    const size_t needed = std::max(static_cast<size_t>(got), at_least);
    return board::lseek(fd, pos, SEEK_SET) < 0 || !write_block(needed) ? -1 : 0;
}

// One sector's share of a transfer: its chunk of the caller's range.
struct Step {
    Op op;
    Span &io;
    size_t at;      // the chunk's place in the block
    uint32_t chunk; // its length
};

bool apply(unsigned char *block, int, void *context)
{
    auto &[op, io, at, chunk] = *static_cast<Step *>(context);
    if (op == Op::read)
        io.dst = std::copy_n(block + at, chunk, io.dst);
    else if (op == Op::write)
        io.src = std::copy_n(io.src, chunk, reinterpret_cast<char *>(block + at));
    else
        memset(block + at, 0, chunk);
    return op != Op::read;
}

int sector_step(Op op, int64_t s, Span &io)
{
    const auto pos = static_cast<off_t>(static_cast<uint32_t>(s * sector_size));
    const auto rel = static_cast<int>((s - start_sector) * sector_size);
    const uint32_t chunk = std::min(static_cast<uint32_t>(rel + sector_size - io.offset), static_cast<uint32_t>(io.length));
    Step step{op, io, static_cast<size_t>(io.offset - rel), chunk};
    // A clear only clears bits: it never erases.
    const bool erase = op == Op::write && medium_of(bootmode) == Medium::raw;
    if (const int r = rewrite_sector(pos, erase, step.at + chunk, apply, &step); r != 0)
        return r;
    io.offset += static_cast<int>(chunk);
    io.length -= static_cast<int>(chunk);
    return 0;
}

} // namespace

int sector_io(Op op, Span io)
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

// The window is the store's first sector.
int update_sectors(Edit edit, void *context)
{
    const Lock held(LOCK_EX);
    if (!held)
        return -1;
    const auto pos = static_cast<off_t>(static_cast<uint32_t>(start_sector * sector_size));
    return rewrite_sector(pos, medium_of(bootmode) == Medium::raw, sector_size, edit, context);
}

} // namespace veeprom
