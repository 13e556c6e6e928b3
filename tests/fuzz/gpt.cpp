// SPDX-License-Identifier: MIT
// The GPT entry array scan: the input is the disk from byte 1024 on.
#include "fuzz.h"
#include "veeprom.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const sim::Board &b = fuzz_board(sim::Medium::emmc);
    b.put("dev/mmcblk0", std::string(1024, '\0') + std::string(reinterpret_cast<const char *>(data), size));
    const int r = veeprom_init();
    const std::string path = veeprom::device_path;
    REQUIRE(r == 0 || r == -1);
    if (size < size_t{128} * 128) {
        REQUIRE(r == -1 && path.empty());
        return 0;
    }
    // The last entry whose name's low bytes spell veeprom and a zero.
    size_t last = 0;
    for (size_t i = 1; i <= 128; ++i) {
        const uint8_t *name = data + (i - 1) * 128 + 56;
        bool match = name[14] == 0;
        for (size_t c = 0; c < 7; ++c)
            match = match && name[2 * c] == static_cast<uint8_t>("veeprom"[c]);
        last = match ? i : last;
    }
    REQUIRE(path == (last == 0 ? "" : "/dev/mmcblk0p" + std::to_string(last)));
    REQUIRE(r == 0 || last == 0 || last > 4); // the board has partitions 1 to 4
    return 0;
}
