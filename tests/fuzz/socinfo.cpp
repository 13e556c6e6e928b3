// SPDX-License-Identifier: MIT
// The socinfo files: board_id, \1, boot_mode (absent without the \1).
#include "fuzz.h"
#include "veeprom.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const sim::Board &b = fuzz_board(sim::Medium::emmc);
    const std::string in(reinterpret_cast<const char *>(data), size);
    const size_t cut = in.find('\1');
    const std::string id = in.substr(0, cut), mode = cut == std::string::npos ? "" : in.substr(cut + 1);
    b.put("sys/class/socinfo/board_id", id);
    if (cut == std::string::npos)
        remove(b.path("sys/class/socinfo/boot_mode").c_str());
    else
        b.put("sys/class/socinfo/boot_mode", mode);
    const int r = get_boot_mode();
    REQUIRE(r == 0 || r == 1 || r == 5 || r == -5);
    REQUIRE((r == -5) == (id.empty() || (!id.starts_with("300") && cut != std::string::npos && mode.empty())));
    REQUIRE(r != 1 || mode[0] == '1');
    REQUIRE(r != 5 || mode[0] == '5');
    return 0;
}
