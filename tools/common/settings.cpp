// SPDX-License-Identifier: MIT
// The values set takes, a change judged on its result, and the settings
// file's text form and its values resolved against the store.
#include "settings.h"

#include "json.h"

#include <algorithm>
#include <cstring>

namespace settings {

const char *key_name(int key)
{
    static constexpr char informative[][7] = {"medium", "device"};
    return key < fields ? field_info[key].name : informative[key - fields];
}

int key_named(const char *name, size_t len)
{
    int k = 0;
    while (k < keys && (strlen(key_name(k)) != len || memcmp(key_name(k), name, len) != 0))
        ++k;
    return k;
}

bool encode(int f, const char *value, size_t len, unsigned char *bytes)
{
    memset(bytes, 0, longest);
    if (len == 0 || (len == 4 && memcmp(value, "none", 4) == 0))
        return true; // the zero field
    if (memchr(value, '\0', len) != nullptr)
        return false;
    if (f == address) {
        // Of any length, as drask_netaddr s takes it: leading zeros too.
        auto &ip = *reinterpret_cast<unsigned char (*)[layout::address_len]>(bytes);
        int parts = 0;
        const layout::Parse parsed = layout::parse_address(value, ip, parts, value + len);
        return layout::storable(parsed, parts, ip);
    }
    char text[24];
    if (len >= sizeof text)
        return false;
    memcpy(text, value, len);
    text[len] = '\0';
    const bool taken = f == scheme ? strcmp(text, layout::ab_marker) == 0 : f == bootcause && layout::is_boot_word(text);
    if (taken)
        memcpy(bytes, text, len); // recovery fills all 8
    return taken;
}

Verdict apply(const Change &c, unsigned char *window)
{
    unsigned char after[layout::formatted];
    memcpy(after, window, sizeof after);
    for (int f = 0; f < fields; ++f)
        if (c.given[f])
            memcpy(after + field_info[f].at, c.bytes[f], field_info[f].len);
    return judge(window, after, sizeof after);
}

Verdict judge(unsigned char *window, const unsigned char *after, size_t n)
{
    if (memcmp(after, window, n) == 0)
        return Verdict::unchanged; // even on a store a raw write made an AB model set to recovery
    if (veeprom_is_ab(after + layout::scheme.at) != 0 && memcmp(after + layout::boot_word.at, layout::recovery_word, longest) == 0)
        return Verdict::refused;
    memcpy(window, after, n);
    return Verdict::changed;
}

// ---- the settings file --------------------------------------------------

bool Loaded::refuse(int at, Problem p, int k)
{
    line = at;
    problem = p;
    key = k;
    return false;
}

bool Loaded::take(int at, int k, const Value &v)
{
    if (k == keys)
        return refuse(at, Problem::unknown_key);
    if (seen[k])
        return refuse(at, Problem::repeated, k);
    seen[k] = true;
    if (k >= fields)
        return true; // informative
    if (!v.alone && v.len > sizeof v.text)
        return refuse(at, Problem::bad_value, k); // longer than anything show prints or set takes
    values[k] = v;
    values[k].line = at;
    return true;
}

namespace {

constexpr bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// "KEY: VALUE" lines.
void lines(const char *from, const char *to, Loaded &l)
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
            if (colon == nullptr || colon == from)
                return (void)l.refuse(n, Problem::malformed);
            const char *v = colon + 1;
            while (v < e && blank(*v))
                ++v;
            Value value;
            value.len = static_cast<size_t>(e - v);
            value.alone = (value.len == 6 && memcmp(v, "erased", 6) == 0) || (value.len == 4 && memcmp(v, "null", 4) == 0);
            memcpy(value.text, v, value.len < sizeof value.text ? value.len : sizeof value.text);
            if (!l.take(n, key_named(from, static_cast<size_t>(colon - from)), value))
                return;
        }
        from = next;
    }
}

// The text form's \xHH escapes decoded in place; false for a backslash
// that starts none.
bool unescape(char *text, size_t &len)
{
    size_t out = 0;
    for (size_t i = 0; i < len; ++out) {
        if (text[i] != '\\') {
            text[out] = text[i++];
            continue;
        }
        const int hi = i + 3 < len && text[i + 1] == 'x' ? json::hex_digit(text[i + 2]) : -1;
        const int lo = hi < 0 ? -1 : json::hex_digit(text[i + 3]);
        if (lo < 0)
            return false;
        text[out] = static_cast<char>(hi << 4 | lo);
        i += 4;
    }
    len = out;
    return true;
}

} // namespace

Loaded parse(const char *text, size_t size)
{
    Loaded l;
    const char *end = text + size;
    // A UTF-8 byte order mark says nothing here (RFC 8259 lets a reader skip it).
    const char *from = size >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? text + 3 : text;
    const char *p = from;
    while (p < end && (blank(*p) || *p == '\n'))
        ++p;
    if (p >= end || *p != '{') {
        lines(from, end, l);
        return l;
    }
    // Malformed JSON is refused as such, before any key or value is judged.
    if (const char *stop = json::invalid(from, end); stop != nullptr) {
        l.refuse(1 + static_cast<int>(std::count(text, stop, '\n')), Problem::not_json);
        const char *line = stop;
        while (line > text && line[-1] != '\n')
            --line;
        l.column = static_cast<int>(stop - line) + 1;
        return l;
    }
    parse_json(from, end, l);
    return l;
}

bool resolve(Loaded &l, const unsigned char *window, Change &c)
{
    for (int f = 0; f < fields; ++f) {
        Value v = l.values[f];
        c.given[f] = false;
        if (v.line == 0 || v.alone)
            continue;
        // What show prints for the field now leaves it alone: in JSON, as
        // the string's bytes.
        char now[value_max];
        size_t len = render(f, window, v.json, now);
        const char *p = now;
        if (v.json && (now[0] != '"' || json::string(p, now + len, now, sizeof now, len) != json::Str::ok))
            len = sizeof v.text + 1; // null: no string is that
        if (len == v.len && memcmp(now, v.text, len) == 0)
            continue;
        if ((!v.json && !unescape(v.text, v.len)) || !encode(f, v.text, v.len, c.bytes[f]))
            return l.refuse(v.line, Problem::bad_value, f);
        c.given[f] = true;
    }
    return true;
}

} // namespace settings
