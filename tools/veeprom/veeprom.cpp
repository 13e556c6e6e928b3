// SPDX-License-Identifier: MIT
// veeprom: inspect and provision the store: the medium and device it is on,
// every field decoded, several fields changed at once or loaded from what
// show printed, the images a factory programs, and the library's maintenance
// operations.  This file reads the command line; store.cpp runs the commands
// on the store, image.cpp writes images.
//
// Sized for the board like the other tools: tables hold text, not pointers
// (no relocations at start-up), and each library call has one call site.
#include "json.h"
#include "veeprom_board.h" // the configured paths, for --help
#include "tool.h"
#include "tools.h"
#include "veeprom.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace tool {
namespace {

constexpr struct {
    char name[7];
    unsigned char count; // the arguments; set and image take FIELD VALUE pairs after them
} syntax[commands] = {{"show", 0}, {"get", 1},  {"set", 2},   {"load", 1},  {"check", 1}, {"image", 2},
                      {"dump", 0}, {"read", 2}, {"write", 2}, {"clear", 2}, {"format", 0}};
// The arguments as each command's usage line shows them, in the table's
// order, one after another (no table of pointers: nothing to relocate).
constexpr char usage_args[] = " [--json]\0 FIELD\0 FIELD VALUE [FIELD VALUE]...\0 FILE|-\0 FILE|-\0 ubi|mtd|emmc FILE|- [FIELD VALUE]...\0"
                              "\0 OFFSET LENGTH\0 OFFSET HEX\0 OFFSET LENGTH\0";

const char *args_of(int c)
{
    const char *a = usage_args;
    for (; c > 0; --c)
        a += strlen(a) + 1;
    return a;
}

void usage()
{
    for (int c = 0; c < commands; ++c)
        printf("%s veeprom %s%s\n", c == 0 ? "usage:" : "      ", syntax[c].name, args_of(c));
    fputs("       veeprom --store ubi|mtd|emmc:FILE COMMAND ...  (an image or dump, not the board's store)\n"
          "       veeprom -h|--help | -V|--version\n"
          "FIELD VALUE: bootcause normal|recovery|uboot|boot|system|all, address IPv4|none,\n"
          "scheme AB|none.  FILE: what show printed.  OFFSET, LENGTH: decimal or 0x-hex.\n"
          // The paths this build was configured with (a board variant's may differ).
          "Store: " VEEPROM_UBI_VOLUME " (UBI on " VEEPROM_UBI_PARTITIONS_TEXT "), MTD or GPT (" VEEPROM_EMMC_DISK ") " VEEPROM_PARTITION "\n",
          stdout);
}

} // namespace

int fail(int status, const char *format, ...)
{
    fputs("veeprom: ", stderr);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args); // NOLINT(clang-analyzer-valist.Uninitialized): started just above
    va_end(args);
    return status;
}

[[gnu::noinline]] int misused()
{
    fputs("Try 'veeprom --help'.\n", stderr);
    return misuse;
}

