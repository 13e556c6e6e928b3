// SPDX-License-Identifier: MIT
// veeprom's commands on the store: show and get, set and load as one
// change judged on its result, check of what load would change, and the
// library's maintenance operations.
#include "tool.h"
#include "veeprom_board.h" // the configured names, for what was looked for
#include "tools.h"
#include "veeprom.h"

#include <cerrno>
#include <climits>
#include <cstring>

namespace tool {
namespace {

using veeprom::Medium;

// By Medium: its name.
constexpr char medium_names[][5] = {"emmc", "ubi", "mtd"};
// What discovery looks for on a medium, by the names this build was configured with.
constexpr const char *wanted(Medium m)
{
    return m == Medium::block    ? "no GPT partition named " VEEPROM_PARTITION " on " VEEPROM_EMMC_DISK
           : m == Medium::volume ? "no MTD partition named " VEEPROM_UBI_PARTITIONS_TEXT " to attach UBI from"
                                 : "no MTD partition named " VEEPROM_PARTITION;
}
static_assert(static_cast<int>(Medium::block) == 0 && static_cast<int>(Medium::volume) == 1 && static_cast<int>(Medium::raw) == 2);

// set and load: the change, and the verdict on it.
struct Edit {
    Request *r;
    settings::Verdict verdict = settings::Verdict::unchanged;
    bool bad = false; // a loaded value neither shown now nor one set takes
};

// The window changed by set or load; nothing to write back when every field
// already holds its value, or when the change is refused.
bool edit(unsigned char *window, int, void *context)
{
    auto &e = *static_cast<Edit *>(context);
    if (e.r->command != set && !settings::resolve(e.r->loaded, window, e.r->change)) {
        e.bad = true;
        return false;
    }
    e.verdict = settings::apply(e.r->change, window);
    return e.verdict == settings::Verdict::changed;
}

// write, clear and format on a file's window, as the library does them on
// the board's.
bool change(unsigned char *window, int, void *context)
{
    const auto &r = *static_cast<const Request *>(context);
    if (r.command == write)
        memcpy(window + r.offset, r.data, r.length);
    else
        memset(window + r.offset, 0, r.length);
    return true;
}

// A refused settings file: its name, the line and why.
int refused(const Request &r)
{
    const settings::Loaded &l = r.loaded;
    if (l.problem == settings::Problem::not_json)
        return FAIL(misuse, "%s: line %d, column %d: not JSON\n", r.file, l.line, l.column);
    static constexpr char why[][15] = {"", "malformed line", "unknown key", "bad value for ", ""};
    const bool named = l.problem == settings::Problem::bad_value || l.problem == settings::Problem::repeated;
    return FAIL(misuse, "%s: line %d: %s%s%s\n", r.file, l.line, why[static_cast<int>(l.problem)], named ? settings::key_name(l.key) : "",
                l.problem == settings::Problem::repeated ? " given twice" : "");
}

// check: the fields load would change, each as show prints it, stored then
// the file's; differs when there are any, done when there are none.
int compare(Request &r, const unsigned char *window)
{
    unsigned char after[layout::formatted];
    memcpy(after, window, sizeof after);
    Edit e{&r};
    edit(after, 0, &e);
    if (e.bad)
        return refused(r);
    if (e.verdict == settings::Verdict::refused)
        return ab_refused(r.change);
    for (int f = 0; f < settings::fields; ++f) {
        char was[settings::value_max], now[settings::value_max];
        const size_t n = settings::render(f, window, false, was), m = settings::render(f, after, false, now);
        if (n != m || memcmp(was, now, n) != 0)
            printf("%s: %.*s -> %.*s\n", settings::key_name(f), static_cast<int>(n), was, static_cast<int>(m), now);
    }
    return e.verdict == settings::Verdict::changed ? differs : done;
}

} // namespace

int ab_refused(const settings::Change &c)
{
    const bool word = c.given[settings::bootcause], scheme = c.given[settings::scheme];
    return FAIL(misuse, "recovery is refused on an AB model: bootcause recovery (%s), scheme AB (%s); set %s in the same command\n",
                word ? "given" : "stored", scheme ? "given" : "stored",
                word && !scheme ? "scheme to none" : "bootcause to another word");
}

// What failed, where and why: the probe that could not read its file, the
// device (or, before one was found, what was looked for on which medium),
// and errno's reason.
int store_fails(const char *what)
{
    const int failure = errno;
    veeprom::Where w{};
    veeprom::where(w);
    if (w.probe != nullptr)
        return FAIL(store_failed, "cannot probe the boot medium: %s%s%s\n", w.probe, w.probe_error != 0 ? ": " : " gave no data",
                    w.probe_error != 0 ? strerror(w.probe_error) : "");
    const char *held = failure == EWOULDBLOCK ? "its lock" : failure == EBUSY ? "the volume open" : nullptr;
    char busy[64];
    if (held != nullptr)
        snprintf(busy, sizeof busy, "busy: another process held %s past the 5 s wait", held);
    const char *why = held != nullptr ? busy : strerror(failure);
    const int m = static_cast<int>(w.medium);
    if (w.device[0] != '\0')
        return FAIL(store_failed, "%s: cannot %s the store: %s\n", w.device, what, why);
    if (w.absent)
        return FAIL(store_failed, "%s\n", wanted(w.medium));
    return FAIL(store_failed, "cannot find the store on %s: %s\n", medium_names[m], why);
}

int load_file(Request &r)
{
    char text[4097]; // more than show prints in either form, by far (on the stack: no bss for a rare command)
    const bool in = strcmp(r.file, "-") == 0;
    FILE *f = in ? stdin : fopen(r.file, "r");
    const size_t got = f == nullptr ? 0 : fread(text, 1, sizeof text, f);
    const bool failed = f == nullptr || ferror(f) != 0;
    const int failure = errno;
    if (f != nullptr && !in)
        fclose(f);
    if (failed)
        return FAIL(misuse, "%s: cannot read it: %s\n", r.file, strerror(failure));
    if (got == sizeof text)
        return FAIL(misuse, "%s: longer than %d bytes\n", r.file, static_cast<int>(sizeof text - 1));
    r.loaded = settings::parse(text, got);
    return r.loaded.problem == settings::Problem::none ? done : refused(r);
}

int act(Request &r)
{
    const int c = r.command;
    const bool file = r.path != nullptr;
    veeprom::Where w{};
    if (!file)
        veeprom::where(w);
    if (c == set || c == load) {
        Edit e{&r};
        const int status = file ? file_update(r, edit, &e) : veeprom::update(edit, &e) < 0 ? store_fails("write") : done;
        if (status != done)
            return status;
        if (e.bad)
            return refused(r);
        return e.verdict == settings::Verdict::refused ? ab_refused(r.change) : done;
    }
    // Ranges are checked before any transfer, so a refused one stores nothing.
    const int window = file ? window_of(r.medium) : w.medium == Medium::volume ? 2048 : 512;
    if (uint64_t{r.offset} + r.length > static_cast<uint64_t>(window))
        return FAIL(misuse, "range %u+%u is outside the %d-byte window\n", r.offset, r.length, window);
    if (c == clear && r.length == 0)
        return done; // nothing to clear: nothing written
    if (c == format)
        r.length = 256; // what the library's format clears
    // One read gives every field (show, get), or the range asked for.
    unsigned char bytes[2048] = {};
    if (file && c != write && c != clear && c != format) {
        if (const int status = file_read(r, bytes); status != done)
            return status;
        if (c == read)
            memmove(bytes, bytes + r.offset, r.length);
    } else if ((c == show || c == get || c == read || c == check) &&
               veeprom_read(c == read ? static_cast<int>(r.offset) : 0, reinterpret_cast<char *>(bytes),
                            c == read ? static_cast<int>(r.length) : layout::scheme.end()) < 0) {
        return store_fails("read");
    }
    if (c == check)
        return compare(r, bytes);
    // A file's path may be as long as the system takes one, every byte of it
    // escaped.
    char out[settings::shown_max + size_t{6} * PATH_MAX];
    const size_t n = c == show  ? settings::show(bytes, file ? media[r.medium] : medium_names[static_cast<int>(w.medium)],
                                                 file ? r.path : w.device, r.json, out)
                     : c == get ? settings::render(r.field, bytes, false, out)
                                : 0;
    fwrite(out, 1, n, stdout);
    if (c == get)
        puts("");
    if (c == read) {
        for (uint32_t i = 0; i < r.length; ++i)
            printf("%02x", bytes[i]);
        puts("");
    }
    if (c == show || c == get || c == read)
        return done;
    if (file && c == dump) {
        puts("veeprom:");
        veeprom::dump_lines(bytes);
        return done;
    }
    if (file)
        return file_update(r, change, &r);
    if (c == write)
        return veeprom_write(static_cast<int>(r.offset), reinterpret_cast<const char *>(r.data), static_cast<int>(r.length)) < 0
                   ? store_fails("write")
                   : done;
    if (c == dump)
        return veeprom_dump() < 0 ? store_fails("read") : done;
    return (c == clear ? veeprom_clear(static_cast<int>(r.offset), static_cast<int>(r.length)) : veeprom_format()) < 0
               ? store_fails("clear")
               : done;
}

} // namespace tool
