/* SPDX-License-Identifier: MIT */
/*
 * show_settings: prints the boot target word and the network address that
 * the store holds, as a program on the board would read them through the
 * store library.  Exits 0, or 1 when the store cannot be opened or read.
 *
 *   cc show_settings.c $(pkg-config --cflags --libs veeprom)
 */
#include <stdio.h>
#include <veeprom.h>

/* Where the fields live in the store; the bootloader reads the same bytes. */
enum {
    boot_target_offset = 9,
    boot_target_length = 8, /* zero-padded; "recovery" fills all 8 bytes */
    address_offset = 17,
    address_length = 4 /* one byte per number; first byte 0: no address */
};

int main(void)
{
    char target[boot_target_length + 1] = {0}; /* room for a terminator */
    unsigned char address[address_length] = {0};

    if (veeprom_init() < 0) {
        fprintf(stderr, "show_settings: cannot open the store\n");
        return 1;
    }
    if (veeprom_read(boot_target_offset, target, boot_target_length) < 0 ||
        veeprom_read(address_offset, (char *)address, address_length) < 0) {
        fprintf(stderr, "show_settings: cannot read the store\n");
        veeprom_exit();
        return 1;
    }
    veeprom_exit();

    printf("boot target: %s\n", target);
    if (address[0] == 0)
        printf("address: none\n");
    else
        printf("address: %u.%u.%u.%u\n", address[0], address[1], address[2], address[3]);
    return 0;
}
