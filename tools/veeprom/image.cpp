// SPDX-License-Identifier: MIT
// veeprom image: the bytes a factory programs before a board first boots,
// written whole or not at all.
#include "tool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tool {
namespace {

// Every byte written, EINTR retried.
bool write_all(int fd, const unsigned char *bytes, size_t n)
{
    while (n > 0) {
        const ssize_t put = ::write(fd, bytes, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

using Put = bool (*)(const unsigned char *bytes, size_t n, void *sink);
bool to_file(const unsigned char *bytes, size_t n, void *sink) { return write_all(*static_cast<int *>(sink), bytes, n); }
bool to_stdout(const unsigned char *bytes, size_t n, void *) { return fwrite(bytes, 1, n, stdout) == n; }

// The image of medium m (ubi, mtd, emmc), from the window in block, put in
// pieces: the volume's 2048-byte window; raw flash's 64 KiB erase block as a
// board's own write leaves it on new flash (the 512-byte window, then erased
// bytes); the eMMC partition's 512-byte sector.
bool emit(int m, unsigned char (&block)[2048], Put put, void *sink)
{
    if (m == 1)
        memset(block + 512, 0xFF, sizeof block - 512);
    bool ok = put(block, m == 2 ? 512 : sizeof block, sink);
    memset(block, 0xFF, sizeof block);
    for (int i = 1; ok && m == 1 && i < 0x10000 / static_cast<int>(sizeof block); ++i)
        ok = put(block, sizeof block, sink);
    return ok;
}

// The image into a new file beside `name`, synced, then renamed over it: a
// failure leaves no new file, and an old image as it was.
bool replace(const char *name, int m, unsigned char (&block)[2048])
{
    char temporary[4096 + 8];
    if (snprintf(temporary, sizeof temporary, "%s.XXXXXX", name) >= static_cast<int>(sizeof temporary)) {
        errno = ENAMETOOLONG;
        return false;
    }
    int fd = mkstemp(temporary);
    if (fd < 0)
        return false;
    const mode_t mask = umask(0); // the mode a new file gets from an open
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0 && emit(m, block, to_file, &fd) && fsync(fd) == 0;
    int failure = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        failure = errno;
    }
    if (ok && rename(temporary, name) != 0) {
        ok = false;
        failure = errno;
    }
    if (!ok) {
        unlink(temporary);
        errno = failure;
    }
    return ok;
}

} // namespace

int make_image(const char *medium, const char *name, const settings::Change &c)
{
    static constexpr char media[][5] = {"ubi", "mtd", "emmc"};
    int m = 0;
    while (m < 3 && strcmp(media[m], medium) != 0)
        ++m;
    if (m == 3)
        return MISUSE("unknown medium '%s': ubi, mtd or emmc\n", medium);
    unsigned char block[2048] = {};
    if (settings::apply(c, block) == settings::Verdict::refused)
        return FAIL(misuse, "recovery is refused on an AB model\n");
    const bool ok = strcmp(name, "-") != 0 ? replace(name, m, block) : emit(m, block, to_stdout, nullptr) && fflush(stdout) == 0;
    return ok ? done : FAIL(store_failed, "%s: cannot write the image: %s\n", name, strerror(errno));
}

} // namespace tool
