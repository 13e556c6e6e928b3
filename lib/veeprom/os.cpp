// SPDX-License-Identifier: MIT
#include "os.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <csignal>
#include <time.h>
#include <unistd.h>

namespace board::os {
namespace {

// A program started with descriptor 0, 1 or 2 closed gets that number for
// the next file it opens, and what it prints would then land in that file:
// the store, the address file.  Such a descriptor moves above 2, and the free
// standard slots are plugged with /dev/null opened read-only, where printing
// still fails as on a closed descriptor and no later open can land.  A run
// with all three open never gets here: no extra call.
int above_std(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int err = errno;
    ::close(fd);
    for (;;) {
        const int plug = ::open("/dev/null", O_RDONLY);
        if (plug > STDERR_FILENO)
            ::close(plug);
        if (plug < 0 || plug > STDERR_FILENO)
            break;
    }
    errno = err;
    return moved;
}

} // namespace

// Opens without ever waiting: a FIFO planted where a device or sysfs file
// belongs would block the open, or a read, for ever.  O_NONBLOCK stays set:
// regular files, sysfs files and block devices ignore it, as do the MTD and
// UBI devices, while on a FIFO the first seek or read fails at once.
int open(const char *path, int flags, mode_t mode) { return above_std(::open(path, flags | O_NONBLOCK, mode)); }

FILE *fopen(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC, 0);
    FILE *f = fd < 0 ? nullptr : ::fdopen(fd, "r");
    if (f == nullptr && fd >= 0)
        ::close(fd);
    // Each stream is read once, a few bytes or one table: unbuffered, every
    // fread is one read of what it asks for, with no buffer to allocate and
    // no fstat to size one.
    if (f != nullptr)
        ::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

int opendir(const char *path, Dir &d)
{
    d.fd = above_std(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    d.at = d.end = 0;
    return d.fd < 0 ? -1 : 0;
}

const struct dirent64 *readdir(Dir &d)
{
    if (d.at >= d.end) {
        ssize_t n = ::getdents64(d.fd, d.entries, sizeof d.entries);
        if (n <= 0)
            return nullptr;
        d.at = 0;
        d.end = static_cast<size_t>(n);
    }
    const auto *e = reinterpret_cast<const struct dirent64 *>(d.entries + d.at);
    d.at += e->d_reclen;
    return e;
}

void nap(int ms)
{
    struct timespec t {ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Through /proc: linkat's AT_EMPTY_PATH asks for a capability a factory
// PC's user does not have.
int link_fd(int fd, const char *to)
{
    char from[32];
    snprintf(from, sizeof from, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, from, AT_FDCWD, to, AT_SYMLINK_FOLLOW);
}

void hold_signals(sigset_t &old)
{
    // Every bit set, as sigfillset would (one import fewer): the kernel
    // leaves SIGKILL and SIGSTOP alone, the C library its own signals.  The
    // C library's sigprocmask is the calling thread's mask, as
    // pthread_sigmask is, and asks for an older C library.
    sigset_t all;
    memset(&all, 0xFF, sizeof all);
    sigprocmask(SIG_BLOCK, &all, &old);
}

void restore_signals(const sigset_t &old) { sigprocmask(SIG_SETMASK, &old, nullptr); }

} // namespace board::os
