// SPDX-License-Identifier: MIT
// The simulated board's seam, linked into dev builds in place of the board's
// (lib/veeprom/board.cpp): fixed paths under $VEEPROM_ROOT, kernel requests
// on image files stood in for, and counted faults and cuts.  What its two
// files share.
#ifndef SIM_SEAM_H
#define SIM_SEAM_H

#include <climits>
#include <cstddef>
#include <cstdio>

namespace board {

// Forgets the cached root, call counter and any change under way: a process
// that uses one board after another (tests, fuzzers).
void sim_reset();

namespace sim {

// The board's root, or nullptr for the exact board paths.
const char *root();
// Whether a switch file exists under the root ("/fail/MEMERASE").
bool has(const char *rel);
// The path to use for a fixed absolute one: under the root when it is set;
// nullptr (ENAMETOOLONG) when it does not fit.
const char *resolve(const char *fixed, char (&out)[PATH_MAX]);

// Counts one call of the seam: true when it is the one that must fail
// (errno EIO); the process ends or is signalled here when the switches say so.
bool injected(const char *call);
// The count the current call moves: about half of n when it is the one that
// must come back short.  A read (fd or stream given) stops at the end of a
// regular file, so it gets half of what is left there, counted in `unit`s.
size_t shortened(const char *call, size_t n, int fd = -1, FILE *stream = nullptr, size_t unit = 1);
// skip/flock: locks granted without locking.
bool unlocked();
// delay/flock k (and delay/ms): the k-th lock call, unlocks counted too,
// waits that long before it runs, so another process can act meanwhile.
void lock_call();

// A kernel request on an image file: what the MTD or UBI driver would do.
int stand_in(int fd, unsigned long request, void *arg);
// A write on the descriptor of an atomic change under way is taken by it:
// true, with the write's result.
bool changing(int fd, const void *buf, size_t n, ssize_t &result);
// The change under way on fd, if any, is dropped (a failed write, a close).
void abandon(int fd);
void forget_change();

} // namespace sim
} // namespace board

#endif
