// SPDX-License-Identifier: MIT
// The address text of drask_netaddr s and veeprom set address: the parse
// against an independent reading of what may be stored.
#include "address.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    unsigned char ip[4] = {};
    int parts = 0;
    const layout::Parse p = layout::parse_address(text.c_str(), ip, parts);

    // Up to four dot-separated decimal numbers of at most 255, the first not
    // 0, and not 255.255.255.255 (erased flash).
    unsigned char want[4] = {};
    int fields = 0;
    bool valid = true;
    for (size_t at = 0; at < text.size();) {
        size_t e = std::min(text.find('.', at), text.size());
        if (e > at) {
            unsigned v = 256;
            auto [end, ec] = std::from_chars(text.data() + at, text.data() + e, v);
            valid = valid && ec == std::errc() && end == text.data() + e && v <= 255 && fields < 4;
            if (fields < 4)
                want[fields] = static_cast<unsigned char>(v);
            ++fields;
        }
        at = e + 1;
    }
    valid = valid && fields > 0 && want[0] != 0 && memcmp(want, "\xff\xff\xff\xff", 4) != 0;
    const bool ok = layout::storable(p, parts, ip);
    if (ok != valid || (p == layout::Parse::too_many) != (fields > 4) || (ok && memcmp(ip, want, 4) != 0)) {
        fprintf(stderr, "parse_address got it wrong for '%s'\n", text.c_str());
        abort();
    }
    return 0;
}
