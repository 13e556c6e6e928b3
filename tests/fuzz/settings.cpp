// SPDX-License-Identifier: MIT
// veeprom show and load are each other's inverse: for any field bytes, what
// show prints, in either form, loads back as no change.  Any settings text
// is taken or refused naming one of its lines, and what a taken one makes
// shows and loads back as no change too.
#include "settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace settings;

static void round_trip(const unsigned char *window)
{
    for (const bool json : {false, true}) {
        char shown[shown_max];
        const size_t n = show(window, "mtd", "/dev/mtd3", json, shown);
        Loaded l = parse(shown, n);
        Change c;
        unsigned char after[layout::formatted];
        memcpy(after, window, sizeof after);
        if (l.problem != Problem::none || !resolve(l, after, c) || apply(c, after) != Verdict::unchanged) {
            fprintf(stderr, "loaded back as a change, or refused at line %d:\n%.*s", l.line, static_cast<int>(n), shown);
            abort();
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The fields' bytes first, then a settings file.
    unsigned char window[layout::formatted] = {};
    size_t at = 0;
    for (int f = 0; f < fields; ++f)
        for (int i = 0; i < field_info[f].len && at < size; ++i)
            window[field_info[f].at + i] = data[at++];
    round_trip(window);
    const char *text = reinterpret_cast<const char *>(data + at);
    Loaded l = parse(text, size - at);
    int lines = 1;
    for (size_t i = 0; i < size - at; ++i)
        lines += text[i] == '\n';
    Change c;
    const bool taken = l.problem == Problem::none && resolve(l, window, c);
    if (taken == (l.line != 0) || l.line < 0 || l.line > lines) {
        fprintf(stderr, "taken: %d, yet line %d of %d refused\n", taken, l.line, lines);
        abort();
    }
    if (taken && apply(c, window) == Verdict::changed)
        round_trip(window);
    return 0;
}
