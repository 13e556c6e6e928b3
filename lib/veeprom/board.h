// SPDX-License-Identifier: MIT
// The board seam: every fixed path and every operating-system call that the
// store and the tools make goes through here.  The board build (board.cpp)
// maps each call straight onto the C library.  Dev builds link the simulated
// board's seam in its place (sim/seam.cpp): fixed paths under $VEEPROM_ROOT,
// kernel requests on regular files stood in for, and counted faults and
// power cuts for tests.
#ifndef VEEPROM_BOARD_H
#define VEEPROM_BOARD_H

#include "veeprom_board.h" // generated: the configured paths and names

#include <dirent.h>
#include <cstdio>
#include <memory>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace board {

inline constexpr const char *board_id_file = "/sys/class/socinfo/board_id";
inline constexpr const char *boot_mode_file = "/sys/class/socinfo/boot_mode";
inline constexpr const char *mtd_class_dir = "/sys/class/mtd/";
inline constexpr const char *ubi_ctrl = "/dev/ubi_ctrl";
// What differs between board variants, as the build was configured
// (cmake/board-settings.cmake): compile-time constants, no configuration
// read on the board.
inline constexpr const char *ubi_volume = VEEPROM_UBI_VOLUME; // volume 0 of ubi_device
inline constexpr int ubi_device = VEEPROM_UBI_DEVICE;
inline constexpr const char *ubi_partitions[] = {VEEPROM_UBI_PARTITIONS}; // attached from, in order
inline constexpr const char *mmc_disk = VEEPROM_EMMC_DISK;                // its partitions are <disk>p<N>
inline constexpr const char *store_partition = VEEPROM_PARTITION;         // the MTD and GPT name
inline constexpr const char *address_file = VEEPROM_ADDRESS_FILE;

// Every open (also fopen and opendir) returns a descriptor above 2: see
// above_std in board.cpp.
int open(const char *fixed, int flags, mode_t mode = 0);
ssize_t read(int fd, void *buf, size_t n);
ssize_t write(int fd, const void *buf, size_t n);
off_t lseek(int fd, off_t off, int whence);
int ioctl(int fd, unsigned long request, void *arg);
int flock(int fd, int op);
int close(int fd);
void sync();
int fsync(int fd);
bool exists(const char *fixed);
// Waits ms milliseconds; a pause is no call a fault can be injected into.
void nap(int ms);
int unlink(const char *fixed);
int rename(const char *fixed_from, const char *fixed_to);
// Files the user names (the images veeprom writes): never redirected, but
// counted like every other call.  link_named gives the open file fd (one
// opened O_TMPFILE) the name `to`.
int open_named(const char *path, int flags, mode_t mode);
int lstat_named(const char *path, struct stat *st);
int link_named(int fd, const char *to);
int rename_named(const char *from, const char *to);
int unlink_named(const char *path);
// The file a path names, links followed, and the one a descriptor is open
// on; its owner, group and permission bits set; the size of the list of its
// extended attributes (ACLs among them), the link itself when it is one.
int stat_named(const char *path, struct stat *st);
int fstat(int fd, struct stat *st);
int fchown(int fd, uid_t owner, gid_t group);
int fchmod(int fd, mode_t mode);
ssize_t xattrs_named(const char *path);
// n unpredictable bytes from the kernel, never waiting for its random pool;
// the count, or -1 (also on a kernel that has no such call).
ssize_t random_bytes(void *buf, size_t n);

// Every signal that can be blocked held back, and the thread's mask as it
// was again: no signal ends the process in between, and one that came
// meanwhile acts on the restore.  Neither is a call a fault is injected into.
void hold_signals(sigset_t &old);
void restore_signals(const sigset_t &old);

// Streams only read ("r").  Neither opens waits on a FIFO: it is refused.
FILE *fopen(const char *fixed, const char *mode);
size_t fread(void *buf, size_t size, size_t n, FILE *f);
int fseek(FILE *f, long off, int whence);
int fclose(FILE *f);

// A directory listed straight from the kernel into the caller's buffer, so a
// scan allocates nothing.  Entries come in the order the kernel gives them.
struct Dir {
    int fd = -1;
    size_t at = 0;
    size_t end = 0;
    alignas(struct dirent64) char entries[2048];
};
int opendir(const char *fixed, Dir &d); // 0, or -1 with errno
const struct dirent64 *readdir(Dir &d); // nullptr at the end or on error
int closedir(Dir &d);

// Runs "<command> <fixed path>" through the shell, the path quoted when it
// had to be redirected.
int system_on_path(const char *command, const char *fixed);

// Owns a descriptor that lives inside one call (the UBI control device, the
// address file); close() for a caller that needs the close's result.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { close(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int close()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 ? 0 : board::close(fd);
    }

private:
    int fd_;
};

// Holds the signals back for its lifetime, when `hold`.
class Signals {
public:
    explicit Signals(bool hold) : held_(hold)
    {
        if (held_)
            hold_signals(old_);
    }
    ~Signals()
    {
        if (held_)
            restore_signals(old_);
    }
    Signals(const Signals &) = delete;
    Signals &operator=(const Signals &) = delete;

private:
    bool held_;
    sigset_t old_; // set when held: no 128 bytes zeroed for nothing
};

struct FileCloser {
    void operator()(FILE *f) const { board::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

} // namespace board

#endif
