// veeprom: inspect and provision the store: the medium and device it is on,
// every field decoded, and the library's maintenance operations.
#include "address.h"
#include "layout.h"
#include "state.h"
#include "veeprom.h"

#include <cstdarg>
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

// Tables hold text, not pointers, so they need no relocation at start-up.
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
    char takes[45]; // the values set accepts
} field_info[fields] = {
    {"bootcause", layout::boot_word.at, layout::boot_word.len, "normal, recovery, uboot, boot, system or all"},
    {"address", layout::address.at, layout::address.len, "a dotted IPv4 address or none"},
    {"scheme", layout::scheme.at, layout::scheme.len, "AB or none"},
};

// The usage lines come from the table above.
void usage()
{
    for (int c = 0; c < commands; ++c)
        printf("%s veeprom %s%s\n", c == 0 ? "usage:" : "      ", syntax[c].name, syntax[c].args);
    fputs("       veeprom --help | --version\n"
          "FIELD: bootcause, address or scheme.  OFFSET, LENGTH: decimal or 0x-hex.\n",
          stdout);
}

// One line on stderr; the status to exit with.
__attribute__((format(printf, 2, 3))) int fail(int status, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fputs("veeprom: ", stderr);
    vfprintf(stderr, format, args);
    fputs("\n", stderr);
    va_end(args);
    return status;
}

int store_fails(const char *what) { return fail(store_failed, "cannot %s the store", what); }

// The index of `name` in a table of names, or n when it is not there.
template <class Table, size_t n> int find(const Table (&table)[n], const char *name)
{
    int i = 0;
    while (i < static_cast<int>(n) && strcmp(table[i].name, name) != 0)
        ++i;
    return i;
}

bool is_boot_word(const char *value)
{
    for (const auto &word : layout::boot_words)
        if (strcmp(word, value) == 0)
            return true;
    return false;
}

// ---- field values -------------------------------------------------------

// A field's value as show and get print it.  The address is dotted, or none
// when its first byte is 0.  A text field runs to its first zero byte;
// bytes that would not show, and the backslash that starts an escape, are
// written as \xHH, so the text always reads back unambiguously.
using Text = char[4 * 8 + 1];

