// The GPT entry array scan, a pure function of the table: the input is the
// array from its first entry on, zeros past its end.
#include "gpt.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static veeprom::gpt::Table table;
    memset(table, 0, sizeof table);
    memcpy(table, data, size < sizeof table ? size : sizeof table);
    const int r = veeprom::gpt::store_partition(table);

    // The last entry whose name's low bytes spell veeprom and a zero.
    int last = 0;
    for (int i = 1; i <= 128; ++i) {
        const uint8_t *name = &table[i - 1][56];
        bool match = name[14] == 0;
        for (size_t c = 0; c < 7; ++c)
            match = match && name[2 * c] == static_cast<uint8_t>("veeprom"[c]);
        last = match ? i : last;
    }
    if (r != last) {
        fprintf(stderr, "store_partition gave %d, want %d\n", r, last);
        abort();
    }
    return 0;
}
