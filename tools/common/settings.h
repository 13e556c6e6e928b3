// SPDX-License-Identifier: MIT
// The fields as veeprom names them: the values set takes, a change of several
// fields judged on its result, how show prints them, and the settings file
// that load reads back (what show printed, in either form).  Pure functions of
// their text and bytes: the fuzzer calls them directly.
#ifndef VEEPROM_SETTINGS_H
#define VEEPROM_SETTINGS_H

#include "address.h"
#include "layout.h"

#include <cstddef>

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

// Keys of the settings file: the fields, then the two informative ones.
enum { medium = fields, device, keys };
const char *key_name(int key);
// The index of the key called name[0..len), or `keys`.
int key_named(const char *name, size_t len);

// The fields one command sets, each as the bytes it stores.
struct Change {
    bool given[fields] = {};
    unsigned char bytes[fields][longest] = {};
};

// The bytes set stores for value[0..len) into `bytes` (all `longest` of them
// written); false when the field does not take it.  none and the empty value
// are the zero field, for every field.
bool encode(int f, const char *value, size_t len, unsigned char *bytes);

// The change made on a window (its first layout::formatted bytes at least).
// A change that leaves every field as it was changes nothing and is never
// refused; one whose result is an AB model set to boot recovery is refused,
// whichever field it names.  The window changes only when `changed`.
enum class Verdict { unchanged, changed, refused };
Verdict apply(const Change &c, unsigned char *window);
// The same judgement of any window of n bytes (layout::formatted at least)
// becoming `after`: the window takes it only when `changed`.
Verdict judge(unsigned char *window, const unsigned char *after, size_t n);

// ---- as show prints them ----------------------------------------------
// A text field up to its last non-zero byte, zero bytes included; a byte
// that would not print, the backslash, and a blank at either end as \xHH
// (JSON: \u00XX, with \" and \\), and the first byte as \xHH when the text
// reads erased, none or null.  The address dotted, or none when its first
// byte is 0.  A field of erased flash (all 0xFF): erased, JSON null.
// Text as show prints it, `word` when it reads erased, none or null: the end
// of what was put at o.
char *escape(const unsigned char *b, size_t n, bool json, bool word, char *o);
inline constexpr size_t value_max = 52; // "\u00XX" for each of 8 bytes, quoted
size_t render(int f, const unsigned char *window, bool json, char *out);
// Everything show prints, its length.  `out` holds shown_max bytes, and 6
// more for each byte of a device path longer than a board's (127 bytes):
// the path is escaped as text fields are.
inline constexpr size_t shown_max = 384 + 6 * 127;
size_t show(const unsigned char *window, const char *medium_name, const char *device_path, bool json, char *out);

// ---- the settings file --------------------------------------------------
// "KEY: VALUE" lines (blank lines and # comments skipped, blanks around the
// value trimmed, \xHH escapes), or one JSON object of strings and nulls.
// A value is what show prints for the field now (the field is left alone),
// or one set takes; text erased and null, and JSON null, leave it alone.

enum class Problem { none, malformed, unknown_key, bad_value, repeated, not_json };

struct Value {
    int line = 0;      // where it was given; 0: it was not
    bool json = false; // text: as written; JSON: the string's bytes
    bool alone = false;
    size_t len = 0;
    char text[64] = {};
};

struct Loaded {
    Value values[fields];
    bool seen[keys] = {};
    int line = 0; // the line refused, 0 when the text was taken
    Problem problem = Problem::none;
    int key = 0; // which key, for bad_value and repeated
    int column = 0; // not_json: the byte at which the text stops being JSON, from 1
    bool refuse(int at, Problem p, int k = 0);
    // One key (`keys`: unknown) and its value; false when refused.
    bool take(int at, int key, const Value &v);
};

Loaded parse(const char *text, size_t size);
void parse_json(const char *text, const char *end, Loaded &l);

// The change the file makes on this window's fields; false, with the
// refusal in `l`, when a value is neither what show prints for its field
// nor one set takes.
bool resolve(Loaded &l, const unsigned char *window, Change &c);

} // namespace settings

#endif
