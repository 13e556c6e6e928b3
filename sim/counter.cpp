// SPDX-License-Identifier: MIT
// The simulated board's switches and counter: the root read once from
// $VEEPROM_ROOT, the fault switches under it, and every call of the seam
// counted, meeting the fault its number names (fail/step, short/step,
// cut/step, signal/step; delay/flock), each fault that fires noted in faults.log.
#include "seam.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

namespace board {
namespace {

struct Sim {
    bool loaded = false;
    const char *root = nullptr; // nullptr: the exact board paths
    long calls = 0;
    long fail_at = 0;  // the call that fails with EIO; 0 for none
    long short_at = 0; // the read or write that moves about half its bytes
    long cut_at = 0;   // the call before which the process dies; 0 for none
    long signal_at = 0; // the call before which SIGTERM is sent to the process
    bool unlocked = false; // skip/flock: locks granted without locking
    long delay_at = 0, delay_ms = 0, locks = 0; // delay/flock: the lock call that waits first, and how long
};
Sim state;

// The hooks use the C library directly: they are not the program's calls and
// must not move the counter.
long number_in(const char *rel)
{
    char p[PATH_MAX];
    char text[32] = {};
    int n = snprintf(p, sizeof p, "%s%s", state.root, rel);
    if (n < 0 || n >= static_cast<int>(sizeof p))
        return 0;
    int f = ::open(p, O_RDONLY | O_CLOEXEC);
    if (f < 0)
        return 0;
    ssize_t got = ::read(f, text, sizeof text - 1);
    ::close(f);
    return got > 0 ? strtol(text, nullptr, 10) : 0;
}

void load()
{
    if (state.loaded)
        return;
    state.loaded = true;
    const char *r = getenv("VEEPROM_ROOT");
    state.root = (r != nullptr && *r != '\0') ? r : nullptr;
    if (state.root != nullptr) {
        state.fail_at = number_in("/fail/step");
        state.short_at = number_in("/short/step");
        state.cut_at = number_in("/cut/step");
        state.signal_at = number_in("/signal/step");
        state.unlocked = sim::has("/skip/flock");
        state.delay_at = number_in("/delay/flock");
        state.delay_ms = state.delay_at > 0 ? number_in("/delay/ms") : 0;
    }
}

// Records an injected fault in faults.log ("fail 7 write"), so that whoever
// walks the faults knows which call each step hit.
void note(const char *what, const char *call)
{
    char p[PATH_MAX];
    char line[64];
    int n = snprintf(p, sizeof p, "%s/faults.log", state.root);
    int len = snprintf(line, sizeof line, "%s %ld %s\n", what, state.calls, call);
    if (n < 0 || n >= static_cast<int>(sizeof p) || len < 0 || len >= static_cast<int>(sizeof line))
        return;
    int f = ::open(p, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (f < 0)
        return;
    ssize_t unused = ::write(f, line, static_cast<size_t>(len));
    (void)unused;
    ::close(f);
}

} // namespace

namespace sim {

const char *root()
{
    load();
    return state.root;
}

bool has(const char *rel)
{
    char p[PATH_MAX];
    int n = snprintf(p, sizeof p, "%s%s", state.root, rel);
    return state.root != nullptr && n > 0 && n < static_cast<int>(sizeof p) && ::access(p, F_OK) == 0;
}

const char *resolve(const char *fixed, char (&out)[PATH_MAX])
{
    load();
    if (state.root == nullptr || fixed[0] != '/')
        return fixed;
    int n = snprintf(out, sizeof out, "%s%s", state.root, fixed);
    if (n < 0 || n >= static_cast<int>(sizeof out)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    return out;
}

bool injected(const char *call)
{
    load();
    ++state.calls;
    if (state.calls == state.cut_at) {
        note("cut", call);
        _exit(137);
    }
    if (state.calls == state.signal_at) {
        note("signal", call);
        ::kill(::getpid(), SIGTERM); // acts now, or when the process lets it
    }
    if (state.calls == state.fail_at) {
        note("fail", call);
        errno = EIO;
        return true;
    }
    return false;
}

size_t shortened(const char *call, size_t n, int fd, FILE *stream, size_t unit)
{
    if (state.calls != state.short_at)
        return n;
    size_t full = n;
    struct stat st {};
    const off_t pos = stream != nullptr ? ftell(stream) : fd >= 0 ? ::lseek(fd, 0, SEEK_CUR) : -1;
    if (stream != nullptr)
        fd = fileno(stream);
    if (pos >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        full = std::min(n, (st.st_size > pos ? static_cast<size_t>(st.st_size - pos) : 0) / unit);
    if (full == 0)
        return n; // nothing to move: the call cannot come back short
    note("short", call);
    return full / 2;
}

bool unlocked() { return state.unlocked; }

void lock_call()
{
    if (++state.locks != state.delay_at)
        return;
    note("delay", "flock");
    struct timespec t {state.delay_ms / 1000, (state.delay_ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

} // namespace sim

void sim_reset()
{
    state = Sim{};
    sim::forget_change();
}

} // namespace board