void decode(int f, const unsigned char *bytes, Text &out)
{
    if (f == address) {
        if (bytes[0] == 0)
            memcpy(out, "none", 5);
        else
            snprintf(out, sizeof out, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        return;
    }
    char *o = out;
    for (int i = 0; i < field_info[f].len && bytes[i] != 0; ++i) {
        const unsigned char b = bytes[i];
        if (b < 0x20 || b > 0x7E || b == '\\')
            o += snprintf(o, 5, "\\x%02x", b);
        else
            *o++ = static_cast<char>(b);
    }
    *o = '\0';
}

// The bytes set stores for a value, zero-padded; false when the field does
// not take the value.
bool encode(int f, const char *value, unsigned char (&bytes)[8])
{
    memset(bytes, 0, sizeof bytes);
    if (f == address) {
        if (strcmp(value, "none") == 0)
            return true;
        unsigned char ip[layout::address_len] = {};
        int parts = 0;
        const layout::Parse parsed = layout::parse_address(value, ip, parts);
        memcpy(bytes, ip, sizeof ip);
        return layout::storable(parsed, parts, ip);
    }
    if (strcmp(value, "none") == 0 && f == scheme)
        return true;
    if (f == bootcause ? !is_boot_word(value) : strcmp(value, layout::ab_marker) != 0)
        return false;
    memcpy(bytes, value, strnlen(value, sizeof bytes)); // recovery fills all 8
    return true;
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
    const char *digits = text + 2 * hex;
    const char *end = past_digits(digits, hex ? 16 : 10);
    const long v = strtol(digits, nullptr, hex ? 16 : 10); // LONG_MAX when too long
    value = static_cast<uint32_t>(v);
    return *end == '\0' && end != digits && v <= long{UINT32_MAX};
}

// Pairs of hex digits, at least one.  The library's text check comes
// first; it also admits the characters between the digits and the letters,
// which are no hex digits.
bool hex_bytes(const char *hex)
{
    const size_t len = strlen(hex);
    return parameter_check(hex, static_cast<int64_t>(len)) == 0 && len > 0 && len % 2 == 0 && *past_digits(hex, 16) == '\0';
}

// ---- with the store open ------------------------------------------------

// Strings as JSON requires: quote, backslash and control bytes escaped (the
// decoded fields are printable ASCII already).
void json_string(const char *s)
{
    fputs("\"", stdout);
    for (; *s != '\0'; ++s) {
        const auto c = static_cast<unsigned char>(*s);
        printf(c == '"' || c == '\\' ? "\\%c" : c < 0x20 ? "\\u%04x" : "%c", c);
    }
    fputs("\"", stdout);
}

// One "name: value" a line, or one JSON object on one line.
void show_fields(bool json, const Text (&values)[fields])
{
    const char *medium = veeprom::bootmode == veeprom::medium_volume ? "ubi"
                         : veeprom::bootmode == veeprom::medium_raw  ? "mtd"
                                                                     : "emmc";
    const char *shown[] = {medium, veeprom::device_path, values[bootcause], values[address], values[scheme]};
    for (int i = 0; i < 5; ++i) {
        const char *name = i == 0 ? "medium" : i == 1 ? "device" : field_info[i - 2].name;
        printf(json ? "%s\"%s\":" : "%.0s%s: ", i == 0 ? "{" : ",", name);
        json ? json_string(shown[i]) : (void)puts(shown[i]);
    }
    fputs(json ? "}\n" : "", stdout);
}

// The window of the medium the store was found on.
int window() { return veeprom::bootmode == veeprom::medium_volume ? veeprom::block_size : veeprom::sector_size; }

struct Request {
    int command;
    bool json;
    int field;
    unsigned char value[8]; // set: the bytes to store
    uint32_t offset;
    uint32_t length; // write: the bytes the hex text gives
    const char *hex;
};

int perform(const Request &r)
{
    const int c = r.command;
    const auto offset = static_cast<int>(r.offset);
    const auto length = static_cast<int>(r.length);
    if (c == read || c == write || c == clear) {
        // Checked before any transfer, so a refused range stores nothing.
        const auto size = static_cast<uint64_t>(window());
        if (uint64_t{r.offset} + r.length > size)
            return fail(misuse, "range %u+%u is outside the %d-byte window", r.offset, r.length, window());
    }
    unsigned char bytes[veeprom::block_size] = {};
    // One read gives every field (show, get, and the scheme that decides
    // whether recovery may be set), or the range asked for.
    constexpr int from = layout::boot_word.at;
    const bool recovery = c == set && r.field == bootcause && memcmp(r.value, layout::recovery_word, 8) == 0;
    if ((c == show || c == get || c == read || recovery) &&
        veeprom_read(c == read ? offset : from, reinterpret_cast<char *>(bytes), c == read ? length : layout::scheme.end() - from) < 0)
        return store_fails("read");
    Text values[fields];
    for (int f = 0; f < fields; ++f)
        decode(f, bytes + field_info[f].at - from, values[f]);
    switch (c) {
    case show:
        show_fields(r.json, values);
        return done;
    case get:
        puts(values[r.field]);
        return done;
    case set:
        if (recovery && strcmp(values[scheme], layout::ab_marker) == 0)
            return fail(misuse, "recovery is refused on an AB model");
        return veeprom_write(field_info[r.field].at, reinterpret_cast<const char *>(r.value), field_info[r.field].len) < 0
                   ? store_fails("write")
                   : done;
    case dump:
        return veeprom_dump() < 0 ? store_fails("read") : done;
    case read:
        for (int i = 0; i < length; ++i)
            printf("%02x", bytes[i]);
        puts("");
        return done;
    case write:
        for (int i = 0; i < length; ++i)
            bytes[i] = static_cast<unsigned char>(hex_digit(r.hex[2 * i]) << 4 | hex_digit(r.hex[2 * i + 1]));
        return veeprom_write(offset, reinterpret_cast<const char *>(bytes), length) < 0 ? store_fails("write") : done;
    case clear:
        return veeprom_clear(offset, length) < 0 ? store_fails("clear") : done;
    default:
        return veeprom_format() < 0 ? store_fails("clear") : done;
    }
}

// ---- the command line ---------------------------------------------------

// Checks the whole command line before the store is opened: a usage error
// never reaches the store.  -1 when the request is complete, else the status
// to exit with (help and version end here too).
int parse(int argc, char **argv, Request &r)
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
    const bool flag = strcmp(name, "--json") == 0; // veeprom --json: show is implied
    r.command = flag ? show : find(syntax, name);
    const int c = r.command;
    if (c == commands)
        return fail(misuse, "unknown command '%s'", name);
    // As many arguments as the usage line names; show takes --json only.
    r.json = flag || (c == show && n == 1 && strcmp(arg[0], "--json") == 0);
    if (n != syntax[c].count + (r.json && !flag))
        return fail(misuse, "usage: veeprom %s%s", syntax[c].name, syntax[c].args);

    if (c == get || c == set) {
        r.field = find(field_info, arg[0]);
        if (r.field == fields)
            return fail(misuse, "unknown field '%s'", arg[0]);
        if (c == set && !encode(r.field, arg[1], r.value))
            return fail(misuse, "%s takes %s, not '%s'", arg[0], field_info[r.field].takes, arg[1]);
    }
    if (c == read || c == write || c == clear) {
        const char *bad = !number(arg[0], r.offset) ? arg[0] : c != write && !number(arg[1], r.length) ? arg[1] : nullptr;
        if (bad != nullptr)
            return fail(misuse, "'%s' is not a 32-bit decimal or 0x-hex number", bad);
        if (c == write) {
            if (!hex_bytes(arg[1]))
                return fail(misuse, "write takes pairs of hex digits, not '%s'", arg[1]);
            r.hex = arg[1];
            r.length = static_cast<uint32_t>(strlen(arg[1]) / 2);
        }
    }
    return -1;
}

int run(int argc, char **argv)
{
    Request r{};
    const int parsed = parse(argc, argv, r);
    if (parsed >= 0)
        return parsed;
    if (veeprom_init() < 0)
        return store_fails("open");
    const int status = perform(r);
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
        return fail(store_failed, "cannot write the output");
    return status;
}
