// SPDX-License-Identifier: MIT
// The store's process-wide state, shared by every operation of the library.
// Internal: clients use the functions of veeprom.h; tests look in here.
#ifndef VEEPROM_STATE_H
#define VEEPROM_STATE_H

#include "tools.h"

#include <unistd.h>

namespace veeprom {

inline constexpr int block_size = 2048;  // every transfer moves one block
inline constexpr int sector_size = 512;

extern int fd;                 // the open store device, -1 when closed
extern char device_path[128];  // survives veeprom_exit for the next init
extern int bootmode;           // medium recorded by the last discovery
extern bool absent;            // the last discovery found no store partition
extern int start_sector;
extern int end_sector;
extern unsigned char buffer[block_size];
extern Access access;            // how the next veeprom_init opens the store
extern const char *failed_probe; // the socinfo file the last discovery's probe could not read
extern int failed_probe_error;   // and its errno, 0 when it gave no data

// Back to the state a new process starts with: for a process that uses one
// board after another (tests, fuzzers).
inline void forget()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    device_path[0] = '\0';
    bootmode = 0;
    absent = false;
    access = Access::legacy;
    failed_probe = nullptr;
    failed_probe_error = 0;
}

} // namespace veeprom

#endif
