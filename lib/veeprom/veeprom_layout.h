/* SPDX-License-Identifier: MIT */
/*
 * veeprom_layout.h: where the fields of the store window are, as the tools
 * and the bootloader read them; for C99 and C++ clients of veeprom.h.
 *
 *   offset  0        9              17     21       29             37       256
 *           +--------+--------------+------+--------+--------------+-- ... --+
 *           | unused | boot word    | addr | unused | scheme       | unused  |
 *           |        | 8, zero-pad  | 4    |        | 8, "AB\0"=AB |         |
 *           +--------+--------------+------+--------+--------------+-- ... --+
 *
 * The bytes between the fields belong to nobody: a client that writes keeps
 * them as it finds them.
 */
#ifndef VEEPROM_LAYOUT_C_H
#define VEEPROM_LAYOUT_C_H

enum {
    /* The word the bootloader starts by: one of VEEPROM_BOOT_WORDS padded
     * with zero bytes; "recovery" fills all 8 bytes with no terminator. */
    VEEPROM_BOOT_WORD_OFFSET = 9,
    VEEPROM_BOOT_WORD_LENGTH = 8,
    /* An IPv4 address, one byte per number, the first at the lowest offset;
     * a first byte of 0 means no address. */
    VEEPROM_ADDRESS_OFFSET = 17,
    VEEPROM_ADDRESS_LENGTH = 4,
    /* The partition scheme: the text VEEPROM_AB_MARKER, zero-terminated,
     * marks an AB model, which has no recovery system to boot. */
    VEEPROM_SCHEME_OFFSET = 29,
    VEEPROM_SCHEME_LENGTH = 8,
    /* The window veeprom_read and veeprom_write address: the first 2048
     * bytes of the UBI volume, the first 512-byte sector on raw flash and
     * eMMC. */
    VEEPROM_WINDOW_UBI = 2048,
    VEEPROM_WINDOW_FLASH = 512,
    VEEPROM_WINDOW_EMMC = 512,
    /* veeprom_format zeroes window bytes 0 to 255, so every field. */
    VEEPROM_FORMATTED_OFFSET = 0,
    VEEPROM_FORMATTED_LENGTH = 256
};

/* The six boot words, in the order drask_bootcause compares them, as an
 * initialiser: const char *const words[] = {VEEPROM_BOOT_WORDS}; */
#define VEEPROM_BOOT_WORDS "normal", "recovery", "uboot", "boot", "system", "all"
#define VEEPROM_BOOT_WORD_COUNT 6
#define VEEPROM_RECOVERY_WORD "recovery"
#define VEEPROM_AB_MARKER "AB"

/* A field whose bytes are all 0xFF (a never-written or erased flash) holds
 * no value: 1 then, else 0. */
static inline int veeprom_erased(const unsigned char *field, int length)
{
    int i;
    for (i = 0; i < length; ++i)
        if (field[i] != 0xFF)
            return 0;
    return 1;
}

/* 1 when the scheme field's bytes mark an AB model: "AB" and a zero byte,
 * whatever follows it.  An AB model is never set to boot "recovery". */
static inline int veeprom_is_ab(const unsigned char *scheme)
{
    return scheme[0] == 'A' && scheme[1] == 'B' && scheme[2] == 0;
}

#endif
