// SPDX-License-Identifier: MIT
// The store's discovery and lifecycle: where the store of the medium the
// board boots from is (attaching UBI when needed), opening it in the access
// mode asked for, flushing and closing it, calls taking turns, and fork.
#include "gpt.h"
#include "state.h"
#include "store.h"
#include "veeprom.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h> // the request macros the UBI header uses
#include <mtd/ubi-user.h>
#include <unistd.h>

// The kernel agrees on these; a header that differs is a build error, not a
// silent mismatch on the board.
static_assert(UBI_IOCATT == 0x40186F40);
static_assert(sizeof(ubi_attach_req) == 24);

namespace veeprom {

int fd = -1;
char device_path[128];
int bootmode;
bool absent;
int start_sector;
int end_sector;
unsigned char buffer[block_size];
Access access = Access::legacy;
const char *failed_probe;
int failed_probe_error;
pthread_mutex_t store_mutex = PTHREAD_MUTEX_INITIALIZER;
bool forked;

void begin_turn(int &cancel)
{
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel);
    pthread_mutex_lock(&store_mutex);
    if (forked)
        own_store();
}

void end_turn(int cancel)
{
    pthread_mutex_unlock(&store_mutex);
    pthread_setcancelstate(cancel, &cancel);
}

// O_CLOEXEC: the store must not leak into the shell a tool starts.
int store_flags() { return (access == Access::read ? O_RDONLY : O_RDWR | O_SYNC) | O_CLOEXEC; }

// A reader has nothing to flush.  A writer flushes its own descriptor, not
// every file system of the board; on raw flash a write is on the flash when
// it returns (and the MTD device refuses fsync).  The store is synchronous,
// so a failed flush loses nothing already reported written: its result, like
// sync()'s, is not the call's.
void flush()
{
    if (access == Access::legacy)
        board::sync();
    else if (access == Access::write && fd >= 0 && medium_of(bootmode) != Medium::raw)
        board::fsync(fd);
}

namespace {

bool node_appears()
{
    return waiting(ENOENT, [] { return board::exists(board::ubi_volume) ? 0 : (errno = ENOENT, -1); }) == 0;
}

// The attach request on the control device; its result, errno kept.
int request_attach(int mtd)
{
    ubi_attach_req req;
    memset(&req, 0, sizeof req); // kernel defaults for the rest
    req.ubi_num = board::ubi_device;
    req.mtd_num = mtd;
    const board::Fd ctrl(board::open(board::ubi_ctrl, O_RDONLY | O_CLOEXEC));
    return ctrl.get() < 0 ? -1 : board::ioctl(ctrl.get(), UBI_IOCATT, &req);
}

// No such partition, for certain: ENOENT, and the tools can say which.
int no_partition()
{
    absent = true;
    errno = ENOENT;
    return -1;
}

int attach_volume()
{
    if (!board::exists(board::ubi_volume)) {
        // A board uses the next partition only when it surely has none of
        // the one before: after a read error that one may be there, and the
        // next is then the wrong partition.
        bool whole = true;
        int mtd = -1;
        for (const char *name : board::ubi_partitions)
            if (mtd < 0 && whole)
                mtd = lookup_partition(name, whole);
        if (mtd < 0)
            return whole ? no_partition() : -1;
        // Runs started together each find no volume and ask to attach; the
        // first wins and the kernel answers the others EEXIST.  They go on
        // as attached once the volume's node is there.
        if (request_attach(mtd) < 0 && (errno != EEXIST || !node_appears()))
            return -1;
    }
    snprintf(device_path, sizeof device_path, "%s", board::ubi_volume);
    return 0;
}

} // namespace

// Where discovery's two standard-output lines go (veeprom_messages_to).
FILE *messages = nullptr; // stdout

namespace {

int find_gpt_partition()
{
    FILE *out = messages != nullptr ? messages : stdout;
    board::File disk(board::fopen(board::mmc_disk, "r"));
    if (!disk) {
        fprintf(out, "mmc:%s device not found!\n", board::mmc_disk);
        return -1;
    }
    if (board::fseek(disk.get(), gpt::entries_at, SEEK_SET) != 0) {
        fputs("fseek to gpt offset failed!\n", stderr);
        return -1;
    }
    gpt::Table table;
    size_t got = board::fread(table, gpt::entry_size, gpt::entries, disk.get());
    if (got < gpt::entries) {
        fprintf(out, "read short: %ld\n", static_cast<long>(got));
        errno = EIO; // the table could not be read whole
        return -1;
    }
    const int n = gpt::store_partition(table);
    if (n == 0)
        return no_partition();
    snprintf(device_path, sizeof device_path, "%sp%d", board::mmc_disk, n);
    return 0;
}

// The store's device is found afresh: until it is, there is none.
int discover()
{
    device_path[0] = '\0';
    absent = false;
    bootmode = boot_mode();
    failed_probe = bootmode == probe_failed ? unread_file : nullptr;
    failed_probe_error = bootmode == probe_failed ? unread_error : 0;
    switch (medium_of(bootmode)) {
    case Medium::volume:
        if (attach_volume() != 0)
            return -1;
        break;
    case Medium::raw: {
        bool whole = false;
        const int mtd = lookup_partition(board::store_partition, whole);
        if (mtd < 0)
            return whole ? no_partition() : -1;
        snprintf(device_path, sizeof device_path, "/dev/mtd%d", mtd);
        break;
    }
    case Medium::block:
        if (find_gpt_partition() != 0)
            return -1;
        break;
    }
    start_sector = 0;
    end_sector = 0;
    // UBI makes the volume's node before another run's attach has finished;
    // opened in that moment the volume is not there yet (ENODEV).
    const int attaching = medium_of(bootmode) == Medium::volume ? ENODEV : 0;
    fd = waiting(EBUSY, [] { return board::open(device_path, store_flags()); }, attaching);
    return fd >= 0 ? 0 : -1;
}

// The turn is held across fork, so the child starts with the state of no
// call half way.  UBI admits one writer: a volume the parent kept open would
// keep the child out, so it is closed first, and whichever process calls
// next reopens it (the volume path does after every call).  A child's first
// call opens any other store afresh: own_store().
void fork_prepare()
{
    pthread_mutex_lock(&store_mutex);
    if (fd >= 0 && medium_of(bootmode) == Medium::volume) {
        board::close(fd);
        fd = -1;
    }
}

void fork_parent() { pthread_mutex_unlock(&store_mutex); }

void fork_child()
{
    forked = fd >= 0;
    pthread_mutex_unlock(&store_mutex);
}

} // namespace

void own_store()
{
    forked = false;
    board::close(fd); // the child's copy: the parent's stays open, unlocked
    fd = board::open(device_path, store_flags());
}

int init()
{
    static bool watching_forks = false;
    if (!watching_forks)
        watching_forks = pthread_atfork(fork_prepare, fork_parent, fork_child) == 0;
    if (fd >= 0) {
        board::close(fd);
        fd = -1;
    }
    fd = board::open(device_path, store_flags());
    if (fd >= 0)
        return 0;
    return discover(); // also when the store was busy: discovery waits for it
}

} // namespace veeprom

using namespace veeprom;

extern "C" int veeprom_init(void)
{
    const Turn turn;
    return init();
}

extern "C" void veeprom_exit(void)
{
    const Turn turn;
    flush();
    if (fd >= 0)
        board::close(fd);
    fd = -1;
}

extern "C" void veeprom_setsync(int flag) { (void)flag; }

extern "C" void veeprom_messages_to(FILE *stream)
{
    const Turn turn;
    messages = stream;
}
