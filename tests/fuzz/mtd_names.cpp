// SPDX-License-Identifier: MIT
// The MTD sysfs directory: entry names and the contents of their name files.
// Input: entry name, \1, name file, \1, entry name... (at most 8 entries).
#include "fuzz.h"
#include "veeprom.h"

#include <climits>
#include <cstring>

namespace {

// The value of the entry's last run of digits (0 without digits), or
// LONG_MAX when it is too large for an MTD number.
long number(const std::string &entry)
{
    long n = 0;
    bool in_run = false;
    for (char c : entry) {
        const bool digit = c >= '0' && c <= '9';
        n = digit && !in_run ? 0 : n;
        n = digit && n <= INT_MAX ? n * 10 + (c - '0') : n;
        in_run = digit;
    }
    return n > INT_MAX ? LONG_MAX : n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const sim::Board &b = fuzz_board(sim::Medium::mtd);
    std::filesystem::remove_all(b.path("sys/class/mtd"));
    std::filesystem::create_directories(b.path("sys/class/mtd"));
    std::vector<std::string> parts{""};
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 1)
            parts.emplace_back();
        else
            parts.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<std::pair<std::string, std::string>> entries;
    for (size_t i = 0; i + 1 < parts.size() && entries.size() < 8; i += 2) {
        const std::string &entry = parts[i];
        if (entry.empty() || entry.size() > 100 || entry == "." || entry == ".." || entry.find_first_of(std::string("/\0", 2)) != std::string::npos)
            continue;
        entries.emplace_back(entry, parts[i + 1]);
        b.put("sys/class/mtd/" + entry + "/name", parts[i + 1]);
    }
    const int r = get_mtdnum_partname("veeprom");
    REQUIRE(r >= -1 || r == -5);
    if (r >= 0) {
        // Some entry is named veeprom exactly and has that number.
        bool found = false;
        for (const auto &[entry, name] : entries) {
            const std::string text = name.substr(0, strnlen(name.c_str(), std::min<size_t>(name.size(), 128)));
            found = found || ((text == "veeprom" || text == "veeprom\n") && number(entry) == r);
        }
        REQUIRE(found);
    }
    return 0;
}
