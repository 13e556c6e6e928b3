// SPDX-License-Identifier: MIT
// drask_bootcause: show the boot target word held in the store, or set it.
#include "layout.h"
#include "veeprom.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

void usage()
{
    fputs("Usage:  drask_bootcause [Values]\n"
          "Example: \n"
          "       drask_bootcause\n"
          "       drask_bootcause recovery\n"
          "Options:\n"
          "       h   display this help text\n",
          stdout);
}

// AB models keep no recovery system; -1 with the message printed when the
// scheme field cannot be read.
int ab_model(bool &ab)
{
    char value[64] = {};
    int ret = veeprom_read(layout::scheme.at, value, layout::scheme.len);
    if (ret < 0) {
        printf("veeprom_read ret = %d\n", ret);
        return -1;
    }
    ab = strcmp(value, layout::ab_marker) == 0;
    return 0;
}

// Stores the word; the caller has checked it is one of the stored words.
int store(std::string_view word)
{
    char arg[64] = {}; // zero padding reaches the store; "recovery" fills all 8
    // memcpy, not string_view::copy: unoptimised, that keeps its range check
    // and with it libstdc++ as a run-time need.
    memcpy(arg, word.data(), word.size() < sizeof arg ? word.size() : sizeof arg - 1);
    int ret = veeprom_write(layout::boot_word.at, arg, layout::boot_word.len);
    if (ret < 0) {
        printf("veeprom_write ret = %d\n", ret);
        return -1;
    }
    return 0;
}

int show_or_set(int argc, char **argv)
{
    if (veeprom_init() < 0) {
        puts("veeprom_init error");
        return -1;
    }
    veeprom_setsync(1);

    if (argc == 2) {
        // Compared whole, so an argument of any length is safe here.
        const std::string_view arg = argv[1];
        if (arg == "h") {
            usage();
            veeprom_exit();
            return 0;
        }
        if (arg == layout::recovery_word) {
            bool ab = false;
            if (ab_model(ab) != 0) {
                veeprom_exit();
                return -1;
            }
            if (ab) {
                // Refusals that wrote nothing end without veeprom_exit, as
                // scripts know them (no sync); the exit closes the store.
                puts("Error: AB model not support recovery");
                return -1;
            }
        }
        if (!layout::is_boot_word(arg)) {
            printf("Error: the parameter %s is illegal !\n", argv[1]);
            return -1; // written nothing: no veeprom_exit, as above
        }
        if (store(arg) != 0) {
            veeprom_exit();
            return -1;
        }
    }

    char value[64] = {};
    int ret = veeprom_read(layout::boot_word.at, value, layout::boot_word.len);
    if (ret < 0) {
        printf("veeprom_read ret = %d\n", ret);
        veeprom_exit();
        return -1;
    }
    // Erased flash holds no word, as a zeroed field does.
    if (layout::erased(reinterpret_cast<const unsigned char *>(value), layout::boot_word.len))
        value[0] = '\0';
    puts(value);
    veeprom_exit();
    return 0;
}

} // namespace

// What the tool prints is its answer: output that could not be written is a
// failure, not a success.  A line-buffered or unbuffered stdout fails inside
// puts, which drops the buffer, so the stream's error state is checked too.
int main(int argc, char **argv)
{
    const int rc = show_or_set(argc, argv);
    return fflush(stdout) == 0 && ferror(stdout) == 0 ? rc : -1;
}
