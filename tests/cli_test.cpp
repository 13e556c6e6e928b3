// SPDX-License-Identifier: MIT
// The tools run as processes on simulated boards of every medium: output,
// exit status, store bytes, kernel requests and the address file.
#include "support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using sim::Medium;

namespace {

const std::string usage = "Usage:  drask_bootcause [Values]\nExample: \n       drask_bootcause\n"
                          "       drask_bootcause recovery\nOptions:\n       h   display this help text\n";
const std::string bad_ip = "ERR: invalid ip, do not save IP value from user input!!\n";
const std::string drop_ip = "ERR: invalid ip, drop IP value from eeprom!!\n";
const std::string stored = "system\0\0\xc0\xa8\x01\x0a"_b; // word at 9, address at 17
constexpr const char *missing = "\x01";                      // address file must not exist

struct Row {
    const char *tool;
    std::vector<std::string> args;
    std::string out;
    int status;
    size_t at = 0;          // where the store must have changed
    std::string now = "";   // ...to these bytes; empty: unchanged
    const char *ip = "stale"; // address file afterwards
    std::string scheme = "";  // put at offset 29 first
    const char *redirect = ""; // run through the shell with this, e.g. a standard descriptor closed
};

std::string word(const char *w) { return std::string(w) + std::string(8 - strlen(w), '\0'); }

const Row rows[] = {
    {BOOTCAUSE, {}, "system\n", 0},
    {BOOTCAUSE, {"boot"}, "boot\n", 0, 9, word("boot")},
    {BOOTCAUSE, {"recovery"}, "recovery\n", 0, 9, "recovery"},
    {BOOTCAUSE, {"recovery"}, "Error: AB model not support recovery\n", 255, 0, "", "stale", "AB\0"_b},
    {BOOTCAUSE, {"recovery"}, "recovery\n", 0, 9, "recovery", "stale", "ABC"},
    {BOOTCAUSE, {"all"}, "all\n", 0, 9, word("all"), "stale", "AB\0"_b},
    {BOOTCAUSE, {"Normal"}, "Error: the parameter Normal is illegal !\n", 255},
    {BOOTCAUSE, {""}, "Error: the parameter  is illegal !\n", 255},
    {BOOTCAUSE, {std::string(64, 'n')}, "Error: the parameter " + std::string(64, 'n') + " is illegal !\n", 255},
    {BOOTCAUSE, {"normal", "x"}, "system\n", 0},
    {BOOTCAUSE, {"h"}, usage, 0},
    {NETADDR, {}, "", 255},
    {NETADDR, {"g"}, "192.168.1.10\n", 0, 0, "", "192.168.1.10"},
    {NETADDR, {"go"}, "192.168.1.10\n", 0, 0, "", "192.168.1.10"},
    {NETADDR, {"s", "10.0.0.1"}, "", 0, 17, "\x0a\x00\x00\x01"_b},
    {NETADDR, {"s", "10.1", "more"}, "", 0, 17, "\x0a\x01\0\0"_b},
    {NETADDR, {"set", "..10..1."}, "", 0, 17, "\x0a\x01\0\0"_b},
    {NETADDR, {"s", "255.255.0.255"}, "", 0, 17, "\xff\xff\0\xff"_b},
    {NETADDR, {"s", "300.1.1.1"}, bad_ip, 255},
    {NETADDR, {"s", "-1.2.3.4"}, bad_ip, 255},
    {NETADDR, {"s", "1x.2.3.4"}, bad_ip, 255},
    {NETADDR, {"s", " 1.2.3.4"}, bad_ip, 255},
    {NETADDR, {"s", "99999999999999999999.1"}, bad_ip, 255},
    {NETADDR, {"s", "0.1.2.3"}, bad_ip, 255},
    {NETADDR, {"s", "..."}, bad_ip, 255},
    {NETADDR, {"s", ""}, bad_ip, 255},
    {NETADDR, {"s", "1.2.3.4.5"}, "", 255},
    {NETADDR, {"s"}, "", 255},
    {NETADDR, {"G"}, "", 255},
    {NETADDR, {"x"}, "", 255},
    {NETADDR, {"c"}, "", 0, 17, std::string(4, '\0')},
    // A closed standard descriptor: no message may land in the store.
    {BOOTCAUSE, {"Normal"}, "", 255, 0, "", "stale", "", ">&-"},
    {BOOTCAUSE, {"recovery"}, "", 255, 0, "", "stale", "AB\0"_b, ">&-"},
    {BOOTCAUSE, {"boot"}, "", 255, 9, word("boot"), "stale", "", ">&-"},
    {BOOTCAUSE, {"boot"}, "boot\n", 0, 9, word("boot"), "stale", "", "<&- 2>&-"},
    {NETADDR, {"s", "0.1.2.3"}, "", 255, 0, "", "stale", "", ">&-"},
    {NETADDR, {"g"}, "192.168.1.10\n", 0, 0, "", "192.168.1.10", "", "<&-"},
};

} // namespace

