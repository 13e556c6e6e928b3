// SPDX-License-Identifier: MIT
// The public calls and the tools' own: each takes its turn with the others
// for its whole run, checks what no window holds, and takes the path the
// medium's fresh probe names.
#include "state.h"
#include "store.h"
#include "veeprom.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

using namespace veeprom;

namespace {

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

} // namespace

// ---- for the project's tools (tools.h) ----------------------------------

// The window's read-modify-write under one lock; written back only when the
// edit changed it.  On the volume the whole window is one atomic change; on
// raw flash and eMMC it is the store's first sector.
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

void veeprom::dump_lines(const unsigned char *bytes)
{
    for (int i = 0; i < 256; ++i)
        printf(i % 16 == 15 ? "%02x \n" : "%02x ", bytes[i]);
}

void veeprom::open_for(Access a)
{
    const Turn turn;
    access = a;
}

// ---- public interface ---------------------------------------------------

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

// Through whatever the descriptor holds: on the volume only the one
// veeprom_init opened, which every volume call closes.
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
    dump_lines(buffer);
    return 0;
}

// Exported as veeprom_parameter_check (veeprom.h), with the plain name a weak
// alias as in probe.cpp.
extern "C" int parameter_check(const char *text, int64_t length)
{
    for (int64_t i = 0; i < length; ++i)
        if (static_cast<uint8_t>(static_cast<uint8_t>(text[i]) - 0x30) > 54)
            return 1;
    return 0;
}
extern "C" int plain_parameter_check(const char *text, int64_t length) __asm__("parameter_check")
    __attribute__((weak, alias("veeprom_parameter_check")));
