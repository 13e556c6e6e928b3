// SPDX-License-Identifier: MIT
// The fields as veeprom names them: the values set takes, a change of several
// fields judged as a whole, and the settings file that load reads back (what
// veeprom show prints, in either form).  Pure functions of their text and
// bytes: the fuzzer calls them directly.
#ifndef VEEPROM_SETTINGS_H
#define VEEPROM_SETTINGS_H

#include "address.h"
#include "layout.h"

#include <cstddef>
#include <cstring>

namespace settings {

enum Field { bootcause, address, scheme, fields };
inline constexpr struct {
    char name[10];
    unsigned char at, len;
} field_info[fields] = {{"bootcause", layout::boot_word.at, layout::boot_word.len},
                        {"address", layout::address.at, layout::address.len},
                        {"scheme", layout::scheme.at, layout::scheme.len}};
inline constexpr int longest = layout::boot_word.len;
static_assert(layout::address.len <= longest && layout::scheme.len <= longest);

// The index of the field called name[0..len), or `fields`.
inline int field_named(const char *name, size_t len)
{
    int f = 0;
    while (f < fields && (strlen(field_info[f].name) != len || memcmp(field_info[f].name, name, len) != 0))
        ++f;
    return f;
}

// The fields one command sets, each as the bytes it stores.
struct Change {
    bool given[fields] = {};
    unsigned char bytes[fields][longest] = {};
};

// The bytes set stores for a value into `bytes` (all `longest` of them
// written); false when the field does not take the value.
inline bool encode(int f, const char *value, unsigned char *bytes)
{
    memset(bytes, 0, longest);
    if (strcmp(value, "none") == 0 && f != bootcause)
        return true; // all zero
    if (f == address) {
        auto &ip = *reinterpret_cast<unsigned char (*)[layout::address_len]>(bytes);
        int parts = 0;
        const layout::Parse parsed = layout::parse_address(value, ip, parts);
        return layout::storable(parsed, parts, ip);
    }
    const bool taken = f == scheme ? strcmp(value, layout::ab_marker) == 0 : f == bootcause && layout::is_boot_word(value);
    if (taken)
        memcpy(bytes, value, strnlen(value, longest)); // recovery fills all 8
    return taken;
}

// The change made on the window's fields; false, with the window as it was,
// when the result is refused: recovery set on an AB model.
inline bool apply(const Change &c, unsigned char *window)
{
    unsigned char after[layout::formatted];
    memcpy(after, window, sizeof after);
    for (int f = 0; f < fields; ++f)
        if (c.given[f])
            memcpy(after + field_info[f].at, c.bytes[f], field_info[f].len);
    const unsigned char *s = after + layout::scheme.at;
    const bool ab = s[0] == 'A' && s[1] == 'B' && s[2] == 0;
    if (ab && c.given[bootcause] && memcmp(c.bytes[bootcause], layout::recovery_word, longest) == 0)
        return false;
    memcpy(window, after, sizeof after);
    return true;
}

// ---- the settings file --------------------------------------------------
// "FIELD: VALUE" lines as show prints them (blank lines and # comments
// skipped), or show --json's object.  The medium and device are informative
// only; a field given as erased or null is left as it is; an empty text is
// the zero field show prints as empty.  Bytes that show escapes never make a
// value set takes, so an escaped value is refused as any other bad value.

enum class Problem { none, malformed, unknown_key, bad_value, repeated };

struct Loaded {
    Change change;
    int line = 0; // the line refused, 0 when the text was taken
    Problem problem = Problem::none;
    int field = 0; // whose value was bad
};

namespace detail {

constexpr bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

struct Reader {
    Loaded out;
    bool seen[fields + 2] = {}; // the fields, the medium, the device

    bool refuse(int line, Problem p, int f = 0)
    {
        out.line = line;
        out.problem = p;
        out.field = f;
        return false;
    }