class Tools : public BoardTest, public testing::WithParamInterface<Medium> {
protected:
    sim::Board b;
    void SetUp() override
    {
        BoardTest::SetUp();
        sim::Layout s = layout_for(GetParam());
        s.window.replace(9, stored.size(), stored);
        b = board(s);
    }
};

INSTANTIATE_TEST_SUITE_P(Medium, Tools, testing::ValuesIn(sim::media),
                         [](const auto &i) { return std::string(sim::name(i.param)); });

TEST_P(Tools, Commands)
{
    const std::string initial = b.image();
    for (const Row &r : rows) {
        std::string trace = r.tool;
        for (const auto &a : r.args)
            trace += " [" + a.substr(0, 20) + "]";
        SCOPED_TRACE(trace);
        std::string before = initial;
        before.replace(29, r.scheme.size(), r.scheme);
        b.put(b.store, before);
        b.put("tmp/ip_ip", "stale");
        remove(b.path("requests.log").c_str());

        std::string line = std::string("exec ") + r.tool;
        for (const auto &a : r.args)
            line += " '" + a + "'";
        Outcome got = *r.redirect != '\0' ? run("/bin/sh", {"-c", line + " " + r.redirect}, b.root) : run(r.tool, r.args, b.root);
        EXPECT_EQ(got.out, r.out);
        EXPECT_EQ(got.err, "");
        EXPECT_EQ(got.status, r.status);
        std::string after = before;
        after.replace(r.at, r.now.size(), r.now);
        if (GetParam() == Medium::mtd && !r.now.empty())
            std::fill(after.begin() + 2048, after.end(), '\xFF');
        EXPECT_TRUE(same(b.image(), after));
        EXPECT_EQ(b.requests(), r.now.empty() ? "" : write_request(GetParam()));
        EXPECT_EQ(b.has("tmp/ip_ip") ? b.get("tmp/ip_ip") : missing, r.ip);
    }
}

