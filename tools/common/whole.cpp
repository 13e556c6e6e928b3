// SPDX-License-Identifier: MIT
#include "whole.h"

#include "board.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace whole {
namespace {

// The directory `name` is in: "." for a bare name.
bool directory_of(const char *name, char (&dir)[PATH_MAX])
{
    const char *slash = strrchr(name, '/');
    const size_t n = slash == nullptr ? 0 : slash == name ? 1 : static_cast<size_t>(slash - name);
    if (n >= sizeof dir) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(dir, n == 0 ? "." : name, n == 0 ? 1 : n);
    dir[n == 0 ? 1 : n] = '\0';
    return true;
}

// "<name>.XXXXXX", six letters or digits the kernel chose; a last component
// too long for that is cut short, so that any name can be replaced.
bool temporary_name(const char *name, char (&tmp)[PATH_MAX])
{
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char r[6];
    const char *slash = strrchr(name, '/');
    const size_t base = strlen(slash == nullptr ? name : slash + 1);
    const size_t n = strlen(name) - (base > NAME_MAX - 7 ? base - (NAME_MAX - 7) : 0);
    if (n + 8 > sizeof tmp) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (board::random_bytes(r, sizeof r) != static_cast<ssize_t>(sizeof r))
        return false;
    memcpy(tmp, name, n);
    tmp[n] = '.';
    for (size_t i = 0; i < sizeof r; ++i)
        tmp[n + 1 + i] = letters[r[i] % (sizeof letters - 1)];
    tmp[n + 7] = '\0';
    return true;
}

} // namespace

bool write_all(int fd, const void *bytes, size_t n)
{
    const auto *at = static_cast<const unsigned char *>(bytes);
    while (n > 0) {
        const ssize_t put = board::write(fd, at, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        at += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// Where the file system has O_TMPFILE the file has no name until it is
// whole: a new target is then linked in one call, so a kill leaves nothing
// or all of it.  An old target can only be replaced by a rename, from a
// name linked just before.  Elsewhere the file is written under its
// temporary name, and a kill meanwhile may leave that.
Result write_file(const char *name, Fill fill, void *context)
{
    struct stat st {};
    const bool existed = board::lstat_named(name, &st) == 0;
    if (existed && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return Result::not_regular;
    char dir[PATH_MAX];
    char tmp[PATH_MAX];
    if ((!existed && errno != ENOENT) || !directory_of(name, dir) || !temporary_name(name, tmp))
        return Result::failed;
    // What a new file cannot carry, or a directory that cannot take it
    // durably, is found before anything changes.
    const bool keep = existed && S_ISREG(st.st_mode);
    const Result cannot = keep ? Result::cannot_keep : Result::failed;
    const board::Fd directory(board::open_named(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (directory.get() < 0 || (keep && (st.st_nlink > 1 || board::xattrs_named(name) > 0)))
        return cannot;
    int fd = board::open_named(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); // the umask applies
    const bool unnamed = fd >= 0;
    if (!unnamed)
        fd = board::open_named(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return cannot;
    board::Fd file(fd);
    bool linked = !unnamed; // tmp names a file of ours
    // The owner first: a change of owner clears the set-id bits.
    const bool kept = !keep || (board::fchown(fd, st.st_uid, st.st_gid) == 0 && board::fchmod(fd, st.st_mode & 07777) == 0);
    bool ok = kept && fill(fd, context) && board::fsync(fd) == 0 && (unnamed || file.close() == 0);
    int failure = errno;
    if (ok) {
        // No signal between the link and the rename: the name is the old
        // file or the new one, and no temporary is left.
        const board::Signals held(true);
        if (unnamed && !existed) {
            ok = board::link_named(fd, name) == 0;
        } else {
            linked = linked || board::link_named(fd, tmp) == 0;
            ok = linked && board::rename_named(tmp, name) == 0;
            linked = linked && !ok;
        }
        failure = errno;
    }
    if (linked)
        board::unlink_named(tmp);
    // Until its directory is on the medium, a power cut can bring back the
    // old name.
    if (ok && board::fsync(directory.get()) != 0) {
        ok = false;
        failure = errno;
    }
    errno = failure;
    return ok ? Result::written : kept ? Result::failed : cannot;
}

} // namespace whole
