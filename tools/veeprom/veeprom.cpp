// SPDX-License-Identifier: MIT
// veeprom: inspect and provision the store: the medium and device it is on,
// every field decoded, and the library's maintenance operations.
//
// Sized for the board like the other tools: tables hold text, not pointers
// (no relocations at start-up), and each library call has one call site.
#include "address.h"
#include "layout.h"
#include "state.h"
#include "store.h"
#include "tools.h"
#include "veeprom.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Exit statuses: a script tells a store that failed from a request that was
// wrong (and so stored nothing).
constexpr int done = 0;
constexpr int store_failed = 1;
constexpr int misuse = 2;

enum Command { show, get, set, dump, read, write, clear, format, commands };
constexpr struct {
    char name[7];
    char args[15]; // as the usage line shows them
    unsigned char count;
} syntax[commands] = {{"show", " [--json]", 0},       {"get", " FIELD", 1},        {"set", " FIELD VALUE", 2},
                      {"dump", "", 0},                {"read", " OFFSET LENGTH", 2}, {"write", " OFFSET HEX", 2},
                      {"clear", " OFFSET LENGTH", 2}, {"format", "", 0}};

enum Field { bootcause, address, scheme, fields };
constexpr struct {
    char name[10];
    unsigned char at, len;
} field_info[fields] = {{"bootcause", layout::boot_word.at, layout::boot_word.len},
                        {"address", layout::address.at, layout::address.len},
                        {"scheme", layout::scheme.at, layout::scheme.len}};

// The usage lines come from the table above.
void usage()
{
    for (int c = 0; c < commands; ++c)
        printf("%s veeprom %s%s\n", c == 0 ? "usage:" : "      ", syntax[c].name, syntax[c].args);
    fputs("       veeprom --help | --version\n"
          "FIELD VALUE: bootcause normal|recovery|uboot|boot|system|all, address IPv4|none,\n"
          "scheme AB|none.  OFFSET, LENGTH: decimal or 0x-hex.\n",
          stdout);
}

// One line on stderr, "veeprom: " and a literal format that ends the line;
// the status to exit with.  A macro, so that no variable argument list is
// kept and each format is checked where it is written.
#define FAIL(status, ...) (fprintf(stderr, "veeprom: " __VA_ARGS__), (status))

int store_fails(const char *what) { return FAIL(store_failed, "cannot %s the store\n", what); }

// The index of `name` in a table of names, or n when it is not there.
template <class Table, size_t n> int find(const Table (&table)[n], const char *name)
{
    int i = 0;
    while (i < static_cast<int>(n) && strcmp(table[i].name, name) != 0)
        ++i;
    return i;
}

// ---- values -------------------------------------------------------------

// Puts the bytes set stores for a value into `bytes`, which are zero;
// false when the field does not take the value.
bool encode(int f, const char *value, unsigned char *bytes)
{
    const bool none = strcmp(value, "none") == 0; // all zero
    if (f == address) {
        auto &ip = *reinterpret_cast<unsigned char (*)[layout::address_len]>(bytes);
        int parts = 0;
        const layout::Parse parsed = layout::parse_address(value, ip, parts);
        return none ? memset(ip, 0, sizeof ip) == ip : layout::storable(parsed, parts, ip);
    }
    const bool taken = f == scheme ? strcmp(value, layout::ab_marker) == 0 : f == bootcause && layout::is_boot_word(value);
    if (taken)
        memcpy(bytes, value, strnlen(value, layout::boot_word.len)); // recovery fills all 8
    return taken || (f == scheme && none);
}

// A text as show and get print it: up to its first zero byte, bytes that
// would not show, and the backslash that starts an escape, as \xHH, so the
// text always reads back unambiguously; in JSON with quote and backslash
// escaped as well.
void put_text(const unsigned char *text, int len, bool json)
{
    for (int i = 0; i < len && text[i] != 0; ++i) {
        const unsigned char b = text[i];
        const bool escaped = b < 0x20 || b > 0x7E || b == '\\';
        printf(escaped ? (json ? "\\\\x%02x" : "\\x%02x") : json && b == '"' ? "\\%c" : "%c", b);
    }
}

