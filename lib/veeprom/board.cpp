// SPDX-License-Identifier: MIT
#include "board.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#if VEEPROM_SIM
#include <cinttypes>
#include <sys/ioctl.h> // the request macros the MTD and UBI headers use
#include <mtd/mtd-abi.h>
#include <mtd/ubi-user.h>
#endif

namespace board {
namespace {

#if VEEPROM_SIM

struct Sim {
    bool loaded = false;
    const char *root = nullptr; // nullptr: the exact board paths
    long calls = 0;
    long fail_at = 0;  // the call that fails with EIO; 0 for none
    long short_at = 0; // the read or write that moves about half its bytes
    long cut_at = 0;   // the call before which the process dies; 0 for none
    bool unlocked = false; // skip/flock: locks granted without locking
};
Sim sim;

// The hooks use the C library directly: they are not the program's calls and
// must not move the counter.
bool sim_file(const char *rel)
{
    char p[PATH_MAX];
    int n = snprintf(p, sizeof p, "%s%s", sim.root, rel);
    return n > 0 && n < static_cast<int>(sizeof p) && ::access(p, F_OK) == 0;
}

long sim_number(const char *rel)
{
    char p[PATH_MAX];
    char text[32] = {};
    int n = snprintf(p, sizeof p, "%s%s", sim.root, rel);
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
    if (sim.loaded)
        return;
    sim.loaded = true;
    const char *r = getenv("VEEPROM_ROOT");
    sim.root = (r != nullptr && *r != '\0') ? r : nullptr;
    if (sim.root != nullptr) {
        sim.fail_at = sim_number("/fail/step");
        sim.short_at = sim_number("/short/step");
        sim.cut_at = sim_number("/cut/step");
        sim.unlocked = sim_file("/skip/flock");
    }
}

// Records an injected fault in faults.log ("fail 7 write"), so that whoever
// walks the faults knows which call each step hit.
void note(const char *what, const char *call)
{
    char p[PATH_MAX];
    char line[64];
    int n = snprintf(p, sizeof p, "%s/faults.log", sim.root);
    int len = snprintf(line, sizeof line, "%s %ld %s\n", what, sim.calls, call);
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
    ++sim.calls;
    if (sim.calls == sim.cut_at) {
        note("cut", call);
        _exit(137);
    }
    if (sim.calls == sim.fail_at) {
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
    if (sim.calls != sim.short_at)
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

bool unlocked() { return sim.unlocked; }

// The path to use for a fixed absolute one: under the root when it is set.
const char *resolve(const char *fixed, char (&out)[PATH_MAX])
{
    load();
    if (sim.root == nullptr || fixed[0] != '/')
        return fixed;
    int n = snprintf(out, sizeof out, "%s%s", sim.root, fixed);
    if (n < 0 || n >= static_cast<int>(sizeof out)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    return out;
}

void log_request(const char *line)
{
    if (sim.root == nullptr)
        return;
    char p[PATH_MAX];
    int n = snprintf(p, sizeof p, "%s/requests.log", sim.root);
    if (n < 0 || n >= static_cast<int>(sizeof p))
        return;
    int f = ::open(p, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (f < 0)
        return;
    ssize_t unused = ::write(f, line, strlen(line));
    (void)unused;
    ::close(f);
}

int fill_erased(int fd, uint32_t start, uint32_t length)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return -1;
    if (static_cast<uint64_t>(start) + length > static_cast<uint64_t>(st.st_size)) {
        errno = EINVAL;
        return -1;
    }
    unsigned char ff[4096];
    memset(ff, 0xFF, sizeof ff);
    for (uint64_t done = 0; done < length;) {
        size_t n = static_cast<size_t>(length - done < sizeof ff ? length - done : sizeof ff);
        ssize_t w = ::pwrite(fd, ff, n, static_cast<off_t>(start + done));
        if (w <= 0)
            return -1;
        done += static_cast<uint64_t>(w);
    }
    return 0;
}

// A kernel request on an image file: what the MTD or UBI driver would do.
int stand_in(int fd, unsigned long request, void *arg)
{
    char line[96];
    const char *name = nullptr;
    if (request == MEMERASE) {
        const auto *e = static_cast<const erase_info_user *>(arg);
        snprintf(line, sizeof line, "MEMERASE start=%u length=%u\n", e->start, e->length);
        name = "/fail/MEMERASE";
    } else if (request == UBI_IOCVOLUP) {
        snprintf(line, sizeof line, "UBI_IOCVOLUP bytes=%" PRId64 "\n", *static_cast<const int64_t *>(arg));
        name = "/fail/UBI_IOCVOLUP";
    } else if (request == UBI_IOCATT) {
        const auto *r = static_cast<const ubi_attach_req *>(arg);
        snprintf(line, sizeof line, "UBI_IOCATT ubi_num=%d mtd_num=%d\n", r->ubi_num, r->mtd_num);
        name = "/fail/UBI_IOCATT";
    } else {
        errno = ENOTTY;
        return -1;
    }
    log_request(line);
    if (sim.root != nullptr && sim_file(name)) {
        errno = EIO;
        return -1;
    }
    if (request == MEMERASE) {
        const auto *e = static_cast<const erase_info_user *>(arg);
        return fill_erased(fd, e->start, e->length);
    }
    if (request == UBI_IOCVOLUP) {
        if (*static_cast<const int64_t *>(arg) < 0) {
            errno = EINVAL;
            return -1;
        }
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
            return -1;
        return 0;
    }
    const auto *r = static_cast<const ubi_attach_req *>(arg);
    char node[PATH_MAX];
    if (sim.root != nullptr && !sim_file("/fail/ubi-node") && resolve(ubi_volume, node) != nullptr) {
        int f = ::open(node, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (f >= 0)
            ::close(f);
    }
    return r->ubi_num;
}

#else

constexpr bool injected(const char *) { return false; }
constexpr size_t shortened(const char *, size_t n, int = -1, FILE * = nullptr, size_t = 1) { return n; }
constexpr bool unlocked() { return false; }
constexpr const char *resolve(const char *fixed, char (&)[PATH_MAX]) { return fixed; }

#endif

// Opens without ever waiting: a FIFO planted where a device or sysfs file
// belongs would block the open, or a read, for ever.  O_NONBLOCK stays set:
// regular files, sysfs files and block devices ignore it, as do the MTD and
// UBI devices, while on a FIFO the first seek or read fails at once.
int open_now(const char *p, int flags, mode_t mode) { return ::open(p, flags | O_NONBLOCK, mode); }

} // namespace

#if VEEPROM_SIM
void sim_reset() { sim = Sim{}; }
#endif

int open(const char *fixed, int flags, mode_t mode)
{
    char full[PATH_MAX];
    if (injected("open"))
        return -1;
    const char *p = resolve(fixed, full);
    return p == nullptr ? -1 : open_now(p, flags, mode);
}

ssize_t read(int fd, void *buf, size_t n)
{
    if (injected("read"))
        return -1;
    return ::read(fd, buf, shortened("read", n, fd));
}

ssize_t write(int fd, const void *buf, size_t n)
{
    return injected("write") ? -1 : ::write(fd, buf, shortened("write", n));
}

off_t lseek(int fd, off_t off, int whence) { return injected("lseek") ? -1 : ::lseek(fd, off, whence); }

int ioctl(int fd, unsigned long request, void *arg)
{
    if (injected("ioctl"))
        return -1;
#if VEEPROM_SIM
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        return stand_in(fd, request, arg);
#endif
    return ::ioctl(fd, request, arg);
}

int flock(int fd, int op)
{
    if (injected("flock"))
        return -1;
    return unlocked() ? 0 : ::flock(fd, op);
}

// A failing close still releases the descriptor, as the kernel's does.
int close(int fd)
{
    if (!injected("close"))
        return ::close(fd);
    ::close(fd);
    errno = EIO;
    return -1;
}

void sync()
{
    if (!injected("sync"))
        ::sync();
}

void nap(int ms)
{
    struct timespec t {ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

bool exists(const char *fixed)
{
    char full[PATH_MAX];
    if (injected("access"))
        return false;
    const char *p = resolve(fixed, full);
    return p != nullptr && ::access(p, F_OK) == 0;
}

int unlink(const char *fixed)
{
    char full[PATH_MAX];
    if (injected("unlink"))
        return -1;
    const char *p = resolve(fixed, full);
    return p == nullptr ? -1 : ::unlink(p);
}

FILE *fopen(const char *fixed, const char *mode)
{
    char full[PATH_MAX];
    if (injected("fopen"))
        return nullptr;
    const char *p = resolve(fixed, full);
    if (p == nullptr)
        return nullptr;
    if (strcmp(mode, "r") != 0) {
        errno = EINVAL; // streams only read
        return nullptr;
    }
    int fd = open_now(p, O_RDONLY | O_CLOEXEC, 0);
    FILE *f = fd < 0 ? nullptr : ::fdopen(fd, mode);
    if (f == nullptr && fd >= 0)
        ::close(fd);
    // Each stream is read once, a few bytes or one table: unbuffered, every
    // fread is one read of what it asks for, with no buffer to allocate and
    // no fstat to size one.
    if (f != nullptr)
        ::setvbuf(f, nullptr, _IONBF, 0);
    return f;
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
    const char *p = resolve(fixed, full);
    d.fd = p == nullptr ? -1 : ::open(p, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    d.at = d.end = 0;
    return d.fd < 0 ? -1 : 0;
}

const struct dirent64 *readdir(Dir &d)
{
    if (injected("readdir"))
        return nullptr;
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

int closedir(Dir &d)
{
    int fd = d.fd;
    d.fd = -1;
    if (!injected("closedir"))
        return ::close(fd);
    ::close(fd);
    errno = EIO;
    return -1;
}

int system_on_path(const char *command, const char *fixed)
{
    char full[PATH_MAX];
    char cmd[4 * PATH_MAX + 64];
    if (injected("system"))
        return -1;
    const char *p = resolve(fixed, full);
    if (p == nullptr)
        return -1;
    size_t n = static_cast<size_t>(snprintf(cmd, sizeof cmd, "%s ", command));
    if (p == fixed) {
        snprintf(cmd + n, sizeof cmd - n, "%s", p);
    } else {
        // A redirected path may hold anything: single-quote it for the shell.
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
    }
    return ::system(cmd);
}

} // namespace board
