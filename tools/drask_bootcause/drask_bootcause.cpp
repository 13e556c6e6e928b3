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

// The word stored in one read-modify-write of the window.  AB models keep no
// recovery system: the scheme is judged under the same hold of the store as
// the word is stored, so a scheme set by another process meanwhile comes
// before or after both.
struct Setting {
    std::string_view word; // one of the stored words
    bool read = false;     // the window was read: a failure now is the write's
    bool ab = false;       // recovery refused
};

bool set_word(unsigned char *window, int, void *context)
{
    auto &s = *static_cast<Setting *>(context);
    char text[64] = {};
    s.read = true;
    if (s.word == layout::recovery_word) {
        memcpy(text, window + layout::scheme.at, layout::scheme.len);
        s.ab = strcmp(text, layout::ab_marker) == 0;
        if (s.ab)
            return false;
    }
    memset(text, 0, sizeof text); // zero padding reaches the store; "recovery" fills all 8
    s.word.copy(text, sizeof text - 1);
    memcpy(window + layout::boot_word.at, text, layout::boot_word.len);
    return true;
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
        if (!layout::is_boot_word(arg)) {
            printf("Error: the parameter %s is illegal !\n", argv[1]);
            return -1; // written nothing: no veeprom_exit (below)
        }
        Setting s{arg};
        if (int ret = veeprom::update(set_word, &s); ret < 0) {
            // As the scheme's read and the word's write each reported it.
            printf(s.read || arg != layout::recovery_word ? "veeprom_write ret = %d\n" : "veeprom_read ret = %d\n", ret);
            veeprom_exit();
            return -1;
        }
        if (s.ab) {
            // Refusals that wrote nothing end without veeprom_exit, as
            // scripts know them (no sync); the exit closes the store.
            puts("Error: AB model not support recovery");
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
