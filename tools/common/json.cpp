// SPDX-License-Identifier: MIT
// The JSON form of the settings file: one object whose members are strings
// or null, read strictly (RFC 8259): every escape, surrogate pairs, UTF-8
// checked, no raw control byte, nothing after the object but white space.
#include "json.h"

#include "settings.h"

#include <cstring>

namespace settings {
namespace {

// The four hex digits of \uXXXX at p, or -1.
long hex4(const char *p, const char *end)
{
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = p + i < end ? json::hex_digit(p[i]) : -1;
        if (d < 0)
            return -1;
        v = v * 16 + d;
    }
    return v;
}

// One UTF-8 sequence at p (its first byte 0x80 or above): its code point,
// with p past it; -1 for an overlong form, a surrogate, a code point past
// U+10FFFF or a broken sequence.
long utf8(const char *&p, const char *end)
{
    const auto c = static_cast<unsigned char>(*p);
    const int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
    if (c > 0xF4 || more < 0 || end - p <= more)
        return -1;
    long cp = c & (0x3F >> more);
    for (int i = 1; i <= more; ++i) {
        const auto d = static_cast<unsigned char>(p[i]);
        if ((d & 0xC0) != 0x80)
            return -1;
        cp = cp << 6 | (d & 0x3F);
    }
    static constexpr long least[] = {0, 0x80, 0x800, 0x10000};
    if (cp < least[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return -1;
    p += more + 1;
    return cp;
}

// After a backslash: the escaped code point, with p past it, or -1.
long escape(const char *&p, const char *end)
{
    static constexpr char from[] = "\"\\/bfnrt";
    static constexpr char to[] = "\"\\/\b\f\n\r\t";
    if (p == end)
        return -1;
    const char e = *p++;
    const char *at = e == '\0' ? nullptr : strchr(from, e);
    if (at != nullptr)
        return to[at - from];
    long cp = e == 'u' ? hex4(p, end) : -1;
    if (cp < 0)
        return -1;
    p += 4;
    // A high surrogate and a low one are one code point; a lone one is in
    // the grammar but is no character, and too wide for a byte anyway.
    const long low = cp >= 0xD800 && cp <= 0xDBFF && end - p >= 6 && p[0] == '\\' && p[1] == 'u' ? hex4(p + 2, end) : -1;
    if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        p += 6;
    }
    return cp;
}

struct Cursor {
    const char *p;
    const char *end;
    int line = 1;

    void space()
    {
        for (; p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'); ++p)
            line += *p == '\n';
    }
    bool eat(char c)
    {
        space();
        if (p == end || *p != c)
            return false;
        ++p;
        return true;
    }
};

} // namespace

json::Str json::string(const char *&p, const char *end, char *out, size_t cap, size_t &len)
{
    len = 0;
    bool wide = false;
    if (p == end || *p != '"')
        return Str::malformed;
    for (++p; p < end && *p != '"'; ++len) {
        const auto c = static_cast<unsigned char>(*p);
        long cp = -1; // a raw control byte, a line's end among them, is none
        if (c >= 0x80) {
            cp = utf8(p, end);
        } else if (c == '\\') {
            cp = escape(++p, end);
        } else if (c >= 0x20) {
            cp = c;
            ++p;
        }
        if (cp < 0)
            return Str::malformed;
        wide = wide || cp > 0xFF;
        if (len < cap)
            out[len] = static_cast<char>(cp);
    }
    if (p == end)
        return Str::malformed;
    ++p;
    return wide ? Str::wide : Str::ok;
}

namespace {

// Past the bytes of `word` that start at p; false when not all of it does.
bool literal(Cursor &c, const char *word)
{
    for (; *word != '\0'; ++word, ++c.p)
        if (c.p == c.end || *c.p != *word)
            return false;
    return true;
}

bool digits(Cursor &c)
{
    const char *from = c.p;
    while (c.p < c.end && *c.p >= '0' && *c.p <= '9')
        ++c.p;
    return c.p > from;
}

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool number(Cursor &c)
{
    if (c.p < c.end && *c.p == '-')
        ++c.p;
    if (c.p < c.end && *c.p == '0')
        ++c.p;
    else if (!digits(c))
        return false;
    if (c.p < c.end && *c.p == '.' && (++c.p, !digits(c)))
        return false;
    if (c.p < c.end && (*c.p == 'e' || *c.p == 'E')) {
        ++c.p;
        if (c.p < c.end && (*c.p == '+' || *c.p == '-'))
            ++c.p;
        return digits(c);
    }
    return true;
}

// One JSON value of any kind, with the cursor past it; false with the
// cursor where the text stops being JSON.
bool value(Cursor &c)
{
    c.space();
    size_t len = 0;
    const char open = c.p < c.end ? *c.p : '\0';
    if (open == '"')
        return json::string(c.p, c.end, nullptr, 0, len) != json::Str::malformed;
    if (open == 't' || open == 'f' || open == 'n')
        return literal(c, open == 't' ? "true" : open == 'f' ? "false" : "null");
    if (open != '{' && open != '[')
        return number(c);
    const char close = open == '{' ? '}' : ']';
    ++c.p;
    if (c.eat(close))
        return true;
    for (;;) {
        c.space();
        if (open == '{' && (json::string(c.p, c.end, nullptr, 0, len) == json::Str::malformed || !c.eat(':')))
            return false;
        if (!value(c))
            return false;
        if (c.eat(close))
            return true;
        if (!c.eat(','))
            return false;
    }
}

} // namespace

const char *json::invalid(const char *p, const char *end)
{
    Cursor c{p, end};
    if (value(c)) {
        c.space();
        if (c.p == end)
            return nullptr;
    }
    return c.p;
}

void parse_json(const char *text, const char *end, Loaded &l)
{
    Cursor c{text, end};
    if (!c.eat('{'))
        return (void)l.refuse(c.line, Problem::malformed);
    if (!c.eat('}')) {
        for (;;) {
            c.space();
            const int at = c.line;
            char name[16];
            size_t len = 0;
            const json::Str key = json::string(c.p, end, name, sizeof name, len);
            if (key == json::Str::malformed || !c.eat(':'))
                return (void)l.refuse(c.line, Problem::malformed);
            const int k = key == json::Str::ok && len <= sizeof name ? key_named(name, len) : keys;
            Value v;
            v.json = true;
            c.space();
            json::Str s = json::Str::ok;
            if (end - c.p >= 4 && memcmp(c.p, "null", 4) == 0) {
                c.p += 4;
                v.alone = true;
            } else if (c.p < end && *c.p == '"') {
                s = json::string(c.p, end, v.text, sizeof v.text, v.len);
                if (s == json::Str::malformed)
                    return (void)l.refuse(c.line, Problem::malformed);
            } else if (k != keys) {
                s = json::Str::wide; // valid JSON, perhaps, but no value of ours
            }
            if (!l.take(at, k, v))
                return;
            if (s != json::Str::ok)
                return (void)l.refuse(at, Problem::bad_value, k);
            if (c.eat('}'))
                break;
            if (!c.eat(','))
                return (void)l.refuse(c.line, Problem::malformed);
        }
    }
    c.space();
    if (c.p != end)
        l.refuse(c.line, Problem::malformed);
}

} // namespace settings
