// SPDX-License-Identifier: MIT
// The fields as show and get print them: text that reads back as the same
// bytes, in either form, and never as another value.
#include "settings.h"

#include <cstdio>
#include <cstring>

namespace settings {
namespace {

char *put(char *o, const char *text)
{
    while (*text != '\0')
        *o++ = *text++;
    return o;
}

// Whether text[0..n) reads as one of the words that are no text.
bool a_word(const unsigned char *text, int n)
{
    static constexpr char words[][7] = {"erased", "none", "null"};
    for (const char *w : words)
        if (strlen(w) == static_cast<size_t>(n) && memcmp(text, w, static_cast<size_t>(n)) == 0)
            return true;
    return false;
}

} // namespace

char *escape(const unsigned char *b, size_t n, bool json, bool word, char *o)
{
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = b[i];
        const bool special = c < 0x20 || c >= 0x7F || c == '\\';
        if (json && (c == '"' || c == '\\'))
            o = put(put(o, "\\"), c == '"' ? "\"" : "\\");
        else if (json ? special : special || (c == ' ' && (i == 0 || i == n - 1)) || (i == 0 && word))
            o += snprintf(o, 7, json ? "\\u%04x" : "\\x%02x", c);
        else
            *o++ = static_cast<char>(c);
    }
    return o;
}

size_t render(int f, const unsigned char *window, bool json, char *out)
{
    const unsigned char *b = window + field_info[f].at;
    const int len = field_info[f].len;
    char *o = out;
    if (layout::erased(b, len))
        return static_cast<size_t>(put(o, json ? "null" : "erased") - out);
    if (json)
        *o++ = '"';
    if (f == address) {
        o = b[0] == 0 ? put(o, "none") : o + snprintf(o, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    } else {
        int n = len;
        while (n > 0 && b[n - 1] == 0)
            --n;
        o = escape(b, static_cast<size_t>(n), json, !json && a_word(b, n), o);
    }
    if (json)
        *o++ = '"';
    return static_cast<size_t>(o - out);
}

size_t show(const unsigned char *window, const char *medium_name, const char *device_path, bool json, char *out)
{
    char *o = put(put(put(out, json ? "{\"medium\":\"" : "medium: "), medium_name), json ? "\",\"device\":\"" : "\ndevice: ");
    o = put(escape(reinterpret_cast<const unsigned char *>(device_path), strlen(device_path), json, false, o), json ? "\"" : "\n");
    for (int f = 0; f < fields; ++f) {
        o = put(put(put(o, json ? ",\"" : ""), field_info[f].name), json ? "\":" : ": ");
        o += render(f, window, json, o);
        o = put(o, json ? "" : "\n");
    }
    return static_cast<size_t>(put(o, json ? "}\n" : "") - out);
}

} // namespace settings