    // One key and its value (null: JSON's null); false when refused.
    bool take(int line, const char *key, size_t klen, const char *value, size_t vlen, bool null)
    {
        int slot = field_named(key, klen);
        if (slot == fields && !(klen == 6 && memcmp(key, "medium", 6) == 0))
            slot = klen == 6 && memcmp(key, "device", 6) == 0 ? fields + 1 : -1;
        if (slot < 0)
            return refuse(line, Problem::unknown_key);
        if (seen[slot])
            return refuse(line, Problem::repeated);
        seen[slot] = true;
        if (slot >= fields || null)
            return true;
        char given[24];
        if (vlen >= sizeof given || memchr(value, '\0', vlen) != nullptr)
            return refuse(line, Problem::bad_value, slot);
        memcpy(given, value, vlen);
        given[vlen] = '\0';
        if (strcmp(given, "erased") == 0 || strcmp(given, "null") == 0)
            return true;
        unsigned char *bytes = out.change.bytes[slot];
        const bool ok = vlen == 0 ? (memset(bytes, 0, longest), slot != address) : encode(slot, given, bytes);
        out.change.given[slot] = ok;
        return ok || refuse(line, Problem::bad_value, slot);
    }

    void lines(const char *from, const char *to)
    {
        for (int n = 1; from < to; ++n) {
            const char *e = static_cast<const char *>(memchr(from, '\n', static_cast<size_t>(to - from)));
            const char *next = e == nullptr ? to : e + 1;
            e = e == nullptr ? to : e;
            while (from < e && blank(*from))
                ++from;
            while (e > from && blank(e[-1]))
                --e;
            if (from < e && *from != '#') {
                const char *colon = static_cast<const char *>(memchr(from, ':', static_cast<size_t>(e - from)));
                if (colon == nullptr || colon == from) {
                    refuse(n, Problem::malformed);
                    return;
                }
                const char *v = colon + 1;
                while (v < e && blank(*v))
                    ++v;
                if (!take(n, from, static_cast<size_t>(colon - from), v, static_cast<size_t>(e - v), false))
                    return;
            }
            from = next;
        }
    }

    // JSON: an object of strings and nulls, whitespace anywhere between.
    const char *p = nullptr;
    const char *end = nullptr;
    int line = 1;

    void space()
    {
        for (; p < end && (blank(*p) || *p == '\n'); ++p)
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
    // A string, unescaped: its first `cap` bytes into out, its length in len.
    bool string(char *out_text, size_t cap, size_t &len)
    {
        len = 0;
        if (!eat('"'))
            return false;
        for (; p < end && *p != '"'; ++len) {
            char c = *p++;
            if (c == '\\' && p < end)
                c = *p++;
            if (static_cast<unsigned char>(c) < 0x20)
                return false; // a control byte, a line's end among them, ends no string
            if (len < cap)
                out_text[len] = c;
        }
        return eat('"');
    }

    void json(const char *from, const char *to)
    {
        p = from;
        end = to;
        bool first = true;
        if (!eat('{'))
            return (void)refuse(line, Problem::malformed);
        for (;;) {
            if (first && eat('}'))
                break;
            first = false;
            char key[16], value[24];
            size_t klen = 0, vlen = 0;
            space();
            const int at = line;
            if (!string(key, sizeof key, klen) || !eat(':'))
                return (void)refuse(line, Problem::malformed);
            space();
            const bool null = end - p >= 4 && memcmp(p, "null", 4) == 0;
            if (null)
                p += 4;
            else if (!string(value, sizeof value, vlen))
                return (void)refuse(line, Problem::malformed);
            if (!take(at, key, klen, value, vlen, null))
                return;
            if (eat('}'))
                break;
            if (!eat(','))
                return (void)refuse(line, Problem::malformed);
        }
        space();
        if (p != end)
            refuse(line, Problem::malformed);
    }
};

} // namespace detail

// The settings in text[0..size): the change they make, or the line refused.
inline Loaded parse(const char *text, size_t size)
{
    detail::Reader r;
    const char *p = text;
    const char *end = text + size;
    while (p < end && (detail::blank(*p) || *p == '\n'))
        ++p;
    if (p < end && *p == '{')
        r.json(text, end);
    else
        r.lines(text, end);
    return r.out;
}

} // namespace settings

#endif
