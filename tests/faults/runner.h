// SPDX-License-Identifier: MIT
// veeprom-faults: what its campaigns share.  A fresh board for each case,
// the board's files before and after a run, a tool or library operation run
// as a process of its own, the operations walked, and the counts every
// campaign adds to.  Each campaign (matrix, cuts, concurrent, hostile) lives
// in a file of its own; main.cpp picks them from the command line.
#ifndef VEEPROM_FAULTS_RUNNER_H
#define VEEPROM_FAULTS_RUNNER_H

#include "simboard.h"

#include <map>
#include <string>
#include <vector>

namespace faults {

using sim::Medium;

extern std::string work;  // a directory of our own; the board is work/b
extern std::string tools; // where drask_bootcause and drask_netaddr are
extern std::string self;  // this program, run again for each library operation
extern bool verbose;      // -v: every case of the fault matrix, not only the faulty

// ---- boards -------------------------------------------------------------

struct Setup {
    Medium medium;
    bool detached = false;    // ubi: the tools must attach UBI first
    bool with_address = true; // false: the stored address is 0.1.2.3
    bool static_volume = false; // ubi: atomic changes refused, a volume update instead
};

// The store of old_window() on a new board at work/b, with a stale address file.
sim::Board fresh_board(const Setup &s);

// Every file of the board: its bytes, or its kind for what is not a file.
using Tree = std::map<std::string, std::string>;
Tree snapshot(const sim::Board &b);

// The files of `after` that differ from `before` or are gone, but for those a
// run may change: the store, the address file, the simulated board's own
// logs and switches, and `also` when it is not empty.
std::vector<std::string> written_outside(const Tree &before, const Tree &after, const std::string &store,
                                         const std::string &also = "");

// ---- runs ---------------------------------------------------------------

struct Run {
    int status = 0; // exit status, or 128 + the signal that killed it
    int signal = 0;
    bool hung = false;
    std::string out, err, faults, result;
};

std::string slurp(const std::string &path); // empty when missing

// Runs a program on the board with stdout and stderr captured; one still
// running after `seconds` is killed and reported as hanging.  `path_prefix`
// goes before the PATH the program inherits; `closed`, when not -1, is a
// standard descriptor the program starts without.
Run spawn(const sim::Board &b, const std::vector<std::string> &args, const std::string &path_prefix = "", int seconds = 20,
          int closed = -1);
Run run_tool(const sim::Board &b, const std::string &tool, std::vector<std::string> args, const std::string &path_prefix = "",
             int seconds = 20, int closed = -1);

// ---- what is walked -----------------------------------------------------

enum class Lib { none, init, read, write, clear, format, dump, write_null };

struct Target {
    std::string name;
    Lib op = Lib::none;
    std::string tool = {}; // when not a library operation
    std::vector<std::string> args = {};
    size_t at = 0;          // the change a success makes
    std::string bytes = {}; // empty: the store must stay as it was
    bool erases = false;    // a write that erases raw flash first
    std::string out = {};                // a tool's output on success
    std::vector<std::string> fails = {}; // the tool's last line on each failure
    bool with_address = true;
    bool can_succeed = true;
};

std::vector<Target> targets();
inline bool writes(const Target &t) { return !t.bytes.empty(); }
std::string word(const char *w); // a boot target word as stored: 8 bytes
std::string new_image(const std::string &old, Medium m, const Target &t);

// The library operation, or a fresh process reading the window's first 256
// bytes ("read-window"), as this program runs them in a process of their own.
int lib_op(Lib op);
int read_window();
// Clients of one store: "threads", "fork" or "cancel"; "lost failed" to work/result.
int clients(const char *how, int rounds);

// One case: a fresh board, the fault switch (when not null) set to k, the run.
struct Case {
    sim::Board board;
    std::string old; // the store image before the run
    Tree before;     // every file before the run
    Run run;
};
Case run_case(const Target &t, const Setup &s, const char *switch_file = nullptr, long k = 0);
Run run_target(const sim::Board &b, const Target &t);

// ---- counts and campaigns -----------------------------------------------

struct Totals {
    long faults = 0, cuts = 0, signals = 0, silent = 0, wrong = 0, crashes = 0, leaks = 0, hangs = 0, lost = 0;
};
extern Totals totals;

void matrix();
void cuts(const char *only = nullptr); // only: that change alone, no image
void concurrent(int rounds);
void hostile();

} // namespace faults

#endif
