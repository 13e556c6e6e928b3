// SPDX-License-Identifier: MIT
// The board's seam: each call is the C library's, on the exact board paths.
// Dev builds link the simulated board's seam (sim/seam.cpp) in its place.
#include "board.h"

#include "os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace board {

int open(const char *fixed, int flags, mode_t mode) { return os::open(fixed, flags, mode); }
ssize_t read(int fd, void *buf, size_t n) { return ::read(fd, buf, n); }
ssize_t write(int fd, const void *buf, size_t n) { return ::write(fd, buf, n); }
off_t lseek(int fd, off_t off, int whence) { return ::lseek(fd, off, whence); }
int ioctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }
int flock(int fd, int op) { return ::flock(fd, op); }
int close(int fd) { return ::close(fd); }
void sync() { ::sync(); }
int fsync(int fd) { return ::fsync(fd); }
bool exists(const char *fixed) { return ::access(fixed, F_OK) == 0; }
void nap(int ms) { os::nap(ms); }
void hold_signals(sigset_t &old) { os::hold_signals(old); }
void restore_signals(const sigset_t &old) { os::restore_signals(old); }
int unlink(const char *fixed) { return ::unlink(fixed); }
int rename(const char *fixed_from, const char *fixed_to) { return ::rename(fixed_from, fixed_to); }
int open_named(const char *path, int flags, mode_t mode) { return os::open(path, flags, mode); }
int lstat_named(const char *path, struct stat *st) { return ::lstat(path, st); }
int link_named(int fd, const char *to) { return os::link_fd(fd, to); }
int rename_named(const char *from, const char *to) { return ::rename(from, to); }
int unlink_named(const char *path) { return ::unlink(path); }
int stat_named(const char *path, struct stat *st) { return ::stat(path, st); }
int fstat(int fd, struct stat *st) { return ::fstat(fd, st); }
int fchown(int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); }
int fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
ssize_t xattrs_named(const char *path) { return ::llistxattr(path, nullptr, 0); }
ssize_t random_bytes(void *buf, size_t n) { return ::getrandom(buf, n, GRND_NONBLOCK); }

FILE *fopen(const char *fixed, const char *mode)
{
    if (strcmp(mode, "r") != 0) {
        errno = EINVAL; // streams only read
        return nullptr;
    }
    return os::fopen(fixed);
}

size_t fread(void *buf, size_t size, size_t n, FILE *f) { return ::fread(buf, size, n, f); }
int fseek(FILE *f, long off, int whence) { return ::fseek(f, off, whence); }
int fclose(FILE *f) { return ::fclose(f); }
int opendir(const char *fixed, Dir &d) { return os::opendir(fixed, d); }
const struct dirent64 *readdir(Dir &d) { return os::readdir(d); }

int closedir(Dir &d)
{
    const int fd = d.fd;
    d.fd = -1;
    return ::close(fd);
}

int system_on_path(const char *command, const char *fixed)
{
    char cmd[256];
    snprintf(cmd, sizeof cmd, "%s %s", command, fixed);
    return ::system(cmd);
}

} // namespace board
