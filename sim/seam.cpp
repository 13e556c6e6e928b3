// SPDX-License-Identifier: MIT
// The simulated board's seam, linked into dev builds in place of the board's:
// every fixed path under $VEEPROM_ROOT when it is set, kernel requests on
// image files stood in for (standin.cpp), and the counted faults and cuts
// that walk a failure through every call: the k-th call named in
// fail/step fails with EIO, in short/step a read or write moves about half
// its bytes, and in cut/step the process dies just before it.
#include "board.h"
#include "os.h"
#include "seam.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board {
namespace {

struct Sim {
    bool loaded = false;
    const char *root = nullptr; // nullptr: the exact board paths
    long calls = 0;
    long fail_at = 0;  // the call that fails with EIO; 0 for none
    long short_at = 0; // the read or write that moves about half its bytes
    long cut_at = 0;   // the call before which the process dies; 0 for none
    bool unlocked = false; // skip/flock: locks granted without locking
};
Sim state;

// The hooks use the C library directly: they are not the program's calls and
// must not move the counter.
long number_in(const char *rel)
{
    char p[PATH_MAX];
    char text[32] = {};
    int n = snprintf(p, sizeof p, "%s%s", state.root, rel);
    if (n < 0 || n >= static_cast<int>(sizeof p))
        return 0;
    int f = ::open(p, O_RDONLY | O_CLOEXEC);
    if (f < 0)
        return 0;
    ssize_t got = ::read(f, text, sizeof text - 1);
    ::close(f);
    return got > 0 ? strtol(text, nullptr, 10) : 0;
}

void load()
{
    if (state.loaded)
        return;
    state.loaded = true;
    const char *r = getenv("VEEPROM_ROOT");
    state.root = (r != nullptr && *r != '\0') ? r : nullptr;
    if (state.root != nullptr) {
        state.fail_at = number_in("/fail/step");
        state.short_at = number_in("/short/step");
        state.cut_at = number_in("/cut/step");
        state.unlocked = sim::has("/skip/flock");
    }
}

// Records an injected fault in faults.log ("fail 7 write"), so that whoever
// walks the faults knows which call each step hit.
void note(const char *what, const char *call)
{
    char p[PATH_MAX];
    char line[64];
    int n = snprintf(p, sizeof p, "%s/faults.log", state.root);
    int len = snprintf(line, sizeof line, "%s %ld %s\n", what, state.calls, call);
    if (n < 0 || n >= static_cast<int>(sizeof p) || len < 0 || len >= static_cast<int>(sizeof line))
        return;
    int f = ::open(p, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (f < 0)
        return;
    ssize_t unused = ::write(f, line, static_cast<size_t>(len));
    (void)unused;
    ::close(f);
}

// Counts one operating-system call; true when it is the one that must fail.
bool injected(const char *call)
{
    load();
    ++state.calls;
    if (state.calls == state.cut_at) {
        note("cut", call);
        _exit(137);
    }
    if (state.calls == state.fail_at) {
        note("fail", call);
        errno = EIO;
        return true;
    }
    return false;
}

// The count the current call moves: about half of what it would have moved
// when it is the one that must come back short.  A read (fd or stream given)
// stops at the end of a regular file, so it gets half of what is left there.
size_t shortened(const char *call, size_t n, int fd = -1, FILE *stream = nullptr, size_t unit = 1)
{
    if (state.calls != state.short_at)
        return n;
    size_t full = n;
    struct stat st {};
    const off_t pos = stream != nullptr ? ftell(stream) : fd >= 0 ? ::lseek(fd, 0, SEEK_CUR) : -1;
    if (stream != nullptr)
        fd = fileno(stream);
    if (pos >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        full = std::min(n, (st.st_size > pos ? static_cast<size_t>(st.st_size - pos) : 0) / unit);
    if (full == 0)
        return n; // nothing to move: the call cannot come back short
    note("short", call);
    return full / 2;
}

// A call that fails after the kernel has released what it held, as a
// failing close does.
int failed_after(int result)
{
    (void)result;
    errno = EIO;
    return -1;
}

} // namespace

namespace sim {

const char *root()
{
    load();
    return state.root;
}

bool has(const char *rel)
{
    char p[PATH_MAX];
    int n = snprintf(p, sizeof p, "%s%s", state.root, rel);
    return state.root != nullptr && n > 0 && n < static_cast<int>(sizeof p) && ::access(p, F_OK) == 0;
}

const char *resolve(const char *fixed, char (&out)[PATH_MAX])
{
    load();
    if (state.root == nullptr || fixed[0] != '/')
        return fixed;
    int n = snprintf(out, sizeof out, "%s%s", state.root, fixed);
    if (n < 0 || n >= static_cast<int>(sizeof out)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    return out;
}

} // namespace sim

void sim_reset()
{
    state = Sim{};
    sim::forget_change();
}

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
    return state.unlocked ? 0 : ::flock(fd, op);
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

// A pause is no call a fault can be injected into.
void nap(int ms) { os::nap(ms); }

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
