// SPDX-License-Identifier: MIT
// veeprom --store: an image or a dump of the store in place of the board's.
// The file is the user's own: opened as named, never as a board path, and
// read and written as a file, with no kernel request.  Its window is at
// offset 0; nothing past the window is changed.
#include "tool.h"
#include "whole.h"

#include "board.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
    return FAIL(store_failed, "%s: cannot %s the store: %s\n", r.path, what, strerror(errno));
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

// The file open for reading at offset 0, and its size: a regular file (a
// reader also takes a block device, a card in a reader), never shorter than
// the medium's image.  Opened without waiting, so a FIFO is refused, not
// waited on.  The status of a refusal, said, in `status`.
int opened(const Request &r, bool writer, off_t &size, int &status)
{
    const int fd = board::open_named(r.path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0)
        status = fails(r, "open");
    else if (!S_ISREG(st.st_mode) && (writer || !S_ISBLK(st.st_mode)))
        status = writer ? not_regular(r.path) : FAIL(misuse, "%s: neither a regular file nor a block device\n", r.path);
    else if ((size = board::lseek(fd, 0, SEEK_END)) < 0 || board::lseek(fd, 0, SEEK_SET) != 0)
        status = fails(r, "read");
    else if (size < image_size[r.medium])
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
    fd.close();
    if (!edit(bytes, window, context))
        return done;
    if (anew) {
        // Through a symbolic link to the file it names, as the longer dump
        // is changed in place: the link stays a link.
        char real[PATH_MAX];
        Whole w{bytes, static_cast<size_t>(size)};
        if (realpath(r.path, real) == nullptr)
            return fails(r, "write");
        const whole::Result written = whole::write_file(real, fill, &w);
        return written == whole::Result::written ? done : written == whole::Result::not_regular ? not_regular(r.path) : fails(r, "write");
    }
    // A longer dump: the window only, in place, in one write that no signal
    // which can be held back cuts short.
    board::Fd out(board::open_named(r.path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
    bool ok = out.get() >= 0;
    {
        const board::Signals held(ok);
        ok = ok && whole::write_all(out.get(), bytes, static_cast<size_t>(window));
    }
    ok = ok && board::fsync(out.get()) == 0 && out.close() == 0;
    return ok ? done : fails(r, "write");
}

} // namespace tool
