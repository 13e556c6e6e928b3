// SPDX-License-Identifier: MIT
// drask_netaddr: get, set or clear the IPv4 address held in the store; a get
// publishes it as dotted text in /tmp/ip_ip.
#include "address.h"
#include "board.h"
#include "veeprom.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

using layout::address_len;
using layout::Parse;

// The address goes into a fresh file of an unpredictable name in /tmp, which
// then replaces the address file in one rename: a reader sees no file or the
// whole address, and whatever is planted under either name (a symbolic or
// hard link, a FIFO) is replaced, never written through.  A file that cannot
// be made is skipped silently, and no temporary file is left behind.
//
// The name never waits for the kernel's random pool (early boot, a board
// without a hardware generator) and survives a kernel without getrandom:
// then it is made of the process id, a counter and the time, and O_EXCL
// with a retry on a clash keeps it ours.
int make_temporary(char (&tmp)[64])
{
    for (unsigned attempt = 0; attempt < 8; ++attempt) {
        uint64_t name = 0;
        if (board::random_bytes(&name, sizeof name) != sizeof name) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            name = (uint64_t{static_cast<uint32_t>(getpid())} << 32 | attempt << 24) ^ static_cast<uint64_t>(now.tv_nsec) ^
                   (static_cast<uint64_t>(now.tv_sec) << 40);
        }
        snprintf(tmp, sizeof tmp, "%s.%016" PRIx64, board::address_file, name);
        const int fd = board::open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

void publish(const char *text)
{
    char tmp[64];
    board::Fd f(make_temporary(tmp));
    if (f.get() < 0)
        return;
    const size_t len = strlen(text);
    size_t put = 0;
    while (put < len) {
        ssize_t w = board::write(f.get(), text + put, len - put);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        put += static_cast<size_t>(w);
    }
    const bool closed = f.close() == 0;
    if (put < len || !closed || board::rename(tmp, board::address_file) != 0)
        board::unlink(tmp);
}

int get()
{
    // A stale address file must not outlive a get that reached the store,
    // also when the shell could not run rm.
    if (board::system_on_path("rm -f", board::address_file) != 0)
        board::unlink(board::address_file);
    unsigned char ip[address_len] = {};
    int ret = veeprom_read(layout::address.at, reinterpret_cast<char *>(ip), address_len);
    if (ret < 0) {
        // fprintf as the library's own messages: one import fewer than
        // printf beside it, which keeps the tool within its 14 KiB.
        fprintf(stdout, "veeprom_read ret = %d\n", ret);
        veeprom_exit();
        return -1;
    }
    char text[17];
    snprintf(text, sizeof text, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
    puts(text);
    if (!layout::holds_address(ip)) { // none, or erased flash
        puts("ERR: invalid ip, drop IP value from eeprom!!");
        // Refusals that wrote nothing end without veeprom_exit (no sync),
        // as scripts know them; the exit closes the store.
        return -1;
    }
    publish(text);
    veeprom_exit();
    return 0;
}

int set(const char *address)
{
    if (address == nullptr)
        return -1;
    unsigned char ip[address_len] = {};
    int fields = 0;
    Parse p = layout::parse_address(address, ip, fields);
    if (p == Parse::too_many)
        return -1;
    if (!layout::storable(p, fields, ip)) {
        puts("ERR: invalid ip, do not save IP value from user input!!");
        return -1;
    }
    int ret = veeprom_write(layout::address.at, reinterpret_cast<const char *>(ip), address_len);
    if (ret < 0)
        fprintf(stdout, "veeprom_write ret = %d\n", ret);
    veeprom_exit();
    return ret < 0 ? -1 : 0;
}

int clear()
{
    const char zero[address_len] = {};
    int ret = veeprom_write(layout::address.at, zero, address_len);
    if (ret < 0)
        puts("clear ip_ip failed.");
    veeprom_exit();
    return ret < 0 ? -1 : 0;
}

int dispatch(int argc, char **argv)
{
    if (argc < 2)
        return -1;
    if (veeprom_init() < 0) {
        puts("veeprom_init error");
        return -1;
    }
    switch (argv[1][0]) {
    case 'g':
        return get();
    case 's':
        return set(argc > 2 ? argv[2] : nullptr);
    case 'c':
        return clear();
    default:
        return -1;
    }
}

} // namespace

// What the tool prints is its answer: output that could not be written is a
// failure, not a success.  A line-buffered or unbuffered stdout fails inside
// puts, which drops the buffer, so the stream's error state is checked too.
int main(int argc, char **argv)
{
    const int rc = dispatch(argc, argv);
    return fflush(stdout) == 0 && ferror(stdout) == 0 ? rc : -1;
}
