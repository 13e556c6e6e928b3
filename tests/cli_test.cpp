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
    std::vector<std::string> args = {};
    std::string out = "";
    int status = 0;
    size_t at = 0;          // where the store must have changed
    std::string now = "";   // ...to these bytes; empty: unchanged
    const char *ip = "stale"; // address file afterwards
    std::string scheme = "";  // put at offset 29 first
    const char *redirect = ""; // run through the shell with this, e.g. a standard descriptor closed
    std::string err = "";     // standard error
    int window = 0;           // only on media with a window this size; 0: all
    bool erases = true;       // a change on raw flash erases first (a clear does not)
    bool blank = false;       // the store starts as erased flash: every byte 0xFF
    bool requested = true;    // the change goes through the store (an image is written around it)
};

std::string word(const char *w) { return std::string(w) + std::string(8 - strlen(w), '\0'); }

// veeprom's output names the medium and device: <medium> and <device> stand
// for the board's.
const std::string shown = "medium: <medium>\ndevice: <device>\nbootcause: system\naddress: 192.168.1.10\nscheme: \n";
const std::string json = R"({"medium":"<medium>","device":"<device>","bootcause":"system","address":"192.168.1.10","scheme":""})"
                         "\n";
const std::string erased_shown = "medium: <medium>\ndevice: <device>\nbootcause: erased\naddress: erased\nscheme: erased\n";
const std::string erased_json = R"({"medium":"<medium>","device":"<device>","bootcause":null,"address":null,"scheme":null})" "\n";
const std::string help = "usage: veeprom show [--json]\n       veeprom get FIELD\n"
                         "       veeprom set FIELD VALUE [FIELD VALUE]...\n       veeprom load FILE|-\n       veeprom check FILE|-\n"
                         "       veeprom image ubi|mtd|emmc FILE|- [FIELD VALUE]...\n       veeprom dump\n       veeprom read OFFSET LENGTH\n       veeprom write OFFSET HEX\n"
                         "       veeprom clear OFFSET LENGTH\n       veeprom format\n"
                         "       veeprom --store ubi|mtd|emmc:FILE COMMAND ...  (an image or dump, not the board's store)\n"
                         "       veeprom -h|--help | -V|--version\n"
                         "FIELD VALUE: bootcause normal|recovery|uboot|boot|system|all, address IPv4|none,\n"
                         "scheme AB|none.  FILE: what show printed.  OFFSET, LENGTH: decimal or 0x-hex.\n"
                         "Store: /dev/ubi10_0 (UBI on env or boot), MTD or GPT (/dev/mmcblk0) veeprom\n";
// Shell lines: a settings file fed to load; an image put into <store>, the store image.
std::string load(const std::string &text, const std::string &command = "load") { return "printf '" + text + "' | " VEEPROM " " + command + " -"; }
const std::string image = VEEPROM " image <medium> - bootcause boot scheme AB | dd of=<store> conv=notrunc status=none && ";
// --store: the file f, an image or a dump, in the board's directory.
#define ON_F VEEPROM " --store <medium>:f "
const std::string in_root = "cd \"$VEEPROM_ROOT\" && ";
const std::string no_device = "'s/,\"device\":\"[^\"]*\"//'";
std::string not_regular(const std::string &n)
{
    return "veeprom: " + n + ": not a regular file: program a board with 'veeprom load' on it, or its medium with the image file and dd, flashcp or ubiupdatevol\n";
}
// The AB refusal: where recovery and AB come from, given or stored, and the way out.
std::string ab(const std::string &word, const std::string &scheme, const std::string &way = "bootcause to another word") { return "veeprom: recovery is refused on an AB model: bootcause recovery (" + word + "), scheme AB (" + scheme + "); set " + way + " in the same command\n"; }
const std::string round_trip = VEEPROM " show >\"$VEEPROM_ROOT/f\" && " VEEPROM " load \"$VEEPROM_ROOT/f\" && " VEEPROM " show --json | " VEEPROM " load -";
const std::string recovery = VEEPROM " set bootcause recovery && "; // one write
// Root ignores file modes: it reads as nobody (anyone else reads as themselves).
const std::string as_nobody = "chmod 0444 <store> && chmod -R a+rX \"$VEEPROM_ROOT/..\" && "
                              "$([ \"$(id -u)\" != 0 ] || echo setpriv --reuid=nobody --regid=nogroup --clear-groups) ";
const std::string imaged = std::string(9, '\0') + word("boot") + std::string(12, '\0') + "AB" + std::string(481, '\0');

// The library's dump of bytes 0-255 of the store as the rows start it.
std::string dumped()
{
    std::string w(256, '\0');
    w.replace(9, stored.size(), stored);
    std::string text = "veeprom:\n";
    for (size_t i = 0; i < w.size(); ++i) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02x ", static_cast<unsigned char>(w[i]));
        text += hex + std::string(i % 16 == 15 ? "\n" : "");
    }
    return text;
}

