// SPDX-License-Identifier: MIT
// The address text of drask_netaddr s, through the tool's own main.
#include "fuzz.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#define main netaddr_main
#include "drask_netaddr.cpp" // NOLINT(bugprone-suspicious-include): its main, renamed
#undef main

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const sim::Board &b = fuzz_board(sim::Medium::emmc);
    const std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    const std::string before = b.image();
    char *argv[] = {const_cast<char *>("drask_netaddr"), const_cast<char *>("s"), const_cast<char *>(text.c_str()), nullptr};
    const int r = netaddr_main(3, argv);

    // Up to four dot-separated decimal numbers of at most 255, the first not 0.
    unsigned char want[4] = {};
    int fields = 0;
    bool valid = true;
    for (size_t p = 0; p < text.size();) {
        size_t e = std::min(text.find('.', p), text.size());
        if (e > p) {
            unsigned v = 256;
            auto [end, ec] = std::from_chars(text.data() + p, text.data() + e, v);
            valid = valid && ec == std::errc() && end == text.data() + e && v <= 255 && fields < 4;
            if (fields < 4)
                want[fields] = static_cast<unsigned char>(v);
            ++fields;
        }
        p = e + 1;
    }
    valid = valid && fields > 0 && want[0] != 0;
    REQUIRE((r == 0) == valid);
    std::string after = before;
    if (valid)
        after.replace(17, 4, reinterpret_cast<const char *>(want), 4);
    REQUIRE(b.image() == after);
    b.put(b.store, before);
    return 0;
}
