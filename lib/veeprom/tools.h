// SPDX-License-Identifier: MIT
// What the project's own tools need of the library beyond veeprom.h.  Not
// installed: other clients use the public functions only.  Each function
// takes its turn with the public calls.
#ifndef VEEPROM_TOOLS_H
#define VEEPROM_TOOLS_H

#include <cstdio>

namespace veeprom {

// The medium a probe names: the UBI volume, raw flash, or (anything else)
// the eMMC partition.
enum class Medium { block, volume, raw };

// How the store is opened and flushed from the next veeprom_init on.
// legacy: read-write and synchronous, sync() after each volume change and in
// veeprom_exit (what drask_bootcause and drask_netaddr do).  read: read-only,
// nothing flushed (a reader has nothing of its own to flush, and needs no
// write access).  write: read-write and synchronous, only the store's own
// descriptor flushed (fsync), never every file system of the board; raw
// flash needs nothing, its writes are on the flash when they return.
enum class Access { legacy, read, write };
void open_for(Access a);

// Where the store is, as the last veeprom_init found it.
struct Where {
    Medium medium;
    char device[128];  // the board path, "/dev/mtd3"; empty when none was found
    bool absent;       // the board surely has no store partition
    const char *probe; // the socinfo file the last probe could not read, or nullptr
    int probe_error;   // its errno; 0 when it opened but gave nothing
};
void where(Where &w);

// One read-modify-write of the whole window, the store's lock held from the
// read to the write-back: `edit` changes the window (`size` bytes: 2048 on
// the volume, 512 on raw flash and eMMC) in memory and says whether it
// changed anything; when it did not, nothing is written.  0, or -1 with errno
// as the public calls leave it.
using Edit = bool (*)(unsigned char *window, int size, void *context);
int update(Edit edit, void *context);

// flock(op) on `file`, waited for as the store's lock is (5 s at most);
// false with errno EWOULDBLOCK when another process held it past that.
bool lock_file(int file, int op);

// veeprom_dump's lines after its first, for a window's first 256 bytes,
// on stdout: the same dump of a window that is no board's store.
void dump_lines(const unsigned char *bytes);

} // namespace veeprom

#endif
