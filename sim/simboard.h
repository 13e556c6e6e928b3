// SPDX-License-Identifier: MIT
// Lays out a simulated board in a directory: the socinfo and MTD sysfs files,
// the device images of one boot medium, and the store window in them.  Point
// VEEPROM_ROOT at the directory and a dev build of the tools runs on it.
#ifndef SIMBOARD_H
#define SIMBOARD_H

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class Medium { ubi, mtd, emmc };
inline constexpr std::array<Medium, 3> media{Medium::ubi, Medium::mtd, Medium::emmc};

// "ubi", "mtd" or "emmc": the word veeprom-sim takes and the tables print.
const char *name(Medium m);

// The board the build was configured for: "uboot", the partitions UBI is
// attached from ("env", "boot"), then the store's ("veeprom"); a GPT of
// "boot", "system", the store's partition and "data".
std::vector<std::string> default_mtd();
std::vector<std::u16string> default_gpt();
// Board paths as they lie under the board's root: "dev/mmcblk0".
std::string under_root(const char *fixed);

struct Layout {
    Medium medium = Medium::emmc;
    std::optional<std::string> board_id = "301\n";
    std::optional<std::string> boot_mode; // default: "1\n", "5\n", "0\n" by medium
    std::vector<std::string> mtd = default_mtd(); // mtd0, mtd1, ...
    bool attached = true;                                            // ubi: volume node present
    bool static_volume = false; // ubi: atomic eraseblock changes refused (EROFS)
    std::vector<std::u16string> gpt = default_gpt();
    std::string window = std::string(512, '\0'); // initial store bytes from offset 0
};

struct Board {
    std::string root;
    std::string store; // the store image, relative to root ("dev/mtd3")

    std::string path(std::string_view rel) const;
    void put(std::string_view rel, std::string_view bytes) const;
    std::string get(std::string_view rel) const; // empty when missing
    bool has(std::string_view rel) const;
    std::string image() const { return get(store); }
    std::string requests() const { return get("requests.log"); }
};

std::optional<Medium> medium_named(std::string_view name);
Board make(const std::string &root, const Layout &layout);
// Reopens a board made earlier (reads the store's location it recorded).
Board open(const std::string &root);

} // namespace sim

#endif
