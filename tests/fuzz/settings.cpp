// SPDX-License-Identifier: MIT
// The settings file of veeprom load: whatever it takes must print back, in
// either form of show, as a file that is taken to the same change; whatever
// it refuses names a line of the input.
#include "settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The change as show would print it: text lines, or one JSON object.
std::string shown(const settings::Change &c, bool json)
{
    std::string s = json ? "{" : "";
    for (int f = 0; f < settings::fields; ++f) {
        const unsigned char *b = c.bytes[f];
        std::string value = f == settings::address && b[0] == 0 ? "none" : "";
        if (f == settings::address && b[0] != 0)
            value = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
        else if (f != settings::address)
            value.assign(reinterpret_cast<const char *>(b), strnlen(reinterpret_cast<const char *>(b), settings::longest));
        const std::string name = settings::field_info[f].name;
        if (json)
            s += (f == 0 ? "\"" : ",\"") + name + "\":" + (c.given[f] ? "\"" + value + "\"" : "null");
        else
            s += name + ": " + (c.given[f] ? value : "erased") + "\n";
    }
    return s + (json ? "}\n" : "");
}

bool same(const settings::Change &a, const settings::Change &b)
{
    for (int f = 0; f < settings::fields; ++f)
        if (a.given[f] != b.given[f] || (a.given[f] && memcmp(a.bytes[f], b.bytes[f], settings::longest) != 0))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    const settings::Loaded got = settings::parse(text, size);
    int lines = 1;
    for (size_t i = 0; i < size; ++i)
        lines += text[i] == '\n';
    if (got.problem != settings::Problem::none) {
        if (got.line < 1 || got.line > lines) {
            fprintf(stderr, "refused at line %d of %d\n", got.line, lines);
            abort();
        }
        return 0;
    }
    if (got.line != 0)
        abort();
    for (const bool json : {false, true}) {
        const std::string again = shown(got.change, json);
        const settings::Loaded back = settings::parse(again.data(), again.size());
        if (back.problem != settings::Problem::none || !same(back.change, got.change)) {
            fprintf(stderr, "taken, but does not read back as shown:\n%s", again.c_str());
            abort();
        }
    }
    return 0;
}
