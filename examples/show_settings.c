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
#include <veeprom_layout.h>

int main(void)
{
    char target[VEEPROM_BOOT_WORD_LENGTH + 1] = {0}; /* room for a terminator */
    unsigned char address[VEEPROM_ADDRESS_LENGTH] = {0};

    /* Standard output carries the settings only: the library's own lines
     * (an eMMC disk it could not read) go with the errors. */
    veeprom_messages_to(stderr);
    if (veeprom_init() < 0) {
        fprintf(stderr, "show_settings: cannot open the store\n");
        return 1;
    }
    if (veeprom_read(VEEPROM_BOOT_WORD_OFFSET, target, VEEPROM_BOOT_WORD_LENGTH) < 0 ||
        veeprom_read(VEEPROM_ADDRESS_OFFSET, (char *)address, VEEPROM_ADDRESS_LENGTH) < 0) {
        fprintf(stderr, "show_settings: cannot read the store\n");
        veeprom_exit();
        return 1;
    }
    veeprom_exit();

    /* Erased bytes (all 0xFF) hold no value. */
    if (veeprom_erased((const unsigned char *)target, VEEPROM_BOOT_WORD_LENGTH))
        target[0] = '\0';
    printf("boot target: %s\n", target);
    if (address[0] == 0 || veeprom_erased(address, VEEPROM_ADDRESS_LENGTH))
        printf("address: none\n");
    else
        printf("address: %u.%u.%u.%u\n", address[0], address[1], address[2], address[3]);
    return 0;
}
