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

enum class Result { written, failed, not_regular };

// `name` becomes a regular file holding what fill wrote, synced: a new name
// appears whole or not at all, an old file stays as it was until the whole
// new one replaces it.  A symbolic link at `name` is replaced, its target
// left alone.  not_regular, with nothing done, when `name` is a device, FIFO,
// socket or directory; failed with errno, and no new file, otherwise.
Result write_file(const char *name, Fill fill, void *context);

} // namespace whole

#endif
