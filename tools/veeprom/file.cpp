// SPDX-License-Identifier: MIT
// veeprom --store: an image or a dump of the store in place of the board's.
// The file is the user's own: opened as named, never as a board path, and
// read and written as a file, with no kernel request.  Its window is at
// offset 0; nothing past the window is changed.
#include "tool.h"
#include "whole.h"

#include "board.h"
#include "tools.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace tool {
namespace {

// By medium: the size of the image `image` writes, the least a dump can be.
constexpr off_t image_size[] = {2048, 0x10000, 512};
// Up to this size a file is written anew beside the old one and renamed
// over it; a longer dump is changed in place.
constexpr off_t rewritten = 0x10000;

int fails(const Request &r, const char *what)
{
    return FAIL(store_failed, "%s: cannot %s the store: %s\n", r.path, what, failure_text(errno));
}

// Exactly n bytes from fd's position; a file that ends before is a failure.
bool read_all(int fd, unsigned char *to, size_t n)
{
    while (n > 0) {
        const ssize_t got = board::read(fd, to, n);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            errno = got == 0 ? ENODATA : errno;
            return false;
        }
        to += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// The file open at offset 0 and locked (shared for a reader, exclusive for a
// writer), and its size: a regular file (a reader also takes a block device,
// a card in a reader), never shorter than the medium's image.  A writer opens
// it for writing: the file's own permission decides.  Opened without
// waiting, so a FIFO is refused, not waited on.  Once locked, the path must
// still name the file locked: one renamed over it meanwhile is opened and
// locked in its turn.  The status of a refusal, said, in `status`.
int opened(const Request &r, bool writer, off_t &size, int &status)
{
    struct stat st {};
    struct stat now {};
    int fd = -1;
    do {
        if (fd >= 0)
            board::close(fd);
        fd = board::open_named(r.path, (writer ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
        // A socket or directory cannot be opened so: what the path names says why.
        if (fd < 0 ? board::stat_named(r.path, &st) != 0 || S_ISREG(st.st_mode) : board::fstat(fd, &st) != 0)
            status = fails(r, "open");
        else if (fd < 0 || (!S_ISREG(st.st_mode) && (writer || !S_ISBLK(st.st_mode))))
            status = writer ? not_regular(r.path) : FAIL(misuse, "%s: neither a regular file nor a block device\n", r.path);
        else if (!veeprom::lock_file(fd, writer ? LOCK_EX : LOCK_SH))
            status = fails(r, writer ? "write" : "read");
    } while (status == done && (board::stat_named(r.path, &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev));
    if (status == done && ((size = board::lseek(fd, 0, SEEK_END)) < 0 || board::lseek(fd, 0, SEEK_SET) != 0))
        status = fails(r, "read");
    else if (status == done && size < image_size[r.medium])
        status = FAIL(misuse, "%s: %lld bytes, the %s store is %lld bytes at least\n", r.path, static_cast<long long>(size), media[r.medium],
                      static_cast<long long>(image_size[r.medium]));
    if (status != done && fd >= 0)
        board::close(fd);
    return status == done ? fd : -1;
}

// The file anew: its old bytes, the window changed.
struct Whole {
    const unsigned char *bytes;
    size_t size;
};
bool fill(int fd, void *context)
{
    const auto *w = static_cast<const Whole *>(context);
    return whole::write_all(fd, w->bytes, w->size);
}

} // namespace

int file_read(const Request &r, unsigned char *window)
{
    off_t size = 0;
    int status = done;
    board::Fd fd(opened(r, false, size, status));
    if (status != done)
        return status;
    return read_all(fd.get(), window, static_cast<size_t>(window_of(r.medium))) ? done : fails(r, "read");
}

int file_update(const Request &r, bool (*edit)(unsigned char *window, int size, void *context), void *context)
{
    off_t size = 0;
    int status = done;
    board::Fd fd(opened(r, true, size, status));
    if (status != done)
        return status;
    const int window = window_of(r.medium);
    const bool anew = size <= rewritten;
    unsigned char bytes[rewritten];
    if (!read_all(fd.get(), bytes, anew ? static_cast<size_t>(size) : static_cast<size_t>(window)))
        return fails(r, "read");
    if (!edit(bytes, window, context))
        return done;
    // The lock stays on the old file until the new one has its name.
    whole::Result written = whole::Result::cannot_keep;
    if (anew) {
        // Through a symbolic link to the file it names, as the longer dump
        // is changed in place: the link stays a link.
        char real[PATH_MAX];
        Whole w{bytes, static_cast<size_t>(size)};
        if (realpath(r.path, real) == nullptr)
            return fails(r, "write");
        written = whole::write_file(real, fill, &w);
    }
    if (written == whole::Result::cannot_keep) {
        // A longer dump, or a file a new one cannot replace as it is: the
        // window only, in place, through the descriptor checked above, in
        // one write that no signal which can be held back cuts short.
        bool ok = board::lseek(fd.get(), 0, SEEK_SET) == 0;
        {
            const board::Signals held(ok);
            ok = ok && whole::write_all(fd.get(), bytes, static_cast<size_t>(window));
        }
        written = ok && board::fsync(fd.get()) == 0 ? whole::Result::written : whole::Result::failed;
    }
    return written == whole::Result::written && fd.close() == 0 ? done : fails(r, "write");
}

} // namespace tool
