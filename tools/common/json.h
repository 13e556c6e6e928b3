// SPDX-License-Identifier: MIT
// JSON strings as RFC 8259 writes them, read one byte per code point: the
// store's fields are bytes, and show --json writes each byte as the code
// point of the same number.
#ifndef VEEPROM_JSON_H
#define VEEPROM_JSON_H

#include <cstddef>

namespace settings::json {

constexpr int hex_digit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// ok; malformed: no JSON string; wide: a JSON string with a code point above
// U+00FF, which no byte holds.
enum class Str { ok, malformed, wide };

// The string that starts at p (its opening quote), decoded into
// out[0..cap); len counts every code point, those past cap too.  p ends past
// the closing quote.
Str string(const char *&p, const char *end, char *out, size_t cap, size_t &len);

// Where text[..end) stops being one JSON document (RFC 8259, any value,
// white space around it), or nullptr when it is one.
const char *invalid(const char *p, const char *end);

} // namespace settings::json

#endif
