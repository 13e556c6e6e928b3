// SPDX-License-Identifier: MIT
// The boot-target argument of drask_bootcause, through the tool's own main.
#include "fuzz.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#define main bootcause_main
#include "drask_bootcause.cpp" // NOLINT(bugprone-suspicious-include): its main, renamed
#undef main

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const sim::Board &b = fuzz_board(sim::Medium::emmc);
    const std::string arg(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    const std::string before = b.image();
    char *argv[] = {const_cast<char *>("drask_bootcause"), const_cast<char *>(arg.c_str()), nullptr};
    const int r = bootcause_main(2, argv);

    const bool word = arg == "normal" || arg == "recovery" || arg == "uboot" || arg == "boot" || arg == "system" || arg == "all";
    REQUIRE((r == 0) == (word || arg == "h"));
    std::string after = before;
    if (word)
        after.replace(9, 8, (arg + std::string(8, '\0')).substr(0, 8));
    REQUIRE(b.image() == after);
    b.put(b.store, before);
    return 0;
}