// A command line that cannot be read ends with where to look.
const std::string try_help = "Try 'veeprom --help'.\n";
std::string usage_error(const std::string &line) { return "veeprom: usage: veeprom " + line + "\n" + try_help; }
std::string cannot(const std::string &field, const std::string &value)
{
    return "veeprom: " + field + " cannot be '" + value + "'\n";
}
std::string outside(const std::string &range, const std::string &window)
{
    return "veeprom: range " + range + " is outside the " + window + "-byte window\n";
}
std::string not_number(const std::string &text) { return "veeprom: '" + text + "' is not a 32-bit decimal or 0x-hex number\n"; }
std::string not_hex(const std::string &text) { return "veeprom: write takes pairs of hex digits, not '" + text + "'\n"; }

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
    // Erased flash holds no value; any field of it can be set.
    {.tool = BOOTCAUSE, .out = "\n", .blank = true},
    {.tool = NETADDR, .args = {"g"}, .out = "255.255.255.255\n" + drop_ip, .status = 255, .ip = missing, .blank = true},
    {.tool = VEEPROM, .args = {"show"}, .out = erased_shown, .blank = true},
    {.tool = VEEPROM, .args = {"--json"}, .out = erased_json, .blank = true},
    {.tool = VEEPROM, .args = {"get", "address"}, .out = "erased\n", .blank = true},
    {.tool = BOOTCAUSE, .args = {"recovery"}, .out = "recovery\n", .at = 9, .now = "recovery", .blank = true},
    {NETADDR, {"s", "255.255.255.255"}, bad_ip, 255},
    {.tool = VEEPROM, .args = {"set", "address", "255.255.255.255"}, .status = 2, .err = cannot("address", "255.255.255.255")},
    // veeprom set address stores what drask_netaddr s stores, over the address fuzzer's seeds
    {.tool = "/bin/sh", .args = {"-c", "cp <store> \"$VEEPROM_ROOT/s0\"; n=0; for f in " CORPUS "/address/*; do t=$(cat \"$f\"); " VEEPROM " set address none; "
                                NETADDR " s \"$t\" >/dev/null; a=$(" VEEPROM " read 17 4); " VEEPROM " set address none; " VEEPROM " set address \"$t\" 2>/dev/null; "
                                "[ \"$a\" = \"$(" VEEPROM " read 17 4)\" ] || echo \"$t: $a\"; [ $a = 00000000 ] || n=$((n + 1)); done; echo $n; "
                                "cp \"$VEEPROM_ROOT/s0\" <store>; rm -f \"$VEEPROM_ROOT/requests.log\""}, .out = "5\n"},
    // veeprom: show and get
    {VEEPROM, {}, shown, 0},
    {VEEPROM, {"show"}, shown, 0},
    {VEEPROM, {"show", "--json"}, json, 0},
    {VEEPROM, {"--json"}, json, 0},
    {VEEPROM, {"get", "bootcause"}, "system\n", 0},
    {VEEPROM, {"get", "address"}, "192.168.1.10\n", 0},
    {VEEPROM, {"get", "scheme"}, "\n", 0},
    {VEEPROM, {"get", "scheme"}, "AB\n", 0, 0, "", "stale", "AB\0"_b},
    {VEEPROM, {"get", "scheme"}, "ABCDEFGH\n", 0, 0, "", "stale", "ABCDEFGHI"}, // 8 bytes, no terminator
    {VEEPROM, {"get", "scheme"}, "\"\\x5c\\x01\\xffz\n", 0, 0, "", "stale", "\"\\\x01\xffz\0"_b},
    {VEEPROM, {"show", "--json"}, json.substr(0, json.size() - 4) + R"("\"\\\u0001\u00ffz"})" "\n", 0, 0, "", "stale",
     "\"\\\x01\xffz\0"_b},
    {.tool = VEEPROM, .args = {"get", "Address"}, .status = 2, .err = "veeprom: unknown field 'Address'\n" + try_help},
    {.tool = VEEPROM, .args = {"get"}, .status = 2, .err = usage_error("get FIELD")},
    {.tool = VEEPROM, .args = {"show", "x"}, .status = 2, .err = usage_error("show [--json]")},
    {.tool = VEEPROM, .args = {"--json", "--json"}, .status = 2, .err = usage_error("show [--json]")},
    // set
    {VEEPROM, {"set", "bootcause", "boot"}, "", 0, 9, word("boot")},
    {VEEPROM, {"set", "bootcause", "recovery"}, "", 0, 9, "recovery"},
    {VEEPROM, {"set", "bootcause", "recovery"}, "", 0, 9, "recovery", "stale", "ABC"},
    {VEEPROM, {"set", "bootcause", "all"}, "", 0, 9, word("all"), "stale", "AB\0"_b},
    {.tool = VEEPROM, .args = {"set", "bootcause", "recovery"}, .status = 2, .scheme = "AB\0"_b,
     .err = ab("given", "stored", "scheme to none")},
    {.tool = VEEPROM, .args = {"set", "bootcause", "Normal"}, .status = 2, .err = cannot("bootcause", "Normal")},
    {.tool = VEEPROM, .args = {"set", "bootcause", "h"}, .status = 2, .err = cannot("bootcause", "h")},
    {VEEPROM, {"set", "address", "10.0.0.1"}, "", 0, 17, "\x0a\x00\x00\x01"_b},
    {VEEPROM, {"set", "address", "..10..1."}, "", 0, 17, "\x0a\x01\0\0"_b},
    {VEEPROM, {"set", "address", "none"}, "", 0, 17, std::string(4, '\0')},
    {.tool = VEEPROM, .args = {"set", "address", "0.1.2.3"}, .status = 2,
     .err = cannot("address", "0.1.2.3")},
    {.tool = VEEPROM, .args = {"set", "address", "300.1.1.1"}, .status = 2,
     .err = cannot("address", "300.1.1.1")},
    {.tool = VEEPROM, .args = {"set", "address", "1.2.3.4.5"}, .status = 2,
     .err = cannot("address", "1.2.3.4.5")},
    {VEEPROM, {"set", "address", ""}, "", 0, 17, std::string(4, '\0')},
    {VEEPROM, {"set", "scheme", "AB"}, "", 0, 29, "AB\0\0\0\0\0\0"_b},
    {VEEPROM, {"set", "scheme", "none"}, "", 0, 29, std::string(8, '\0'), "stale", "AB\0"_b},
    {.tool = VEEPROM, .args = {"set", "scheme", "ab"}, .status = 2, .err = cannot("scheme", "ab")},
    {.tool = VEEPROM, .args = {"set", "scheme"}, .status = 2, .err = usage_error("set FIELD VALUE [FIELD VALUE]...")},
    {.tool = VEEPROM, .args = {"set", "scheme", "AB", "x"}, .status = 2, .err = usage_error("set FIELD VALUE [FIELD VALUE]...")},
    // several fields in one change, judged on its result; a no-op writes nothing
    {VEEPROM, {"set", "address", "none", "scheme", "AB", "bootcause", "all"}, "", 0, 9, word("all") + std::string(12, '\0') + "AB"},
    {VEEPROM, {"set", "scheme", "none", "bootcause", "recovery"}, "", 0, 9, "recovery\xc0\xa8\x01\x0a"_b + std::string(16, '\0'),
     "stale", "AB\0"_b},
    {VEEPROM, {"set", "bootcause", "system", "address", "192.168.1.10", "scheme", "none"}, "", 0},
    {.tool = VEEPROM, .args = {"set", "scheme", "AB", "bootcause", "recovery"}, .status = 2, .err = ab("given", "given")},
    {.tool = VEEPROM, .args = {"set", "bootcause", "boot", "address", "300.1.1.1"}, .status = 2, .err = cannot("address", "300.1.1.1")},
    // load: what show prints, in either form
    {"/bin/sh", {"-c", load("medium: x\\ndevice: y\\n\\n# kept\\nbootcause: boot\\naddress: 10.0.0.1\\nscheme: AB")}, "", 0, 9,
     word("boot") + "\x0a\0\0\x01"_b + std::string(8, '\0') + "AB"},
    {"/bin/sh", {"-c", load(R"({"medium":"ubi", "bootcause":"uboot",\n"address":null,"scheme":"AB"})")}, "", 0, 9,
     word("uboot") + "\xc0\xa8\x01\x0a"_b + std::string(8, '\0') + "AB"},
    {"/bin/sh", {"-c", load("bootcause: erased\\naddress: none\\nscheme: ")}, "", 0, 17, std::string(4, '\0')},
    {"/bin/sh", {"-c", VEEPROM " show >\"$VEEPROM_ROOT/f\" && " VEEPROM " load \"$VEEPROM_ROOT/f\""}, "", 0},
    {"/bin/sh", {"-c", VEEPROM " show --json | " VEEPROM " load -"}, "", 0},
    {.tool = "/bin/sh", .args = {"-c", VEEPROM " show --json | " VEEPROM " load -"}, .scheme = "\"\\\x01\xffz\0"_b},
    // show then load changes nothing, whatever the store holds; the AB rule judges the result
    {.tool = "/bin/sh", .args = {"-c", round_trip}, .scheme = " AB \0\\x\xff"_b},
    {.tool = "/bin/sh", .args = {"-c", round_trip}, .scheme = "AB\0\0\0\0\0\x01"_b},
    {.tool = "/bin/sh", .args = {"-c", round_trip}, .scheme = "null"},
    {.tool = "/bin/sh", .args = {"-c", round_trip}, .scheme = "\xff\xff\xff\xff\xff\xff\xff\x7f"},
    {.tool = "/bin/sh", .args = {"-c", VEEPROM " write 9 6e6f6e6500000000000102 && " + round_trip}, .at = 9, .now = "none\0\0\0\0\0\1\2"_b},
    {.tool = "/bin/sh", .args = {"-c", recovery + VEEPROM " set scheme AB"}, .status = 2, .at = 9, .now = "recovery", .err = ab("stored", "given")},
    {.tool = "/bin/sh", .args = {"-c", recovery + load("scheme: AB")}, .status = 2, .at = 9, .now = "recovery", .err = ab("stored", "given")},
    {.tool = "/bin/sh", .args = {"-c", VEEPROM " write 9 7265636f76657279 && " VEEPROM " set address none"}, .status = 2, .at = 9, .now = "recovery", .scheme = "AB\0"_b,
     .err = ab("stored", "stored")},
    // check: what load would change, written nowhere; the file in either form, the values as show prints them
    {.tool = "/bin/sh", .args = {"-c", VEEPROM " show >\"$VEEPROM_ROOT/f\" && " VEEPROM " check \"$VEEPROM_ROOT/f\" && " VEEPROM " show --json | " VEEPROM " check -"}, .scheme = " AB \0\\x\xff"_b},
    {.tool = "/bin/sh", .args = {"-c", load("bootcause: boot\\nscheme: AB\\naddress: 192.168.1.10", "check")}, .out = "bootcause: system -> boot\nscheme: \\x20AB \\x00\\x5cx\\xff -> AB\n",
     .status = 3, .scheme = " AB \0\\x\xff"_b},
    {.tool = "/bin/sh", .args = {"-c", load(R"({"address":"10.0.0.1","scheme":null})", "check")}, .out = "address: 192.168.1.10 -> 10.0.0.1\n", .status = 3},
    {.tool = "/bin/sh", .args = {"-c", load("address: 300.1.1.1", "check")}, .status = 2, .err = "veeprom: -: line 1: bad value for address\n"},
    {.tool = "/bin/sh", .args = {"-c", recovery + load("scheme: AB", "check")}, .status = 2, .at = 9, .now = "recovery", .err = ab("stored", "given")},
    {.tool = "/bin/sh", .args = {"-c", in_root + "cp <store> f && printf 'scheme: AB' | " ON_F "check -; echo $?; " ON_F "show | " ON_F "check - && cmp f <store> && " ON_F "show --json | " VEEPROM " --store <medium>:m check -"},
     .out = "scheme:  -> AB\n3\n", .status = 1, .err = "veeprom: m: cannot open the store: No such file or directory\n"},
    {.tool = "/bin/sh", .args = {"-c", VEEPROM " write 9 7265636f76657279 && " VEEPROM " set scheme AB bootcause recovery && " + round_trip},
     .at = 9, .now = "recovery", .scheme = "AB\0"_b},
    {.tool = "/bin/sh", .args = {"-c", "python3 " ORACLE " " VEEPROM " <store>"}},
    // set and load agree: a field given twice, none and the empty value
    {.tool = VEEPROM, .args = {"set", "scheme", "AB", "scheme", "none"}, .status = 2, .err = "veeprom: scheme given twice\n"},
    {.tool = "/bin/sh", .args = {"-c", load("scheme: AB\\nscheme: none")}, .status = 2, .err = "veeprom: -: line 2: scheme given twice\n"},
    {VEEPROM, {"set", "bootcause", "none", "scheme", ""}, "", 0, 9, std::string(8, '\0')},
    {"/bin/sh", {"-c", load("bootcause: \\naddress: none")}, "", 0, 9, std::string(12, '\0')},
    {"/bin/sh", {"-c", load("{\"bootcause\":\"none\",\"address\":\"\"}")}, "", 0, 9, std::string(12, '\0')},
    {.tool = "/bin/sh", .args = {"-c", load("bootcause: \\\\x62oot\\naddress: \\\\q")}, .status = 2, .err = "veeprom: -: line 2: bad value for address\n"},
    {.tool = "/bin/sh", .args = {"-c", "cd \"$VEEPROM_ROOT/sys/class/socinfo\" && mv board_id id && mkdir board_id && " VEEPROM " show; s=$?; "
                                "rmdir board_id && mv id board_id && exit $s"}, .status = 1, .err = "Read board_id Failed!\nmmc:/dev/mmcblk0 device not found!\n"
                                "veeprom: cannot probe the boot medium: /sys/class/socinfo/board_id: Is a directory\n", .window = 2048},
    // a reader needs no write access
    {.tool = "/bin/sh", .args = {"-c", as_nobody + VEEPROM " get bootcause; s=$?; chmod 0644 <store>; exit $s"}, .out = "system\n"},
    {"/bin/sh", {"-c", VEEPROM " show >\"$VEEPROM_ROOT/f\" && " VEEPROM " format && rm -f \"$VEEPROM_ROOT/requests.log\" && " VEEPROM
                       " load \"$VEEPROM_ROOT/f\""}, "", 0, 0, std::string(256, '\0').replace(9, stored.size(), stored)},
    {.tool = "/bin/sh", .args = {"-c", load("bootcause: boot\\naddress: 300.1.1.1")}, .status = 2,
     .err = "veeprom: -: line 2: bad value for address\n"},
    {.tool = "/bin/sh", .args = {"-c", load("\\ncolour: red")}, .status = 2, .err = "veeprom: -: line 2: unknown key\n"},
    {.tool = "/bin/sh", .args = {"-c", load("scheme: AB\\nbootcause boot")}, .status = 2, .err = "veeprom: -: line 2: malformed line\n"},
    {.tool = "/bin/sh", .args = {"-c", "flock -o <store> sleep 30 & sleep 0.5; " VEEPROM " set scheme AB; s=$?; kill $!; exit $s"},
     .status = 1, .err = "veeprom: <device>: cannot write the store: busy: another process held its lock past the 5 s wait\n"},
    // image: written onto the board's medium, read back by veeprom and drask_bootcause
    {.tool = "/bin/sh", .args = {"-c", image + VEEPROM " get bootcause && " VEEPROM " get scheme && " BOOTCAUSE}, .out = "boot\nAB\nboot\n",
     .now = imaged, .requested = false},
    {.tool = VEEPROM, .args = {"image", "ubi", "-", "bootcause", "recovery", "scheme", "AB"}, .status = 2, .err = ab("given", "given")},
    {.tool = "/bin/sh", .args = {"-c", "cd \"$VEEPROM_ROOT\" && printf old >i && (trap '' XFSZ; ulimit -f 16; exec " VEEPROM " image mtd i); s=$?; "
                                "cat i; ls | grep -c '^i'; exit $s"}, .out = "old1\n", .status = 1, .err = "veeprom: i: cannot write the image: File too large\n"},
    // a node is refused and left in place (a device only as root); a link is replaced, its target kept
    {.tool = "/bin/sh", .args = {"-c", "mkdir \"$VEEPROM_ROOT/n\" && cd \"$VEEPROM_ROOT/n\" && { mknod c c 1 3 || mkfifo c; } 2>/dev/null; mkfifo f && mkdir d && printf old >t && ln -s t l "
                                "&& for n in c f d; do " VEEPROM " image emmc $n; echo $? $(test -f $n || echo kept); done; " VEEPROM " image emmc l "
                                "&& test ! -L l && wc -c <l && cat t && ls | grep -c '^[ltcfd]\\.' || :"},
     .out = "2 kept\n2 kept\n2 kept\n512\nold0\n", .err = not_regular("c") + not_regular("f") + not_regular("d")},
    // --store: readers on an image and on longer dumps, whose rest is never read, print what they print on a board with that window
    {.tool = "/bin/sh", .args = {"-c", in_root + "for t in 0 4 70000; do cp <store> f && head -c $t /dev/zero | tr '\\0' x >>f && "
                                VEEPROM " show | tail -n +3 >a && " ON_F "show | tail -n +3 | cmp - a && " VEEPROM " show --json | sed " + no_device + " >a && "
                                ON_F "show --json | sed " + no_device + " | cmp - a && " VEEPROM " read 0 512 >a && " ON_F "read 0 512 | cmp - a && "
                                VEEPROM " dump >a && " ON_F "dump | cmp - a && " ON_F "get address; done; " ON_F "| head -2"},
     .out = "192.168.1.10\n192.168.1.10\n192.168.1.10\nmedium: <medium>\ndevice: f\n"},
    // writers: the bytes image writes for the same fields, and the board's window after the same change
    {.tool = "/bin/sh", .args = {"-c", in_root + VEEPROM " image <medium> f bootcause system address 192.168.1.10 && " ON_F "set bootcause boot address none scheme AB && "
                                VEEPROM " image <medium> i bootcause boot scheme AB && cmp f i && " VEEPROM " set bootcause boot address none scheme AB && cmp -n 512 f <store> && "
                                ON_F "write 17 0a000001 && " ON_F "clear 9 8 && " ON_F "format && " ON_F "write 9 626f6f74 && " ON_F "write 29 4142 && cmp f i && "
                                "printf 'bootcause: uboot' | " ON_F "load - && " ON_F "get bootcause && ls | grep -c '^f' && ln -s f l && "
                                VEEPROM " --store <medium>:l set bootcause system && test -L l && " ON_F "get bootcause"},
     .out = "uboot\n1\nsystem\n", .at = 9, .now = word("boot") + std::string(12, '\0') + "AB"},
    // ...on a longer dump: the window only; past 64 KiB changed in place
    {.tool = "/bin/sh", .args = {"-c", in_root + "for t in 4 70000; do " VEEPROM " image <medium> f bootcause system && head -c $t /dev/zero | tr '\\0' x >>f && ln f g && "
                                ON_F "set bootcause boot scheme AB && " VEEPROM " image <medium> i bootcause boot scheme AB && cmp -n <image> f i && "
                                "tail -c $t f | tr -d x | wc -c && { [ $t = 4 ] || stat -c %h f; } && rm g; done"},
     .out = "0\n0\n2\n"},
    // show then load changes nothing, and writes nothing
    {.tool = "/bin/sh", .args = {"-c", in_root + "cp <store> f && ln f g && " ON_F "show >s && " ON_F "load s && " ON_F "show --json | " ON_F "load - && cmp f <store> && stat -c %h f"},
     .out = "2\n", .scheme = " AB \0\\x\xff"_b},
    // what is no store of the medium: refused, and left as it was (a device node only as root)
    {.tool = "/bin/sh", .args = {"-c", in_root + "mkdir x && cd x && head -c 511 <store> >s && mkdir d && { mknod n c 1 3 || mkfifo n; } 2>/dev/null; mkfifo p; "
                                "for f in s d n p m; do " VEEPROM " --store <medium>:$f show; echo $?; " VEEPROM " --store <medium>:$f set scheme AB; echo $?; done; "
                                "for f in d n p; do [ ! -f $f ] && [ -e $f ] && echo kept; done; wc -c <s"},
     .out = "2\n2\n2\n2\n2\n2\n2\n2\n1\n1\nkept\nkept\nkept\n511\n",
     .err = "veeprom: s: 511 bytes, the <medium> store is <image> bytes at least\nveeprom: s: 511 bytes, the <medium> store is <image> bytes at least\n"
            "veeprom: d: neither a regular file nor a block device\n" + not_regular("d") + "veeprom: n: neither a regular file nor a block device\n" +
            not_regular("n") + "veeprom: p: neither a regular file nor a block device\n" + not_regular("p") +
            "veeprom: m: cannot open the store: No such file or directory\nveeprom: m: cannot open the store: No such file or directory\n"},
    // a writer cut before each of its calls leaves the old image or the whole new one; one point leaves a whole temporary file
    {.tool = "/bin/sh", .args = {"-c", in_root + "mkdir cut && " VEEPROM " image <medium> old && " VEEPROM " image <medium> new scheme AB && k=0 && w=0 && "
                                "while k=$((k + 1)) && cp old f && echo $k >cut/step && { " ON_F "set scheme AB; s=$?; rm cut/step; } && "
                                "{ cmp -s f old || cmp -s f new || echo torn $k; } && for t in f.*; do [ ! -e $t ] || { cmp -s $t new || echo partial $k; w=$((w + 1)); rm $t; }; done; "
                                "[ $s = 137 ]; do :; done; echo $s $w"},
     .out = "0 1\n"},
    {.tool = VEEPROM, .args = {"--store", "nand:f"}, .status = 2, .err = "veeprom: unknown medium 'nand': ubi, mtd or emmc\n" + try_help},
    {.tool = VEEPROM, .args = {"--store", "mtd", "show"}, .status = 2, .err = "veeprom: --store takes MEDIUM:FILE, not 'mtd'\n" + try_help},
    {.tool = "/bin/sh", .args = {"-c", VEEPROM " image emmc - >/dev/full"}, .status = 1, .err = "veeprom: -: cannot write the image: No space left on device\n"},
    // the library's maintenance operations, within the window (2048 bytes on
    // the UBI volume, 512 on raw flash and eMMC)
    {VEEPROM, {"dump"}, dumped(), 0},
    {.tool = VEEPROM, .args = {"dump", "x"}, .status = 2, .err = usage_error("dump")},
    {VEEPROM, {"read", "9", "12"}, "73797374656d0000c0a8010a\n", 0},
    {VEEPROM, {"read", "0x9", "0XC"}, "73797374656d0000c0a8010a\n", 0},
    {VEEPROM, {"read", "508", "4"}, "00000000\n", 0},
    {VEEPROM, {"read", "0", "0"}, "\n", 0},
    {.tool = VEEPROM, .args = {"read", "0x7fc", "4"}, .out = "00000000\n", .window = 2048},
    {.tool = VEEPROM, .args = {"read", "0x7fc", "4"}, .status = 2, .err = outside("2044+4", "512"), .window = 512},
    {.tool = VEEPROM, .args = {"read", "0", "2049"}, .status = 2, .err = outside("0+2049", "2048"), .window = 2048},
    {.tool = VEEPROM, .args = {"read", "4294967295", "2"}, .status = 2, .err = outside("4294967295+2", "512"), .window = 512},
    {.tool = VEEPROM, .args = {"read", "4294967296", "1"}, .status = 2, .err = not_number("4294967296")},
    {.tool = VEEPROM, .args = {"read", "1", "-1"}, .status = 2, .err = not_number("-1")},
    {.tool = VEEPROM, .args = {"read", "0x", "1"}, .status = 2, .err = not_number("0x")},
    {.tool = VEEPROM, .args = {"read", "0x0x1", "1"}, .status = 2, .err = not_number("0x0x1")},
    {.tool = VEEPROM, .args = {"read", " 1", "1"}, .status = 2, .err = not_number(" 1")},
    {.tool = VEEPROM, .args = {"read", "9"}, .status = 2, .err = usage_error("read OFFSET LENGTH")},
    {VEEPROM, {"write", "9", "626f6f74"}, "", 0, 9, "boot"},
    {VEEPROM, {"write", "0x1fe", "0a0B"}, "", 0, 510, "\x0a\x0b"},
    {.tool = VEEPROM, .args = {"write", "511", "0a0b"}, .at = 511, .now = "\x0a\x0b", .window = 2048},
    {.tool = VEEPROM, .args = {"write", "511", "0a0b"}, .status = 2, .err = outside("511+2", "512"), .window = 512},
    {.tool = VEEPROM, .args = {"write", "0", "12G4"}, .status = 2, .err = not_hex("12G4")},
    {.tool = VEEPROM, .args = {"write", "0", "12:4"}, .status = 2, .err = not_hex("12:4")},
    {.tool = VEEPROM, .args = {"write", "0", "1g"}, .status = 2, .err = not_hex("1g")},
    {.tool = VEEPROM, .args = {"write", "0", "123"}, .status = 2, .err = not_hex("123")},
    {.tool = VEEPROM, .args = {"write", "0", ""}, .status = 2, .err = not_hex("")},
    {.tool = VEEPROM, .args = {"write", "z", "00"}, .status = 2, .err = not_number("z")},
    {.tool = VEEPROM, .args = {"clear", "9", "8"}, .at = 9, .now = std::string(8, '\0'), .erases = false},
    {VEEPROM, {"clear", "5", "0"}}, // nothing written: no request on the volume
    {.tool = VEEPROM, .args = {"clear", "500", "20"}, .at = 500, .now = std::string(20, '\0'), .window = 2048, .erases = false},
    {.tool = VEEPROM, .args = {"clear", "500", "20"}, .status = 2, .err = outside("500+20", "512"), .window = 512},
    {.tool = VEEPROM, .args = {"format"}, .at = 0, .now = std::string(256, '\0'), .erases = false},
    {.tool = VEEPROM, .args = {"format", "now"}, .status = 2, .err = usage_error("format")},
    {VEEPROM, {"--help"}, help, 0},
    {VEEPROM, {"--version"}, "veeprom " VERSION "\n", 0},
    {VEEPROM, {"-h"}, help, 0},
    {VEEPROM, {"-V"}, "veeprom " VERSION "\n", 0},
    {.tool = VEEPROM, .args = {"-h", "x"}, .status = 2, .err = "veeprom: usage: veeprom -h\n" + try_help},
    {.tool = VEEPROM, .args = {"--version", "x"}, .status = 2, .err = "veeprom: usage: veeprom --version\n" + try_help},
    {.tool = VEEPROM, .args = {"nope"}, .status = 2, .err = "veeprom: unknown command 'nope'\n" + try_help},
    {.tool = VEEPROM, .args = {"image", "nand", "-"}, .status = 2, .err = "veeprom: unknown medium 'nand': ubi, mtd or emmc\n" + try_help},
    // A closed standard descriptor: the store never takes the output.
    {.tool = VEEPROM, .args = {"set", "scheme", "AB"}, .at = 29, .now = "AB\0\0\0\0\0\0"_b, .redirect = ">&-"},
    {.tool = VEEPROM, .args = {"show"}, .status = 1, .redirect = ">&-", .err = "veeprom: cannot write the output\n"},
    {.tool = VEEPROM, .args = {"nope"}, .status = 2, .redirect = "2>&-"},
    // A closed standard descriptor: no message may land in the store.
    {BOOTCAUSE, {"Normal"}, "", 255, 0, "", "stale", "", ">&-"},
    {BOOTCAUSE, {"recovery"}, "", 255, 0, "", "stale", "AB\0"_b, ">&-"},
    {BOOTCAUSE, {"boot"}, "", 255, 9, word("boot"), "stale", "", ">&-"},
    {BOOTCAUSE, {"boot"}, "boot\n", 0, 9, word("boot"), "stale", "", "<&- 2>&-"},
    {NETADDR, {"s", "0.1.2.3"}, "", 255, 0, "", "stale", "", ">&-"},
    {NETADDR, {"g"}, "192.168.1.10\n", 0, 0, "", "192.168.1.10", "", "<&-"},
};

