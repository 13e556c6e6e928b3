// SPDX-License-Identifier: MIT
// The simulated board's seam, linked into dev builds in place of the board's:
// every fixed path under $VEEPROM_ROOT when it is set, kernel requests on
// image files stood in for (standin.cpp), and each call counted first
// (counter.cpp), so that a fault can be walked through every call.
#include "board.h"
#include "os.h"
#include "seam.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace board {
namespace {

using sim::injected;
using sim::shortened;

// A call that fails after the kernel has released what it held, as a
// failing close does.
int failed_after(int result)
{
    (void)result;
    errno = EIO;
    return -1;
}

} // namespace

int open(const char *fixed, int flags, mode_t mode)
{
    char full[PATH_MAX];
    if (injected("open"))
        return -1;
    const char *p = sim::resolve(fixed, full);
    return p == nullptr ? -1 : os::open(p, flags, mode);
}

ssize_t read(int fd, void *buf, size_t n)
{
    if (injected("read"))
        return -1;
    return ::read(fd, buf, shortened("read", n, fd));
}

ssize_t write(int fd, const void *buf, size_t n)
{
    if (injected("write")) {
        sim::abandon(fd);
        return -1;
    }
    ssize_t r = 0;
    n = shortened("write", n);
    return sim::changing(fd, buf, n, r) ? r : ::write(fd, buf, n);
}

off_t lseek(int fd, off_t off, int whence) { return injected("lseek") ? -1 : ::lseek(fd, off, whence); }

// A request on a regular file is stood in for; on a device it goes to the
// kernel unchanged.
int ioctl(int fd, unsigned long request, void *arg)
{
    if (injected("ioctl"))
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        return sim::stand_in(fd, request, arg);
    return ::ioctl(fd, request, arg);
}

int flock(int fd, int op)
{
    if (injected("flock"))
        return -1;
    sim::lock_call();
    return sim::unlocked() ? 0 : ::flock(fd, op);
}

// A failing close still releases the descriptor, as the kernel's does.
int close(int fd)
{
    sim::abandon(fd);
    return injected("close") ? failed_after(::close(fd)) : ::close(fd);
}

void sync()
{
    if (!injected("sync"))
        ::sync();
}

int fsync(int fd) { return injected("fsync") ? -1 : ::fsync(fd); }

// A pause is no call a fault can be injected into, nor is the signal mask:
// the walks number the calls of the store's own work.
void nap(int ms) { os::nap(ms); }
void hold_signals(sigset_t &old) { os::hold_signals(old); }
void restore_signals(const sigset_t &old) { os::restore_signals(old); }

bool exists(const char *fixed)
{
    char full[PATH_MAX];
    if (injected("access"))
        return false;
    const char *p = sim::resolve(fixed, full);
    return p != nullptr && ::access(p, F_OK) == 0;
}

int unlink(const char *fixed)
{
    char full[PATH_MAX];
    if (injected("unlink"))
        return -1;
    const char *p = sim::resolve(fixed, full);
    return p == nullptr ? -1 : ::unlink(p);
}

int rename(const char *fixed_from, const char *fixed_to)
{
    char from_full[PATH_MAX];
    char to_full[PATH_MAX];
    if (injected("rename"))
        return -1;
    const char *from = sim::resolve(fixed_from, from_full);
    const char *to = sim::resolve(fixed_to, to_full);
    return from == nullptr || to == nullptr ? -1 : ::rename(from, to);
}

int open_named(const char *path, int flags, mode_t mode) { return injected("open") ? -1 : os::open(path, flags, mode); }
int lstat_named(const char *path, struct stat *st) { return injected("lstat") ? -1 : ::lstat(path, st); }
int link_named(int fd, const char *to) { return injected("linkat") ? -1 : os::link_fd(fd, to); }
int rename_named(const char *from, const char *to) { return injected("rename") ? -1 : ::rename(from, to); }
int unlink_named(const char *path) { return injected("unlink") ? -1 : ::unlink(path); }
int stat_named(const char *path, struct stat *st) { return injected("stat") ? -1 : ::stat(path, st); }
int fstat(int fd, struct stat *st) { return injected("fstat") ? -1 : ::fstat(fd, st); }
int fchown(int fd, uid_t owner, gid_t group) { return injected("fchown") ? -1 : ::fchown(fd, owner, group); }
int fchmod(int fd, mode_t mode) { return injected("fchmod") ? -1 : ::fchmod(fd, mode); }
ssize_t xattrs_named(const char *path) { return injected("llistxattr") ? -1 : ::llistxattr(path, nullptr, 0); }

ssize_t random_bytes(void *buf, size_t n) { return injected("getrandom") ? -1 : ::getrandom(buf, n, GRND_NONBLOCK); }

FILE *fopen(const char *fixed, const char *mode)
{
    char full[PATH_MAX];
    if (injected("fopen"))
        return nullptr;
    const char *p = sim::resolve(fixed, full);
    if (p == nullptr)
        return nullptr;
    if (strcmp(mode, "r") != 0) {
        errno = EINVAL; // streams only read
        return nullptr;
    }
    return os::fopen(p);
}

size_t fread(void *buf, size_t size, size_t n, FILE *f)
{
    if (injected("fread"))
        return 0;
    return ::fread(buf, size, size == 0 ? n : shortened("fread", n, -1, f, size), f);
}

int fseek(FILE *f, long off, int whence) { return injected("fseek") ? -1 : ::fseek(f, off, whence); }

int fclose(FILE *f)
{
    if (!injected("fclose"))
        return ::fclose(f);
    ::fclose(f);
    errno = EIO;
    return EOF;
}

int opendir(const char *fixed, Dir &d)
{
    char full[PATH_MAX];
    if (injected("opendir"))
        return -1;
    const char *p = sim::resolve(fixed, full);
    if (p == nullptr) {
        d.fd = -1;
        return -1;
    }
    return os::opendir(p, d);
}

const struct dirent64 *readdir(Dir &d) { return injected("readdir") ? nullptr : os::readdir(d); }

int closedir(Dir &d)
{
    const int fd = d.fd;
    d.fd = -1;
    return injected("closedir") ? failed_after(::close(fd)) : ::close(fd);
}

// A redirected path may hold anything: it is single-quoted for the shell.
int system_on_path(const char *command, const char *fixed)
{
    char full[PATH_MAX];
    char cmd[4 * PATH_MAX + 64];
    if (injected("system"))
        return -1;
    const char *p = sim::resolve(fixed, full);
    if (p == nullptr)
        return -1;
    size_t n = static_cast<size_t>(snprintf(cmd, sizeof cmd, "%s ", command));
    cmd[n++] = '\'';
    for (const char *c = p; *c != '\0'; ++c) {
        if (*c == '\'') {
            memcpy(cmd + n, "'\\''", 4);
            n += 4;
        } else {
            cmd[n++] = *c;
        }
    }
    cmd[n++] = '\'';
    cmd[n] = '\0';
    return ::system(cmd);
}

} // namespace board
