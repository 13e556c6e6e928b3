// SPDX-License-Identifier: MIT
// veeprom: inspect and provision the store: the medium and device it is on,
// every field decoded, several fields changed at once or loaded from what
// show printed, the images a factory programs, and the library's maintenance
// operations.
//
// Sized for the board like the other tools: tables hold text, not pointers
// (no relocations at start-up), and each library call has one call site.
#include "layout.h"
#include "settings.h"
#include "tools.h"
#include "veeprom.h"

#include <cerrno>
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

enum Command { show, get, set, load, image, dump, read, write, clear, format, commands };
constexpr struct {
    char name[7];
    char args[40]; // as the usage line shows them
    unsigned char count; // the arguments; set and image take FIELD VALUE pairs after them
} syntax[commands] = {{"show", " [--json]", 0},
                      {"get", " FIELD", 1},
                      {"set", " FIELD VALUE [FIELD VALUE]...", 2},
                      {"load", " FILE|-", 1},
                      {"image", " ubi|mtd|emmc FILE|- [FIELD VALUE]...", 2},
                      {"dump", "", 0},
                      {"read", " OFFSET LENGTH", 2},
                      {"write", " OFFSET HEX", 2},
                      {"clear", " OFFSET LENGTH", 2},
                      {"format", "", 0}};

using settings::address;
using settings::field_info;
using settings::fields;
using veeprom::Medium;

// By Medium: its name, and what discovery looks for on it.
constexpr char medium_names[][5] = {"emmc", "ubi", "mtd"};
constexpr char wanted[][56] = {"no GPT partition named veeprom on /dev/mmcblk0", "no MTD partition named env or boot to attach UBI from",
                               "no MTD partition named veeprom"};
static_assert(static_cast<int>(Medium::block) == 0 && static_cast<int>(Medium::volume) == 1 && static_cast<int>(Medium::raw) == 2);

// The usage lines come from the table above.
void usage()
{
    for (int c = 0; c < commands; ++c)
        printf("%s veeprom %s%s\n", c == 0 ? "usage:" : "      ", syntax[c].name, syntax[c].args);
    fputs("       veeprom --help | --version\n"
          "FIELD VALUE: bootcause normal|recovery|uboot|boot|system|all, address IPv4|none,\n"
          "scheme AB|none.  FILE: what show prints, either form.  OFFSET, LENGTH: decimal\n"
          "or 0x-hex.\n",
          stdout);
}

// One line on stderr, "veeprom: " and a literal format that ends the line;
// the status to exit with.  A macro, so that no variable argument list is
// kept and each format is checked where it is written.
#define FAIL(status, ...) (fprintf(stderr, "veeprom: " __VA_ARGS__), (status))

// What failed, where and why: the device (or, before one was found, what
// was looked for on which medium) and errno's reason.
int store_fails(const char *what)
{
    const int failure = errno;
    veeprom::Where w{};
    veeprom::where(w);
    const char *why = failure == EWOULDBLOCK ? "busy: another process held its lock past the 5 s wait"
                      : failure == EBUSY     ? "busy: another process held the volume open past the 5 s wait"
                                             : strerror(failure);
    const int m = static_cast<int>(w.medium);
    if (w.device[0] != '\0')
        return FAIL(store_failed, "%s: cannot %s the store: %s\n", w.device, what, why);
    if (w.absent)
        return FAIL(store_failed, "%s\n", wanted[m]);
    return FAIL(store_failed, "cannot find the store on %s: %s\n", medium_names[m], why);
}

// The index of `name` in a table of names, or n when it is not there.
template <class Table, size_t n> int find(const Table (&table)[n], const char *name)
{
    int i = 0;
    while (i < static_cast<int>(n) && strcmp(table[i].name, name) != 0)
        ++i;
    return i;
}

