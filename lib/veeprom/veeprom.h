/* SPDX-License-Identifier: MIT */
/*
 * veeprom: a small persistent byte store (virtual EEPROM) on the medium the
 * board boots from: UBI volume /dev/ubi10_0, the raw MTD partition named
 * "veeprom", or the GPT partition named "veeprom" on /dev/mmcblk0.
 *
 * Offsets address the store window: the first 2048 bytes of the UBI volume,
 * or sector 0 (512 bytes) of the MTD or eMMC partition.  Store operations
 * return 0 on success and -1 on failure.
 *
 * A failing call leaves errno as the operating-system call that failed set
 * it (EIO, EACCES, ENOSPC, ...), with these of its own:
 *   EINVAL       a negative offset or length, a range outside the window, or
 *                a NULL buffer with a non-zero length; refused before any
 *                I/O on the store;
 *   EWOULDBLOCK  the store's lock still held by another process after the
 *                5 s wait;
 *   EBUSY        the UBI volume still held open by another process after the
 *                5 s wait;
 *   ENOENT       from veeprom_init: the board has no store partition (no MTD
 *                or GPT partition named veeprom, no MTD partition env or boot
 *                to attach UBI from), or a device node that is missing.
 *
 * Threads: the functions are thread-safe; calls from different threads take
 * turns, each holding one process-wide mutex for its whole run.
 * Cancellation: a call runs with thread cancellation disabled, so a thread
 * cancelled meanwhile leaves nothing locked; the cancel acts at the thread's
 * next cancellation point after the call.
 * fork: parent and child use the store as two processes would.  A child's
 * first call opens the device again, so it shares neither the parent's file
 * offset nor its lock; a UBI volume (one writer at a time) is closed before
 * the fork and reopened by the next call of either.  A fork waits for a call
 * of another thread to end.
 * Signals: the functions are not async-signal-safe; do not call them from a
 * signal handler.  A raw-flash change holds back every signal it can from
 * its erase to the end of its write-back; a multi-threaded client blocks
 * those signals in its other threads too (veeprom(3)).
 */
#ifndef VEEPROM_H
#define VEEPROM_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The shared library exports only names that begin with veeprom_, under the
 * version node VEEPROM_1.0.  get_boot_mode, get_mtdnum_partname and
 * parameter_check keep their names in a client's source and are bound to
 * the exports veeprom_get_boot_mode, veeprom_get_mtdnum_partname and
 * veeprom_parameter_check here, so that a program's or another library's own
 * function of the same name never meets the library's. */
#define VEEPROM_LABEL_STR_(x) #x
#define VEEPROM_LABEL_STR(x) VEEPROM_LABEL_STR_(x)
#define VEEPROM_EXPORTED_AS(name) __asm__(VEEPROM_LABEL_STR(__USER_LABEL_PREFIX__) #name)

/* Boot medium: 1 UBI volume, 5 raw MTD flash, 0 eMMC; -5 when a probe file
 * opened but yielded nothing. */
int get_boot_mode(void) VEEPROM_EXPORTED_AS(veeprom_get_boot_mode);
/* MTD device number of the partition called name; -1 none, -5 unreadable. */
int get_mtdnum_partname(const char *name) VEEPROM_EXPORTED_AS(veeprom_get_mtdnum_partname);

int veeprom_init(void);
void veeprom_exit(void);
void veeprom_setsync(int flag);
/* Where the library's two standard-output lines go: "mmc:DISK device not
 * found!" and "read short: N", printed when the eMMC disk cannot be opened
 * or its GPT read whole.  Standard output by default, and again after NULL;
 * the stream must stay open while the library may print.  veeprom_dump's
 * table always goes to standard output. */
void veeprom_messages_to(FILE *stream);

/* A NULL buffer with a non-zero length is refused (-1, errno EINVAL) before
 * any I/O. */
int veeprom_read(int offset, char *dst, int length);
int veeprom_write(int offset, const char *src, int length);

int veeprom_clear(int offset, int length);
int veeprom_format(void);
int veeprom_dump(void);
/* 0 when every byte lies in '0'..'f', else 1. */
int parameter_check(const char *text, int64_t length) VEEPROM_EXPORTED_AS(veeprom_parameter_check);

#undef VEEPROM_EXPORTED_AS
#undef VEEPROM_LABEL_STR
#undef VEEPROM_LABEL_STR_

#ifdef __cplusplus
}
#endif

#endif
