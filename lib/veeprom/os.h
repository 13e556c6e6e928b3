// SPDX-License-Identifier: MIT
// What the board's seam and the simulated board's do alike once a path is
// final: opens that never wait and never take a standard descriptor's place,
// read-only unbuffered streams, directories listed into the caller's buffer,
// and pauses.
#ifndef VEEPROM_OS_H
#define VEEPROM_OS_H

#include "board.h"

namespace board::os {

int open(const char *path, int flags, mode_t mode);
FILE *fopen(const char *path);
int opendir(const char *path, Dir &d);
const struct dirent64 *readdir(Dir &d);
void nap(int ms);
int link_fd(int fd, const char *to);
void hold_signals(sigset_t &old);
void restore_signals(const sigset_t &old);

} // namespace board::os

#endif
