// SPDX-License-Identifier: MIT
#include "simboard.h"

#include "gpt.h"
#include "veeprom_board.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace sim {
namespace {

constexpr size_t flash_size = size_t{64} * 1024; // one erase block per MTD partition
constexpr size_t part_size = 4096;       // eMMC partition images
namespace gpt = veeprom::gpt;

void make_dirs(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0755);
}

// The entry array a GPT disk holds at byte 1024: names as UTF-16LE code units.
std::string gpt_disk(const std::vector<std::u16string> &names)
{
    std::string disk(gpt::entries_at + gpt::entry_size * gpt::entries, '\0');
    for (size_t i = 0; i < names.size() && i < gpt::entries; ++i) {
        char *e = &disk[gpt::entries_at + i * gpt::entry_size];
        e[0] = 1; // a non-empty partition type
        for (size_t j = 0; j < names[i].size() && j < 36; ++j) {
            e[gpt::name_at + 2 * j] = static_cast<char>(names[i][j] & 0xFF);
            e[gpt::name_at + 2 * j + 1] = static_cast<char>(names[i][j] >> 8);
        }
    }
    return disk;
}

size_t index_of(const std::vector<std::string> &names, std::string_view want)
{
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == want)
            return i;
    return names.size();
}

} // namespace

std::vector<std::string> default_mtd()
{
    std::vector<std::string> names{"uboot"};
    for (const char *p : {VEEPROM_UBI_PARTITIONS})
        names.emplace_back(p);
    names.emplace_back(VEEPROM_PARTITION);
    return names;
}

std::vector<std::u16string> default_gpt()
{
    const std::string_view store = VEEPROM_PARTITION;
    return {u"boot", u"system", std::u16string(store.begin(), store.end()), u"data"};
}

std::string under_root(const char *fixed) { return std::string(fixed).substr(1); }

std::string Board::path(std::string_view rel) const { return root + "/" + std::string(rel); }

void Board::put(std::string_view rel, std::string_view bytes) const
{
    std::string p = path(rel);
    make_dirs(p.substr(0, p.rfind('/')));
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Board::get(std::string_view rel) const
{
    std::ifstream in(path(rel), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Board::has(std::string_view rel) const
{
    struct stat st {};
    return lstat(path(rel).c_str(), &st) == 0;
}

const char *name(Medium m)
{
    switch (m) {
    case Medium::ubi: return "ubi";
    case Medium::mtd: return "mtd";
    case Medium::emmc: return "emmc";
    }
    return "?";
}

std::optional<Medium> medium_named(std::string_view word)
{
    for (Medium m : media)
        if (word == name(m))
            return m;
    return std::nullopt;
}

Board make(const std::string &root, const Layout &layout)
{
    Board b{root, ""};
    make_dirs(root);
    const std::string address_file = under_root(VEEPROM_ADDRESS_FILE);
    make_dirs(b.path(address_file.substr(0, address_file.rfind('/'))));
    make_dirs(b.path("sys/class/mtd"));
    make_dirs(b.path("dev"));
    if (layout.board_id)
        b.put("sys/class/socinfo/board_id", *layout.board_id);
    const char *mode = layout.medium == Medium::ubi ? "1\n" : layout.medium == Medium::mtd ? "5\n" : "0\n";
    b.put("sys/class/socinfo/boot_mode", layout.boot_mode.value_or(mode));

    // Every MTD partition has its name in sysfs, twice (the read-only twin).
    for (size_t i = 0; i < layout.mtd.size(); ++i) {
        std::string n = std::to_string(i);
        b.put("sys/class/mtd/mtd" + n + "/name", layout.mtd[i] + "\n");
        b.put("sys/class/mtd/mtd" + n + "ro/name", layout.mtd[i] + "\n");
        b.put("dev/mtd" + n, std::string(flash_size, '\xFF'));
    }
    std::string window = layout.window;
    switch (layout.medium) {
    case Medium::ubi:
        b.put("dev/ubi_ctrl", "");
        b.store = under_root(VEEPROM_UBI_VOLUME);
        window.resize(2048, '\0');
        if (layout.attached)
            b.put(b.store, window);
        if (layout.static_volume)
            b.put("static-volume", "");
        break;
    case Medium::mtd: {
        size_t i = index_of(layout.mtd, VEEPROM_PARTITION);
        b.store = "dev/mtd" + std::to_string(i);
        if (i < layout.mtd.size()) {
            window.resize(std::min(window.size(), flash_size));
            window += std::string(flash_size - window.size(), '\xFF'); // the rest is erased flash
            b.put(b.store, window);
        }
        break;
    }
    case Medium::emmc: {
        const std::string disk = under_root(VEEPROM_EMMC_DISK);
        const std::u16string store = default_gpt()[2];
        b.put(disk, gpt_disk(layout.gpt));
        for (size_t i = 0; i < layout.gpt.size(); ++i) {
            std::string img = disk + "p" + std::to_string(i + 1);
            if (layout.gpt[i] == store) {
                b.store = img;
                std::string w = window;
                w.resize(part_size, '\0');
                b.put(img, w);
            } else {
                b.put(img, std::string(part_size, '\0'));
            }
        }
        break;
    }
    }
    b.put(".store", b.store + "\n");
    return b;
}

Board open(const std::string &root)
{
    Board b{root, ""};
    b.store = b.get(".store");
    if (!b.store.empty() && b.store.back() == '\n')
        b.store.pop_back();
    return b;
}

} // namespace sim
