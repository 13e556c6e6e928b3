// The kernel requests the store makes, stood in for on the simulated board's
// image files, each logged in $VEEPROM_ROOT/requests.log.
#include "board.h"
#include "seam.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h> // the request macros the MTD and UBI headers use
#include <mtd/mtd-abi.h>
#include <mtd/ubi-user.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board::sim {
namespace {

// The simulated board's own files are written with the C library directly:
// they are not the program's calls and must not move the call counter.
void log_request(const char *line)
{
    if (root() == nullptr)
        return;
    char p[PATH_MAX];
    int n = snprintf(p, sizeof p, "%s/requests.log", root());
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

// An atomic eraseblock change under way: the bytes written after the
// request, kept until the last of them replaces the image at once.  A
// process that ends, or a write that fails, first leaves the image as it was.
struct Change {
    int fd = -1;
    size_t want = 0, got = 0;
    unsigned char bytes[65536];
};
Change change;

int start_change(int fd, const ubi_leb_change_req &c)
{
    if (has("/static-volume")) {
        errno = EROFS; // the kernel changes no eraseblock of a static volume
        return -1;
    }
    if (c.lnum != 0 || c.bytes < 0 || static_cast<size_t>(c.bytes) > sizeof change.bytes) {
        errno = EINVAL;
        return -1;
    }
    change.fd = fd;
    change.want = static_cast<size_t>(c.bytes);
    change.got = 0;
    return 0;
}

int attach(const ubi_attach_req &r)
{
    char node[PATH_MAX];
    if (root() != nullptr && !has("/fail/ubi-node") && resolve(ubi_volume, node) != nullptr) {
        int f = ::open(node, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (f >= 0)
            ::close(f);
    }
    if (has("/attached-meanwhile")) {
        errno = EEXIST; // another run attached it between our check and now
        return -1;
    }
    return r.ubi_num;
}

} // namespace

void abandon(int fd)
{
    if (fd == change.fd)
        change.fd = -1;
}

void forget_change() { change.fd = -1; }

bool changing(int fd, const void *buf, size_t n, ssize_t &result)
{
    if (fd < 0 || fd != change.fd)
        return false;
    n = std::min(n, change.want - change.got);
    memcpy(change.bytes + change.got, buf, n);
    change.got += n;
    result = static_cast<ssize_t>(n);
    if (change.got == change.want) {
        // One write of the whole new content, as the program's own write.
        change.fd = -1;
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0 ||
            ::write(fd, change.bytes, change.want) != static_cast<ssize_t>(change.want))
            result = -1;
    }
    return true;
}

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
    } else if (request == UBI_IOCEBCH) {
        const auto *c = static_cast<const ubi_leb_change_req *>(arg);
        snprintf(line, sizeof line, "UBI_IOCEBCH lnum=%d bytes=%d\n", c->lnum, c->bytes);
        name = "/fail/UBI_IOCEBCH";
    } else if (request == UBI_IOCATT) {
        const auto *r = static_cast<const ubi_attach_req *>(arg);
        snprintf(line, sizeof line, "UBI_IOCATT ubi_num=%d mtd_num=%d\n", r->ubi_num, r->mtd_num);
        name = "/fail/UBI_IOCATT";
    } else {
        errno = ENOTTY;
        return -1;
    }
    log_request(line);
    if (has(name)) {
        errno = EIO;
        return -1;
    }
    if (request == MEMERASE) {
        const auto *e = static_cast<const erase_info_user *>(arg);
        return fill_erased(fd, e->start, e->length);
    }
    if (request == UBI_IOCEBCH)
        return start_change(fd, *static_cast<const ubi_leb_change_req *>(arg));
    if (request == UBI_IOCVOLUP) {
        if (*static_cast<const int64_t *>(arg) < 0) {
            errno = EINVAL;
            return -1;
        }
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
            return -1;
        return 0;
    }
    return attach(*static_cast<const ubi_attach_req *>(arg));
}

} // namespace board::sim
