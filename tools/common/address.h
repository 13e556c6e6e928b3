// SPDX-License-Identifier: MIT
// The text form of the address field, as drask_netaddr s and veeprom set
// address take it: one strict parse for both.
#ifndef VEEPROM_ADDRESS_H
#define VEEPROM_ADDRESS_H

#include "layout.h"

namespace layout {

inline constexpr int address_len = address.len;

enum class Parse { ok, bad, too_many };

// Dotted fields, runs of dots being one separator and outer dots making no
// field; each field is a decimal number 0..255 in digits only, of any
// number of leading zeros.  Missing trailing fields stay 0.  The text ends
// at its zero byte, or at `end` when given.
inline Parse parse_address(const char *text, unsigned char (&ip)[address_len], int &fields, const char *end = nullptr)
{
    bool bad = false;
    fields = 0;
    for (const char *c = text; c != end && *c != '\0';) {
        if (*c == '.') {
            ++c;
            continue;
        }
        if (fields == address_len)
            return Parse::too_many;
        unsigned value = 0;
        for (; c != end && *c != '\0' && *c != '.'; ++c) {
            if (*c < '0' || *c > '9')
                bad = true;
            else if (value <= 255)
                value = value * 10 + static_cast<unsigned>(*c - '0');
        }
        bad = bad || value > 255;
        ip[fields++] = static_cast<unsigned char>(value);
    }
    return bad ? Parse::bad : Parse::ok;
}

// What may be stored: at least one field, all good, the first not 0 (a
// first byte of 0 reads as no address) and not 255.255.255.255 (it reads
// back as erased flash).
inline bool storable(Parse p, int fields, const unsigned char (&ip)[address_len])
{
    return p == Parse::ok && fields > 0 && ip[0] != 0 && !erased(ip, address_len);
}

// What a get may publish: an address, neither none nor erased.
inline bool holds_address(const unsigned char (&ip)[address_len]) { return ip[0] != 0 && !erased(ip, address_len); }

} // namespace layout

#endif
