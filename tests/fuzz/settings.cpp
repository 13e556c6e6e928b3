// SPDX-License-Identifier: MIT
// The settings file of veeprom load: what it takes prints back, in either
// form of show, as a file taken to the same change; what it refuses names a
// line of the input.
#include "settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The change as show prints it: text lines, or one JSON object.
static std::string shown(const settings::Change &c, bool json)
{
    std::string s = json ? "{" : "";
    for (int f = 0; f < settings::fields; ++f) {
        const unsigned char *b = c.bytes[f];
        std::string v(reinterpret_cast<const char *>(b), strnlen(reinterpret_cast<const char *>(b), settings::longest));
        if (f == settings::address)
            v = b[0] == 0 ? "none" : std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
        const std::string name = settings::field_info[f].name;
        s += json ? (f == 0 ? "\"" : ",\"") + name + "\":" + (c.given[f] ? "\"" + v + "\"" : "null") : name + ": " + (c.given[f] ? v : "erased") + "\n";
    }
    return s + (json ? "}" : "");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    const settings::Loaded got = settings::parse(text, size);
    int lines = 1;
    for (size_t i = 0; i < size; ++i)
        lines += text[i] == '\n';
    bool same = (got.problem == settings::Problem::none) == (got.line == 0) && got.line >= 0 && got.line <= lines;
    for (const bool json : {false, true}) {
        const std::string again = shown(got.change, json);
        const settings::Loaded back = settings::parse(again.data(), again.size());
        for (int f = 0; f < settings::fields && got.line == 0; ++f)
            same = same && back.problem == settings::Problem::none && back.change.given[f] == got.change.given[f] &&
                   (!got.change.given[f] || memcmp(back.change.bytes[f], got.change.bytes[f], settings::longest) == 0);
        if (!same) {
            fprintf(stderr, "refused at line %d of %d, or taken but read back otherwise as shown:\n%s\n", got.line, lines, again.c_str());
            abort();
        }
    }
    return 0;
}