// ---- values -------------------------------------------------------------

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
void show_fields(bool json, const unsigned char *bytes, const veeprom::Where &w)
{
    printf(json ? "{\"medium\":\"%s\",\"device\":\"%s\"" : "medium: %s\ndevice: %s\n", medium_names[static_cast<int>(w.medium)],
           w.device);
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

// ---- changes of several fields -----------------------------------------

// The FIELD VALUE pairs, every one checked: the change they make, or the
// status of the refusal.
int pairs(char **arg, int n, settings::Change &c)
{
    for (int i = 0; i + 1 < n; i += 2) {
        const int f = settings::field_named(arg[i], strlen(arg[i]));
        if (f == fields)
            return FAIL(misuse, "unknown field '%s'\n", arg[i]);
        if (!settings::encode(f, arg[i + 1], c.bytes[f]))
            return FAIL(misuse, "%s cannot be '%s'\n", arg[i], arg[i + 1]);
        c.given[f] = true;
    }
    return done;
}

// The settings file, whole ("-": standard input): the change it makes, or the
// status of the refusal.
int load_file(const char *name, settings::Change &c)
{
    char text[4097]; // more than show prints in either form, by far (on the stack: no bss for a rare command)
    const bool in = strcmp(name, "-") == 0;
    FILE *f = in ? stdin : fopen(name, "r");
    const size_t got = f == nullptr ? 0 : fread(text, 1, sizeof text, f);
    const bool failed = f == nullptr || ferror(f) != 0;
    const int failure = errno;
    if (f != nullptr && !in)
        fclose(f);
    if (failed)
        return FAIL(misuse, "%s: cannot read it: %s\n", name, strerror(failure));
    if (got == sizeof text)
        return FAIL(misuse, "%s: longer than %d bytes\n", name, static_cast<int>(sizeof text - 1));
    const settings::Loaded l = settings::parse(text, got);
    static constexpr char why[][16] = {"", "malformed line", "unknown key", "bad value for ", "key given twice"};
    if (l.problem != settings::Problem::none)
        return FAIL(misuse, "%s: line %d: %s%s\n", name, l.line, why[static_cast<int>(l.problem)],
                    l.problem == settings::Problem::bad_value ? field_info[l.field].name : "");
    c = l.change;
    return done;
}

struct Edit {
    const settings::Change *change;
    bool refused;
};

// The store's window changed by set or load; nothing to write back when the
// fields already hold their values, or when the result is refused.
bool edit(unsigned char *window, int, void *context)
{
    auto &e = *static_cast<Edit *>(context);
    unsigned char before[layout::formatted];
    memcpy(before, window, sizeof before);
    e.refused = !settings::apply(*e.change, window);
    return memcmp(before, window, sizeof before) != 0;
}

// The bytes a factory programs before a board first boots: the volume's
// 2048-byte window, raw flash's 64 KiB erase block as a board's own write
// leaves it on new flash (the 512-byte window, then erased bytes), or the
// eMMC partition's 512-byte sector.  The rest of the window is zero.
int make_image(const char *medium, const char *name, const settings::Change &c)
{
    static constexpr char media[][5] = {"ubi", "mtd", "emmc"};
    int m = 0;
    while (m < 3 && strcmp(media[m], medium) != 0)
        ++m;
    if (m == 3)
        return FAIL(misuse, "unknown medium '%s': ubi, mtd or emmc\n", medium);
    unsigned char block[2048] = {};
    if (!settings::apply(c, block))
        return FAIL(misuse, "recovery is refused on an AB model\n");
    const bool out = strcmp(name, "-") == 0;
    FILE *f = out ? stdout : fopen(name, "wb");
    if (m == 1)
        memset(block + 512, 0xFF, sizeof block - 512);
    bool ok = f != nullptr && fwrite(block, m == 2 ? 512 : sizeof block, 1, f) == 1;
    memset(block, 0xFF, sizeof block);
    for (int i = 1; ok && m == 1 && i < 0x10000 / static_cast<int>(sizeof block); ++i)
        ok = fwrite(block, sizeof block, 1, f) == 1;
    ok = ok && fflush(f) == 0;
    const int failure = errno;
    if (f != nullptr && !out)
        ok = fclose(f) == 0 && ok;
    return ok ? done : FAIL(store_failed, "%s: cannot write the image: %s\n", name, strerror(ok ? errno : failure));
}

// ---- the store's commands -----------------------------------------------

// The command, with the store open.
int act(int c, bool json, int f, uint32_t offset, uint32_t length, const unsigned char *data, const settings::Change &change)
{
    veeprom::Where w{};
    veeprom::where(w);
    if (c == set || c == load) {
        Edit e{&change, false};
        if (veeprom::update(edit, &e) < 0)
            return store_fails("write");
        return e.refused ? FAIL(misuse, "recovery is refused on an AB model\n") : done;
    }
    // Ranges are checked before any transfer, so a refused one stores nothing.
    const int window = w.medium == Medium::volume ? 2048 : 512;
    if (uint64_t{offset} + length > static_cast<uint64_t>(window))
        return FAIL(misuse, "range %u+%u is outside the %d-byte window\n", offset, length, window);
    // One read gives every field (show, get), or the range asked for.
    constexpr int from = layout::boot_word.at;
    unsigned char bytes[2048] = {};
    if ((c == show || c == get || c == read) &&
        veeprom_read(c == read ? static_cast<int>(offset) : from, reinterpret_cast<char *>(bytes),
                     c == read ? static_cast<int>(length) : layout::scheme.end() - from) < 0)
        return store_fails("read");
    if (c == show)
        show_fields(json, bytes, w);
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
    if (c == write)
        return veeprom_write(static_cast<int>(offset), reinterpret_cast<const char *>(data), static_cast<int>(length)) < 0
                   ? store_fails("write")
                   : done;
    if (c == dump)
        return veeprom_dump() < 0 ? store_fails("read") : done;
    return (c == clear ? veeprom_clear(static_cast<int>(offset), static_cast<int>(length)) : veeprom_format()) < 0
               ? store_fails("clear")
               : done;
}

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
    // As many arguments as the usage line names; show takes --json only, set
    // and image more FIELD VALUE pairs.
    const bool json = flag || (c == show && n == 1 && strcmp(arg[0], "--json") == 0);
    const int more = n - syntax[c].count - (json && !flag);
    if (more < 0 || (more != 0 && (c != set && c != image)) || more % 2 != 0)
        return FAIL(misuse, "usage: veeprom %s%s\n", syntax[c].name, syntax[c].args);

    int f = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    unsigned char data[2048] = {}; // what write stores
    settings::Change change;       // what set and load store
    if (c == get) {
        f = settings::field_named(arg[0], strlen(arg[0]));
        if (f == fields)
            return FAIL(misuse, "unknown field '%s'\n", arg[0]);
        offset = field_info[f].at;
        length = field_info[f].len;
    }
    const int refused = c == set ? pairs(arg, n, change) : c == image ? pairs(arg + 2, n - 2, change) : c == load ? load_file(arg[0], change) : done;
    if (refused != done)
        return refused;
    if (c == image)
        return make_image(arg[0], arg[1], change);
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

    veeprom_messages_to(stderr); // standard output carries the answer only
    if (veeprom_init() < 0)
        return store_fails("open");
    const int status = act(c, json, f, offset, length, data, change);
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
