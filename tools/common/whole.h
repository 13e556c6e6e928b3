// SPDX-License-Identifier: MIT
// A file off the board written whole or not at all: the images veeprom
// writes for a factory line.
#ifndef VEEPROM_WHOLE_H
#define VEEPROM_WHOLE_H

#include <cstddef>

namespace whole {

// Every byte to fd, EINTR retried.
bool write_all(int fd, const void *bytes, size_t n);

// What fills the new file, through fd: true when every byte went.
using Fill = bool (*)(int fd, void *context);

enum class Result { written, failed, not_regular, cannot_keep };

// `name` becomes a regular file holding what fill wrote, synced, and its
// directory synced after the link or rename: a new name appears whole or not
// at all, an old file stays as it was until the whole new one replaces it.
// The new file keeps an old one's owner, group and permission bits.  A
// symbolic link at `name` is replaced, its target left alone.  not_regular,
// with nothing done, when `name` is a device, FIFO, socket or directory;
// cannot_keep, with nothing done, when a new file cannot be what the old one
// is (hard links, extended attributes or ACLs, an owner or group the caller
// may not give, a directory it may not write or open); failed with errno,
// and no new file, otherwise.
Result write_file(const char *name, Fill fill, void *context);

} // namespace whole

#endif
