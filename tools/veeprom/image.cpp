// SPDX-License-Identifier: MIT
// veeprom image: the bytes a factory programs before a board first boots,
// written whole or not at all.
#include "tool.h"
#include "whole.h"

#include <cerrno>
#include <cstring>

namespace tool {
namespace {

using Put = bool (*)(const unsigned char *bytes, size_t n, void *sink);
bool to_file(const unsigned char *bytes, size_t n, void *sink) { return whole::write_all(*static_cast<int *>(sink), bytes, n); }
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

struct Image {
    int medium;
    unsigned char (&block)[2048];
};

bool fill(int fd, void *context)
{
    auto *i = static_cast<Image *>(context);
    return emit(i->medium, i->block, to_file, &fd);
}

} // namespace

// A device node is never replaced by a file: the tools would then use that
// file, in RAM, until the next boot.
int not_regular(const char *name)
{
    return FAIL(misuse, "%s: not a regular file: program a board with 'veeprom load' on it, or its medium with the image "
                        "file and dd, flashcp or ubiupdatevol\n", name);
}

int make_image(const char *medium, const char *name, const settings::Change &c)
{
    int m = 0;
    while (m < 3 && strcmp(media[m], medium) != 0)
        ++m;
    if (m == 3)
        return MISUSE("unknown medium '%s': ubi, mtd or emmc\n", medium);
    unsigned char block[2048] = {};
    if (settings::apply(c, block) == settings::Verdict::refused)
        return ab_refused(c);
    Image i{m, block};
    const whole::Result r = strcmp(name, "-") == 0 ? (emit(m, block, to_stdout, nullptr) && fflush(stdout) == 0 ? whole::Result::written : whole::Result::failed)
                                                   : whole::write_file(name, fill, &i);
    if (r == whole::Result::not_regular)
        return not_regular(name);
    return r == whole::Result::written ? done : FAIL(store_failed, "%s: cannot write the image: %s\n", name, strerror(errno));
}

} // namespace tool