namespace {

int command_named(const char *name)
{
    int c = 0;
    while (c < commands && strcmp(syntax[c].name, name) != 0)
        ++c;
    return c;
}

// Past the digits of the base that start the text.
const char *past_digits(const char *c, int base)
{
    while (*c != '\0' && settings::json::hex_digit(*c) >= 0 && settings::json::hex_digit(*c) < base)
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

// The FIELD VALUE pairs, every one checked, as load checks a file: the
// change they make, or the status of the refusal.
int pairs(char **arg, int n, settings::Change &c)
{
    for (int i = 0; i + 1 < n; i += 2) {
        const int f = settings::key_named(arg[i], strlen(arg[i]));
        if (f >= settings::fields)
            return MISUSE("unknown field '%s'\n", arg[i]);
        if (c.given[f])
            return FAIL(misuse, "%s given twice\n", arg[i]);
        if (!settings::encode(f, arg[i + 1], strlen(arg[i + 1]), c.bytes[f]))
            return FAIL(misuse, "%s cannot be '%s'\n", arg[i], arg[i + 1]);
        c.given[f] = true;
    }
    return done;
}

// Pairs of hex digits, at least one, into data.  The library's text check
// comes first; it also admits the characters between the digits and the
// letters, which are no hex digits.
int hex_text(const char *hex, unsigned char (&data)[2048], uint32_t &length)
{
    const size_t len = strlen(hex);
    if (parameter_check(hex, static_cast<int64_t>(len)) != 0 || len == 0 || len % 2 != 0 || *past_digits(hex, 16) != '\0')
        return FAIL(misuse, "write takes pairs of hex digits, not '%s'\n", hex);
    length = static_cast<uint32_t>(len / 2);
    for (size_t i = 0; i < length && i < sizeof data; ++i)
        data[i] = static_cast<unsigned char>(settings::json::hex_digit(hex[2 * i]) << 4 | settings::json::hex_digit(hex[2 * i + 1]));
    return done;
}

// --store MEDIUM:FILE: the medium and file into r; done, or the status of
// the refusal.
int store_named(const char *text, Request &r)
{
    const char *colon = strchr(text, ':');
    const size_t n = colon == nullptr ? 0 : static_cast<size_t>(colon - text);
    r.medium = 0;
    while (r.medium < 3 && (strlen(media[r.medium]) != n || memcmp(media[r.medium], text, n) != 0))
        ++r.medium;
    if (colon == nullptr || colon[1] == '\0')
        return MISUSE("--store takes MEDIUM:FILE, not '%s'\n", text);
    if (r.medium == 3)
        return MISUSE("unknown medium '%.*s': ubi, mtd or emmc\n", static_cast<int>(n), text);
    r.path = colon + 1;
    return done;
}

int run(int argc, char **argv)
{
    // An image or a dump in place of the board's store: the command follows.
    Request r;
    if (argc > 1 && strcmp(argv[1], "--store") == 0) {
        if (argc < 3)
            return MISUSE("--store takes MEDIUM:FILE\n");
        if (const int refused = store_named(argv[2], r); refused != done)
            return refused;
        argc -= 2;
        argv += 2;
    }
    const char *name = argc > 1 ? argv[1] : "show";
    char **arg = argv + 2;
    const int n = argc > 2 ? argc - 2 : 0;
    // -h and -V as the flash tools and fw_printenv take them, alone.
    const bool help = strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0;
    if (help || strcmp(name, "--version") == 0 || strcmp(name, "-V") == 0) {
        if (n != 0)
            return MISUSE("usage: veeprom %s\n", name);
        if (help)
            usage();
        else
            puts("veeprom " VEEPROM_VERSION);
        return done;
    }
    // The whole command line is checked before the store is opened: a usage
    // error never reaches the store.
    const bool flag = strcmp(name, "--json") == 0; // veeprom --json: show is implied
    const int c = flag ? show : command_named(name);
    if (c == commands)
        return MISUSE("unknown command '%s'\n", name);
    r.command = c;
    // As many arguments as the usage line names; show takes --json only, set
    // and image more FIELD VALUE pairs.
    r.json = flag || (c == show && n == 1 && strcmp(arg[0], "--json") == 0);
    const int more = n - syntax[c].count - (r.json && !flag);
    if (more < 0 || (more != 0 && (c != set && c != image)) || more % 2 != 0)
        return MISUSE("usage: veeprom %s%s\n", syntax[c].name, args_of(c));

    unsigned char data[2048] = {};
    if (c == get) {
        r.field = settings::key_named(arg[0], strlen(arg[0]));
        if (r.field >= settings::fields)
            return MISUSE("unknown field '%s'\n", arg[0]);
        r.offset = settings::field_info[r.field].at;
        r.length = settings::field_info[r.field].len;
    }
    r.file = c == load || c == check ? arg[0] : nullptr;
    const int refused = c == set ? pairs(arg, n, r.change) : c == image ? pairs(arg + 2, n - 2, r.change) : r.file != nullptr ? load_file(r) : done;
    if (refused != done)
        return refused;
    if (c == image && r.path != nullptr)
        return MISUSE("image writes a new file: it takes no --store\n");
    if (c == image)
        return make_image(arg[0], arg[1], r.change);
    if (c == read || c == write || c == clear) {
        const char *bad = !number(arg[0], r.offset) ? arg[0] : c != write && !number(arg[1], r.length) ? arg[1] : nullptr;
        if (bad != nullptr)
            return FAIL(misuse, "'%s' is not a 32-bit decimal or 0x-hex number\n", bad);
    }
    if (c == write && hex_text(arg[1], data, r.length) != done)
        return misuse;
    r.data = data;
    if (r.path != nullptr)
        return act(r); // no board: no probe, no library store

    veeprom_messages_to(stderr); // standard output carries the answer only
    // A reader needs no write access and flushes nothing.
    veeprom::open_for(reads(c) ? veeprom::Access::read : veeprom::Access::write);
    if (veeprom_init() < 0)
        return store_fails("open");
    const int status = act(r);
    veeprom_exit();
    return status;
}

} // namespace
} // namespace tool

// What the tool prints is its answer: output that could not be written is a
// failure, not a success.  A command that failed already said so, in one
// line.
int main(int argc, char **argv)
{
    const int status = tool::run(argc, argv);
    const bool written = fflush(stdout) == 0 && ferror(stdout) == 0;
    return (status != tool::done && status != tool::differs) || written ? status : FAIL(tool::store_failed, "cannot write the output\n");
}