TEST_P(Tools, AddressFile)
{
    poke(b, 17, "\0\1\2\3"_b);
    b.put("tmp/ip_ip", "stale");
    Outcome got = run(NETADDR, {"g"}, b.root);
    EXPECT_EQ(got.out, "0.1.2.3\n" + drop_ip);
    EXPECT_EQ(got.status, 255);
    EXPECT_FALSE(b.has("tmp/ip_ip")); // a stale address does not outlive the get

    // The file is made fresh, 0666 less the umask, and a link planted in /tmp
    // is not followed (a stub rm leaves the link in place).
    poke(b, 17, "\x0a\x00\x00\x02"_b);
    b.put("bin/rm", "#!/bin/sh\nexit 0\n");
    chmod(b.path("bin/rm").c_str(), 0755);
    b.put("victim", "keep");
    symlink(b.path("victim").c_str(), b.path("tmp/ip_ip").c_str());
    got = run(NETADDR, {"g"}, b.root, b.path("bin"));
    EXPECT_EQ(got.out, "10.0.0.2\n");
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(b.get("victim"), "keep");
    remove(b.path("tmp/ip_ip").c_str());
    EXPECT_EQ(run(NETADDR, {"g"}, b.root).status, 0);
    struct stat st {};
    ASSERT_EQ(stat(b.path("tmp/ip_ip").c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    EXPECT_EQ(b.get("tmp/ip_ip"), "10.0.0.2");
}

// Every refusal and failure: the message, 255, and the store untouched.
TEST_P(Tools, Failures)
{
    const std::string fault = GetParam() == Medium::ubi ? "fail/UBI_IOCEBCH" : "fail/MEMERASE";
    struct Row {
        const char *tool;
        std::vector<std::string> args;
        std::string out;
    } const writes[] = {{BOOTCAUSE, {"boot"}, "veeprom_write ret = -1\n"},
                  {NETADDR, {"s", "1.2.3.4"}, "veeprom_write ret = -1\n"},
                  {NETADDR, {"c"}, "clear ip_ip failed.\n"}};
    const std::string before = b.image();
    for (const Row &r : writes) {
        SCOPED_TRACE(r.out);
        // The write fails at the medium's kernel request, or (eMMC) on a store
        // that takes no bytes.
        if (GetParam() == Medium::emmc) {
            remove(b.path(b.store).c_str());
            symlink("/dev/full", b.path(b.store).c_str());
        } else {
            b.put(fault, "");
        }
        Outcome got = run(r.tool, r.args, b.root);
        EXPECT_EQ(got.out, r.out);
        EXPECT_EQ(got.status, 255);
        remove(b.path(GetParam() == Medium::emmc ? b.store : fault).c_str());
        b.put(b.store, before);
        EXPECT_TRUE(same(b.image(), before));
    }
    // Output that cannot be written is a failure too, however stdout is
    // buffered (stdbuf preloads a library: let the sanitizer build take it).
    for (const std::string cmd : {BOOTCAUSE, NETADDR " g"}) {
        for (const std::string buffering : {"", "stdbuf -oL ", "stdbuf -o0 "}) {
            std::string line = "ASAN_OPTIONS=verify_asan_link_order=0 exec ";
            line += buffering;
            line += cmd;
            EXPECT_EQ(run("/bin/sh", {"-c", line + " >/dev/null"}, b.root).status, 0) << line;
            EXPECT_EQ(run("/bin/sh", {"-c", line + " >/dev/full"}, b.root).status, 255) << line;
        }
    }
    // A store that cannot be opened.
    remove(b.path(b.store).c_str());
    mkdir(b.path(b.store).c_str(), 0755);
    b.put("tmp/ip_ip", "stale");
    for (const auto &[tool, arg] : {std::pair{BOOTCAUSE, "h"}, std::pair{NETADDR, "g"}}) {
        Outcome got = run(tool, {arg}, b.root);
        EXPECT_EQ(got.out, "veeprom_init error\n");
        EXPECT_EQ(got.status, 255);
    }
    EXPECT_EQ(b.get("tmp/ip_ip"), "stale");
}

// Both tools rewrite the whole block; the lock keeps each one's change.
TEST_P(Tools, ConcurrentWritersLoseNothing)
{
    if (GetParam() == Medium::ubi)
        GTEST_SKIP() << "the kernel serialises volume writers itself";
    constexpr int rounds = 40;
    pid_t words = fork();
    if (words == 0) {
        for (int i = 0; i < rounds; ++i)
            run(BOOTCAUSE, {i % 2 ? "boot" : "system"}, b.root);
        _exit(run(BOOTCAUSE, {"all"}, b.root).status);
    }
    for (int i = 1; i <= rounds; ++i)
        EXPECT_EQ(run(NETADDR, {"s", "10.0.0." + std::to_string(i)}, b.root).status, 0);
    int st = 0;
    waitpid(words, &st, 0);
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(bytes(b, 9, 12), word("all") + "\x0a\x00\x00"_b + static_cast<char>(rounds));
}