// The board's medium, device and store image in place of <medium>, <device>
// and <store>.
std::string on(const sim::Board &b, Medium m, std::string text)
{
    for (const auto &[name, value] : {std::pair<std::string, std::string>{"<medium>", m == Medium::ubi ? "ubi" : m == Medium::mtd ? "mtd" : "emmc"},
                                      {"<device>", "/" + b.store}, {"<store>", "'" + b.path(b.store) + "'"},
                                      {"<image>", m == Medium::ubi ? "2048" : m == Medium::mtd ? "65536" : "512"}})
        for (size_t at; (at = text.find(name)) != std::string::npos;)
            text.replace(at, name.size(), value);
    return text;
}

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
    const int window = GetParam() == Medium::ubi ? 2048 : 512;
    for (const Row &r : rows) {
        if (r.window != 0 && r.window != window)
            continue;
        std::string trace = r.tool;
        for (const auto &a : r.args)
            trace += " [" + a.substr(0, 20) + "]";
        SCOPED_TRACE(trace);
        std::string before = r.blank ? std::string(initial.size(), '\xff') : initial;
        before.replace(29, r.scheme.size(), r.scheme);
        b.put(b.store, before);
        b.put("tmp/ip_ip", "stale");
        remove(b.path("requests.log").c_str());

        std::vector<std::string> args;
        std::string line = std::string("exec ") + r.tool;
        for (const auto &a : r.args) {
            args.push_back(on(b, GetParam(), a));
            line += " '" + a + "'";
        }
        Outcome got = *r.redirect != '\0' ? run("/bin/sh", {"-c", line + " " + r.redirect}, b.root) : run(r.tool, args, b.root);
        EXPECT_EQ(got.out, on(b, GetParam(), r.out));
        EXPECT_EQ(got.err, on(b, GetParam(), r.err));
        EXPECT_EQ(got.status, r.status);
        std::string after = before;
        after.replace(r.at, r.now.size(), r.now);
        const bool erased = !r.now.empty() && (r.erases || GetParam() != Medium::mtd);
        if (GetParam() == Medium::mtd && erased)
            std::fill(after.begin() + 2048, after.end(), '\xFF');
        EXPECT_TRUE(same(b.image(), after));
        EXPECT_EQ(b.requests(), erased && r.requested ? write_request(GetParam()) : "");
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

// Every refusal and failure: the message, the status, and the store untouched.
TEST_P(Tools, Failures)
{
    const std::string fault = GetParam() == Medium::ubi ? "fail/UBI_IOCEBCH" : "fail/MEMERASE";
    struct Row {
        const char *tool;
        std::vector<std::string> args;
        std::string out;
        int status = 255;
        std::string err = "";
    } const writes[] = {{BOOTCAUSE, {"boot"}, "veeprom_write ret = -1\n"},
                  {NETADDR, {"s", "1.2.3.4"}, "veeprom_write ret = -1\n"},
                  {NETADDR, {"c"}, "clear ip_ip failed.\n"},
                  {VEEPROM, {"set", "scheme", "AB"}, "", 1, "veeprom: <device>: cannot write the store: <why>\n"},
                  {VEEPROM, {"write", "9", "00"}, "", 1, "veeprom: <device>: cannot write the store: <why>\n"},
                  {VEEPROM, {"clear", "9", "8"}, "", 1, "veeprom: <device>: cannot clear the store: <why>\n"},
                  {VEEPROM, {"format"}, "", 1, "veeprom: <device>: cannot clear the store: <why>\n"}};
    const std::string before = b.image();
    for (const Row &r : writes) {
        SCOPED_TRACE(r.out + r.err);
        // The write fails at the medium's kernel request (EIO), or (eMMC,
        // and veeprom's clears on raw flash, which make no erase request) on
        // a store that takes no bytes (ENOSPC).
        const bool full = GetParam() == Medium::emmc || (GetParam() == Medium::mtd && (r.args[0] == "clear" || r.args[0] == "format"));
        if (full) {
            remove(b.path(b.store).c_str());
            symlink("/dev/full", b.path(b.store).c_str());
        } else {
            b.put(fault, "");
        }
        Outcome got = run(r.tool, r.args, b.root);
        EXPECT_EQ(got.out, r.out);
        std::string err = on(b, GetParam(), r.err);
        if (const size_t at = err.find("<why>"); at != std::string::npos)
            err.replace(at, 5, full ? "No space left on device" : "Input/output error");
        EXPECT_EQ(got.err, err);
        EXPECT_EQ(got.status, r.status);
        remove(b.path(full ? b.store : fault).c_str());
        b.put(b.store, before);
        EXPECT_TRUE(same(b.image(), before));
    }
    // Output that cannot be written is a failure too, however stdout is
    // buffered (stdbuf preloads a library: let the sanitizer build take it).
    for (const auto &[cmd, status] : {std::pair{BOOTCAUSE, 255}, std::pair{NETADDR " g", 255}, std::pair{VEEPROM " show", 1}}) {
        for (const std::string buffering : {"", "stdbuf -oL ", "stdbuf -o0 "}) {
            std::string line = "ASAN_OPTIONS=verify_asan_link_order=0 exec ";
            line += buffering;
            line += cmd;
            EXPECT_EQ(run("/bin/sh", {"-c", line + " >/dev/null"}, b.root).status, 0) << line;
            EXPECT_EQ(run("/bin/sh", {"-c", line + " >/dev/full"}, b.root).status, status) << line;
        }
    }
    // A store that cannot be opened, a board with none; a usage error is found before either.
    sim::Layout none = layout_for(GetParam());
    none.mtd = {"uboot"}, none.attached = false, none.gpt = {u"boot"};
    const sim::Board nb = board(none, "none");
    const std::string looked_for = GetParam() == Medium::ubi   ? "veeprom: no MTD partition named env or boot to attach UBI from\n"
                                   : GetParam() == Medium::mtd ? "veeprom: no MTD partition named veeprom\n"
                                                               : "veeprom: no GPT partition named veeprom on /dev/mmcblk0\n";
    remove(b.path(b.store).c_str());
    mkdir(b.path(b.store).c_str(), 0755);
    b.put("tmp/ip_ip", "stale");
    const struct {
        const char *tool, *arg;
        std::string out, err;
        int status;
    } unopened[] = {{BOOTCAUSE, "h", "veeprom_init error\n", "", 255},
                    {NETADDR, "g", "veeprom_init error\n", "", 255},
                    {VEEPROM, "format", "", on(b, GetParam(), "veeprom: <device>: cannot open the store: Is a directory\n"), 1},
                    {VEEPROM, "nope", "", "veeprom: unknown command 'nope'\n" + try_help, 2}};
    for (const auto &r : unopened) {
        for (const bool absent : {false, true}) {
            Outcome got = run(r.tool, {r.arg}, absent ? nb.root : b.root);
            EXPECT_EQ(got.out, r.out);
            EXPECT_EQ(got.err, absent && r.status == 1 ? looked_for : r.err);
            EXPECT_EQ(got.status, r.status);
        }
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
