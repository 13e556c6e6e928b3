// SPDX-License-Identifier: MIT
// drask_bootcause: show the boot target word held in the store, or set it.
#include "layout.h"
#include "tools.h"
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

// AB models keep no recovery system.  The scheme is judged and the word
// stored in one read-modify-write under one hold of the store, so a scheme
// set by another process meanwhile comes before or after both.
struct Recovery {
    bool read = false; // the window was read: a failure now is the write's
    bool ab = false;
};

bool recovery_edit(unsigned char *window, int, void *context)
{
    auto &r = *static_cast<Recovery *>(context);
    char value[64] = {};
    memcpy(value, window + layout::scheme.at, layout::scheme.len);
    r.read = true;
    r.ab = strcmp(value, layout::ab_marker) == 0;
    char word[64] = {}; // zero padding reaches the store, as store() pads
    std::string_view(layout::recovery_word).copy(word, sizeof word - 1);
    if (!r.ab)
        memcpy(window + layout::boot_word.at, word, layout::boot_word.len);
    return !r.ab;
}

// -1 with the message printed when the store could not be read or written.
int recover(Recovery &r)
{
    int ret = veeprom::update(recovery_edit, &r);
    if (ret < 0) {
        printf(r.read ? "veeprom_write ret = %d\n" : "veeprom_read ret = %d\n", ret);
        return -1;
    }
    return 0;
}

// Stores the word; the caller has checked it is one of the stored words.
int store(std::string_view word)
{
    char arg[64] = {}; // zero padding reaches the store; "recovery" fills all 8
    word.copy(arg, sizeof arg - 1);
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
        Recovery r;
        if (arg == layout::recovery_word) {
            if (recover(r) != 0) {
                veeprom_exit();
                return -1;
            }
            if (r.ab) {
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
        if (!r.read && store(arg) != 0) {
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
