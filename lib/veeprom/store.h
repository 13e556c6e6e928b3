// SPDX-License-Identifier: MIT
// What the library's parts share: the probe (probe.cpp), discovery and
// lifecycle (discovery.cpp), whole transfers and the lock (io.cpp), the
// volume path (volume.cpp), the sector path (sector.cpp) and the public calls
// (veeprom.cpp).  Internal to the library.
#ifndef VEEPROM_STORE_H
#define VEEPROM_STORE_H

#include "board.h"
#include "state.h"
#include "tools.h"

#include <cerrno>
#include <pthread.h>
#include <sys/file.h>
#include <sys/types.h>

namespace veeprom {

// The medium a probe names (tools.h): 1 the UBI volume, 5 raw flash,
// anything else the eMMC partition (0, and probe_failed when a probe file
// gave nothing).
inline constexpr int probe_failed = -5;
constexpr Medium medium_of(int mode) { return mode == 1 ? Medium::volume : mode == 5 ? Medium::raw : Medium::block; }

inline constexpr int busy_wait_ms = 5000;
inline constexpr int busy_poll_ms = 10;

// Another run holds the store only for moments, so what it holds is waited
// for, busy_wait_ms at most, retrying every busy_poll_ms; after that the call
// fails as any other failure does.  `busy` (and `busy_too`, when given) is
// the errno that means "held", and the one a call still held at the end
// leaves.
template <class Call> int waiting(int busy, Call call, int busy_too = 0)
{
    for (int waited = 0;; waited += busy_poll_ms) {
        int r = call();
        if (r >= 0 || (errno != busy && (busy_too == 0 || errno != busy_too)) || waited >= busy_wait_ms)
            return r;
        board::nap(busy_poll_ms);
    }
}

// UBI admits one writer to a volume at a time and refuses a change while
// anyone else has the volume open (EBUSY).
template <class Call> int unless_busy(Call call) { return waiting(EBUSY, call); }

// Calls from different threads take turns: the store's state and its one
// block buffer are process-wide.  Every public function holds a Turn for its
// whole run; the functions below are those calls without it, for the
// library's own use.  Uncontended, the C library's mutex makes no system call.
//
// A thread cancelled inside a call would never give the turn back, so a call
// runs with cancellation disabled; a pending cancel acts at the thread's next
// cancellation point after it.  After fork, a child's first call drops the
// descriptor it shares with its parent (one offset, one lock) and opens the
// store afresh: own_store().  Neither costs a system call in a process that
// never forks.
extern pthread_mutex_t store_mutex;
extern bool forked;
void own_store();

void begin_turn(int &cancel);
void end_turn(int cancel);

struct Turn {
    Turn() { begin_turn(cancel_); }
    ~Turn() { end_turn(cancel_); }
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;

private:
    int cancel_ = 0;
};

// The store's open flags for the current access mode, and what flushes it
// where the legacy tools sync().
int store_flags();
void flush();

int boot_mode();                                      // get_boot_mode
int lookup_partition(const char *name, bool &whole);  // get_mtdnum_partname, telling also whether a miss is certain
int init();                                           // veeprom_init
extern const char *unread_file;                       // the socinfo file the latest probe could not read
extern int unread_error;                              // and its errno

// ---- whole transfers and the lock (io.cpp) --------------------------------

// Up to n bytes at the current position until end of file; the count, or
// -1.  Interrupted and partial reads are continued.
ssize_t read_block(unsigned char *to, size_t n);
// The whole block back from buffer; succeeds once at least `needed` bytes
// are stored (past the end of a device there is nothing more to store).
bool write_block(size_t needed);
bool lock(int op);

// The store's lock for one call: readers share it, a read-modify-write owns
// it until written back.  release() is for the path where closing the volume
// drops it.  An unlock that succeeds leaves errno as a failure before it set it.
class Lock {
public:
    explicit Lock(int op) : held_(lock(op)) {}
    ~Lock()
    {
        if (held_)
            board::flock(fd, LOCK_UN);
    }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    explicit operator bool() const { return held_; }
    void release() { held_ = false; }

private:
    bool held_;
};

// ---- the two paths (volume.cpp, sector.cpp) -------------------------------

enum class Op { read, write, clear };

struct Span {
    int offset;
    int length;
    char *dst;       // read
    const char *src; // write
};

int volume_io(Op op, const Span &io);
int update_volume(Edit edit, void *context);
int sector_io(Op op, Span io);
int update_sectors(Edit edit, void *context);

} // namespace veeprom

#endif
