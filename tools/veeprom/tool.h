// SPDX-License-Identifier: MIT
// What veeprom's files share: the commands, the exit statuses, the one-line
// failure, and what each file does for the command line.
#ifndef VEEPROM_TOOL_H
#define VEEPROM_TOOL_H

#include "settings.h"

#include <cstdint>
#include <cstdio>

namespace tool {

// The media an image or a dump is of, as the command line names them.
inline constexpr char media[][5] = {"ubi", "mtd", "emmc"};
enum { ubi_medium, mtd_medium, emmc_medium };

// Exit statuses: a script tells a store that failed from a request that was
// wrong (and so stored nothing).
constexpr int done = 0;
constexpr int store_failed = 1;
constexpr int misuse = 2;
constexpr int differs = 3; // check: load would change the store

enum Command { show, get, set, load, check, image, dump, read, write, clear, format, commands };
constexpr bool reads(int c) { return c == show || c == get || c == check || c == dump || c == read; }

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
    const char *file = nullptr;          // what load and check read
    settings::Change change;             // what set stores
    settings::Loaded loaded;             // what load read
    const char *path = nullptr;          // --store: the image or dump in place of the board's store
    int medium = 0;                      // ...of this one of media
};

// The one line of a store failure (what: "open", "read", "write" or
// "clear"); store_failed.
int store_fails(const char *what);
// The settings file, whole ("-": standard input), read into r.loaded: done,
// or the status of the refusal.
int load_file(Request &r);
// The command, with the board's store open, or on r.path.
int act(Request &r);
// A change refused by the AB rule: which field holds recovery and which AB,
// each given or stored, and the way out; misuse.
int ab_refused(const settings::Change &c);

// ---- an image or dump (file.cpp) -------------------------------------------
// Its window: 2048 bytes (ubi), 512 (mtd, emmc) at offset 0.
constexpr int window_of(int medium) { return medium == ubi_medium ? 2048 : 512; }
// The whole window into `window`: done, or the status of the failure, said.
int file_read(const Request &r, unsigned char *window);
// The window read, changed by `edit` and, when it changed, written back:
// done, or the status of the failure, said.  Nothing else in the file
// changes.
int file_update(const Request &r, bool (*edit)(unsigned char *window, int size, void *context), void *context);
// A target that is no regular file: refused, as image refuses it.
int not_regular(const char *name);
// The image a factory programs, into `name` whole or not at all ("-":
// standard output).
int make_image(const char *medium, const char *name, const settings::Change &c);

} // namespace tool

#endif
