// SPDX-License-Identifier: MIT
// The fields of the store window, as the tools and the bootloader read them.
// The library itself knows no fields; every tool takes them from here.
//
//   window offset   0        9              17     21       29             37        256
//                   +--------+--------------+------+--------+--------------+---- ... -+
//                   | unused | boot word    | addr | unused | scheme       | unused   |
//                   |        | 8, zero-pad  | 4    |        | 8, "AB\0"=AB |          |
//                   +--------+--------------+------+--------+--------------+---- ... -+
//
// The window is 2048 bytes on the UBI volume and 512 on raw flash and eMMC;
// veeprom_format zeroes bytes 0 to 255, so every field.  The bytes between
// the fields belong to nobody and every write keeps them as they are.
#ifndef VEEPROM_LAYOUT_H
#define VEEPROM_LAYOUT_H

#include <cstddef>
#include <string_view>

#include "veeprom_layout.h" // the numbers, shared with C clients

namespace layout {

struct Field {
    int at;  // window offset
    int len; // bytes
    constexpr int end() const { return at + len; }
};

// The word the bootloader starts by: one of boot_words, padded with zero
// bytes; "recovery" fills all 8 bytes with no terminator.
inline constexpr Field boot_word{VEEPROM_BOOT_WORD_OFFSET, VEEPROM_BOOT_WORD_LENGTH};
// An IPv4 address, one byte per number, first number at the lowest offset;
// a first byte of 0 means no address.
inline constexpr Field address{VEEPROM_ADDRESS_OFFSET, VEEPROM_ADDRESS_LENGTH};
// The partition scheme: the text "AB", zero-terminated, marks an AB model,
// which has no recovery system to boot.
inline constexpr Field scheme{VEEPROM_SCHEME_OFFSET, VEEPROM_SCHEME_LENGTH};

// Accepted boot words, in the order drask_bootcause compares them.  Held as
// text, not as pointers, so a table needs no relocation at start-up.
inline constexpr char boot_words[][9] = {VEEPROM_BOOT_WORDS};
inline constexpr const char *recovery_word = VEEPROM_RECOVERY_WORD;

// Whether an argument is one of the boot words, compared whole: an argument
// of any length is safe here.
constexpr bool is_boot_word(std::string_view arg)
{
    for (const std::string_view word : boot_words)
        if (arg == word)
            return true;
    return false;
}
inline constexpr const char *ab_marker = VEEPROM_AB_MARKER;

// Erased flash reads as 0xFF: a field whose bytes are all 0xFF holds no value
// (a new raw-flash partition, a never-written UBI volume, or a raw-flash
// change cut between its erase and its write-back).  The C clients' rule.
inline bool erased(const unsigned char *bytes, int len) { return veeprom_erased(bytes, len) != 0; }

// Every field lies in the smallest window and in the formatted range, and
// no field overlaps another.
inline constexpr int smallest_window = VEEPROM_WINDOW_FLASH;
inline constexpr int formatted = VEEPROM_FORMATTED_LENGTH;
static_assert(boot_word.at >= 0 && boot_word.end() <= address.at);
static_assert(address.end() <= scheme.at);
static_assert(scheme.end() <= formatted && formatted <= smallest_window);
static_assert(sizeof boot_words[0] == boot_word.len + 1, "a word fills the field at most");
static_assert(sizeof boot_words / sizeof boot_words[0] == VEEPROM_BOOT_WORD_COUNT);
static_assert(std::string_view(ab_marker).size() < static_cast<size_t>(scheme.len), "the marker and its terminator fit");

} // namespace layout

#endif
