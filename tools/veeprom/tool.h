// SPDX-License-Identifier: MIT
// What veeprom's files share: the commands, the exit statuses, the one-line
// failure, and what each file does for the command line.
#ifndef VEEPROM_TOOL_H
#define VEEPROM_TOOL_H

#include "settings.h"

#include <cstdint>
#include <cstdio>

namespace tool {

// Exit statuses: a script tells a store that failed from a request that was
// wrong (and so stored nothing).
constexpr int done = 0;
constexpr int store_failed = 1;
constexpr int misuse = 2;

enum Command { show, get, set, load, image, dump, read, write, clear, format, commands };
constexpr bool reads(int c) { return c == show || c == get || c == dump || c == read; }

// One line on stderr, "veeprom: " and a format that ends the line; the
// status to exit with.  The prefix is written once, not in every format
// (the tool's size), and the formats are still checked where they stand.
[[gnu::format(printf, 2, 3)]] int fail(int status, const char *format, ...);
#define FAIL(status, ...) tool::fail(status, __VA_ARGS__)
// A command line veeprom cannot read: its line, then where to look.
int misused();
#define MISUSE(...) (FAIL(misuse, __VA_ARGS__), misused())

// A command as the command line gives it, every argument checked.
struct Request {
    int command = show;
    bool json = false;
    int field = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    const unsigned char *data = nullptr; // what write stores
    const char *file = nullptr;          // what load reads
    settings::Change change;             // what set stores
    settings::Loaded loaded;             // what load read
};

// The one line of a store failure (what: "open", "read", "write" or
// "clear"); store_failed.
int store_fails(const char *what);
// The settings file, whole ("-": standard input), read into r.loaded: done,
// or the status of the refusal.
int load_file(Request &r);
// The command, with the store open.
int act(Request &r);
// The image a factory programs, into `name` whole or not at all ("-":
// standard output).
int make_image(const char *medium, const char *name, const settings::Change &c);

} // namespace tool

#endif