// Erased flash (every byte 0xFF) holds no value: erased, or JSON null.  The
// address is dotted, or none when its first byte is 0.
void put_value(int f, const unsigned char *bytes, bool json)
{
    if (layout::erased(bytes, field_info[f].len))
        fputs(json ? "null" : "erased", stdout);
    else if (f != address)
        put_text(bytes, field_info[f].len, json);
    else if (bytes[0] == 0)
        fputs("none", stdout);
    else
        printf("%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

// One "name: value" a line, or one JSON object on one line.  The medium and
// the device path are fixed texts that need no escaping.
void show_fields(bool json, const unsigned char *bytes)
{
    const veeprom::Medium m = veeprom::medium_of(veeprom::bootmode);
    const char *medium = m == veeprom::Medium::volume ? "ubi" : m == veeprom::Medium::raw ? "mtd" : "emmc";
    printf(json ? "{\"medium\":\"%s\",\"device\":\"%s\"" : "medium: %s\ndevice: %s\n", medium, veeprom::device_path);
    for (int f = 0; f < fields; ++f) {
        const unsigned char *value = bytes + field_info[f].at - layout::boot_word.at;
        const bool quoted = json && !layout::erased(value, field_info[f].len);
        printf(json ? ",\"%s\":%s" : "%s: %s", field_info[f].name, quoted ? "\"" : "");
        put_value(f, value, json);
        fputs(quoted ? "\"" : json ? "" : "\n", stdout);
    }
    fputs(json ? "}\n" : "", stdout);
}

// ---- numbers and hex text -----------------------------------------------

int hex_digit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Past the digits of the base that start the text.
const char *past_digits(const char *c, int base)
{
    while (*c != '\0' && hex_digit(*c) >= 0 && hex_digit(*c) < base)
        ++c;
    return c;
}

// Decimal, or hexadecimal after 0x; 32 bits at most.  Only digits of the
// base are let through to strtol, so no sign, space or second prefix.
bool number(const char *text, uint32_t &value)
{
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = hex ? text + 2 : text;
    const char *end = past_digits(digits, hex ? 16 : 10);
    const long v = strtol(digits, nullptr, hex ? 16 : 10); // LONG_MAX when too long
    value = static_cast<uint32_t>(v);
    return *end == '\0' && end != digits && v <= long{UINT32_MAX};
}

// The command, with the store open.
int act(int c, bool json, int f, uint32_t offset, uint32_t length, const unsigned char *data)
{
    // Ranges are checked before any transfer, so a refused one stores nothing.
    const int window = veeprom::medium_of(veeprom::bootmode) == veeprom::Medium::volume ? veeprom::block_size : veeprom::sector_size;
    if (uint64_t{offset} + length > static_cast<uint64_t>(window))
        return FAIL(misuse, "range %u+%u is outside the %d-byte window\n", offset, length, window);
    // One read gives every field (show, get, and the scheme that decides
    // whether recovery may be set), or the range asked for.
    constexpr int from = layout::boot_word.at;
    unsigned char bytes[veeprom::block_size] = {};
    // Recovery is the one boot word that begins with r (asserted below).
    const bool recovery = c == set && f == bootcause && data[0] == layout::recovery_word[0];
    if ((c == show || c == get || c == read || recovery) &&
        veeprom_read(c == read ? static_cast<int>(offset) : from, reinterpret_cast<char *>(bytes),
                     c == read ? static_cast<int>(length) : layout::scheme.end() - from) < 0)
        return store_fails("read");
    if (c == show)
        show_fields(json, bytes);
    if (c == get) {
        put_value(f, bytes + offset - from, false);
        puts("");
    }
    if (c == read) {
        for (uint32_t i = 0; i < length; ++i)
            printf("%02x", bytes[i]);
        puts("");
    }
    if (c == show || c == get || c == read)
        return done;
    if (recovery && strcmp(reinterpret_cast<char *>(bytes + layout::scheme.at - from), layout::ab_marker) == 0)
        return FAIL(misuse, "recovery is refused on an AB model\n");
    if (c == set || c == write)
        return veeprom_write(static_cast<int>(offset), reinterpret_cast<const char *>(data), static_cast<int>(length)) < 0
                   ? store_fails("write")
                   : done;
    if (c == dump)
        return veeprom_dump() < 0 ? store_fails("read") : done;
    return (c == clear ? veeprom_clear(static_cast<int>(offset), static_cast<int>(length)) : veeprom_format()) < 0
               ? store_fails("clear")
               : done;
}

static_assert([] {
    int r = 0;
    for (const auto &word : layout::boot_words)
        r += word[0] == layout::recovery_word[0];
    return r == 1;
}());

// ---- the command line ---------------------------------------------------

int run(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "show";
    char **arg = argv + 2;
    const int n = argc > 2 ? argc - 2 : 0;
    if (strcmp(name, "--help") == 0) {
        usage();
        return done;
    }
    if (strcmp(name, "--version") == 0) {
        puts("veeprom " VEEPROM_VERSION);
        return done;
    }
    // The whole command line is checked before the store is opened: a usage
    // error never reaches the store.
    const bool flag = strcmp(name, "--json") == 0; // veeprom --json: show is implied
    const int c = flag ? show : find(syntax, name);
    if (c == commands)
        return FAIL(misuse, "unknown command '%s'\n", name);
    // As many arguments as the usage line names; show takes --json only.
    const bool json = flag || (c == show && n == 1 && strcmp(arg[0], "--json") == 0);
    if (n != syntax[c].count + (json && !flag))
        return FAIL(misuse, "usage: veeprom %s%s\n", syntax[c].name, syntax[c].args);

    int f = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    unsigned char data[veeprom::block_size] = {}; // what set or write stores
    if (c == get || c == set) {
        f = find(field_info, arg[0]);
        if (f == fields)
            return FAIL(misuse, "unknown field '%s'\n", arg[0]);
        if (c == set && !encode(f, arg[1], data))
            return FAIL(misuse, "%s cannot be '%s'\n", arg[0], arg[1]);
        offset = field_info[f].at;
        length = field_info[f].len;
    }
    if (c == read || c == write || c == clear) {
        const char *bad = !number(arg[0], offset) ? arg[0] : c != write && !number(arg[1], length) ? arg[1] : nullptr;
        if (bad != nullptr)
            return FAIL(misuse, "'%s' is not a 32-bit decimal or 0x-hex number\n", bad);
    }
    if (c == write) {
        // Pairs of hex digits, at least one.  The library's text check
        // comes first; it also admits the characters between the digits and
        // the letters, which are no hex digits.
        const char *hex = arg[1];
        const size_t len = strlen(hex);
        if (parameter_check(hex, static_cast<int64_t>(len)) != 0 || len == 0 || len % 2 != 0 || *past_digits(hex, 16) != '\0')
            return FAIL(misuse, "write takes pairs of hex digits, not '%s'\n", hex);
        length = static_cast<uint32_t>(len / 2);
        for (size_t i = 0; i < length && i < sizeof data; ++i)
            data[i] = static_cast<unsigned char>(hex_digit(hex[2 * i]) << 4 | hex_digit(hex[2 * i + 1]));
    }

    veeprom::messages_to(stderr); // standard output carries the answer only
    if (veeprom_init() < 0)
        return store_fails("open");
    const int status = act(c, json, f, offset, length, data);
    veeprom_exit();
    return status;
}

} // namespace

// What the tool prints is its answer: output that could not be written is a
// failure, not a success.
int main(int argc, char **argv)
{
    const int status = run(argc, argv);
    if (fflush(stdout) != 0 || ferror(stdout))
        return FAIL(store_failed, "cannot write the output\n");
    return status;
}
