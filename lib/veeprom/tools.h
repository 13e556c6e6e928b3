// SPDX-License-Identifier: MIT
// What the project's own tools need of the library beyond veeprom.h.  Not
// installed: other clients use the public functions only.  Each function
// takes its turn with the public calls.
#ifndef VEEPROM_TOOLS_H
#define VEEPROM_TOOLS_H

#include <cstdio>

namespace veeprom {

// Where the library's own standard-output lines ("mmc:... device not
// found!", "read short: N") go: standard output unless a tool whose output
// is its answer sends them elsewhere.
void messages_to(FILE *stream);

// The medium a probe names: the UBI volume, raw flash, or (anything else)
// the eMMC partition.
enum class Medium { block, volume, raw };

// Where the store is, as the last veeprom_init found it.
struct Where {
    Medium medium;
    char device[128]; // the board path, "/dev/mtd3"; empty when none was found
    bool absent;      // the board surely has no store partition
};
void where(Where &w);

// One read-modify-write of the whole window, the store's lock held from the
// read to the write-back: `edit` changes the window (`size` bytes: 2048 on
// the volume, 512 on raw flash and eMMC) in memory and says whether it
// changed anything; when it did not, nothing is written.  0, or -1 with errno
// as the public calls leave it.
using Edit = bool (*)(unsigned char *window, int size, void *context);
int update(Edit edit, void *context);

} // namespace veeprom

#endif
