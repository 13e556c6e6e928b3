// SPDX-License-Identifier: MIT
// The boot-target argument of drask_bootcause: which arguments are words to
// store, compared whole whatever their length.
#include "layout.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string arg(reinterpret_cast<const char *>(data), size);
    const bool word = arg == "normal" || arg == "recovery" || arg == "uboot" || arg == "boot" || arg == "system" || arg == "all";
    if (layout::is_boot_word(arg) != word) {
        fprintf(stderr, "is_boot_word got it wrong for a %zu-byte argument\n", size);
        abort();
    }
    return 0;
}
