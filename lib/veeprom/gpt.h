// The GPT partition entry array, as the store's discovery reads it from the
// eMMC disk and the simulated board writes it.
#ifndef VEEPROM_GPT_H
#define VEEPROM_GPT_H

#include <cstddef>

namespace veeprom::gpt {

inline constexpr long entries_at = 1024; // LBA 2 of a 512-byte-sector disk
inline constexpr size_t entry_size = 128;
inline constexpr size_t entries = 128;
inline constexpr size_t name_at = 56; // UTF-16LE partition name in an entry

using Table = unsigned char[entries][entry_size];

// The 1-based number of the last entry named "veeprom", or 0 for none.  A
// label is the low bytes of the name's first 8 code units, non-printable
// ones read as '!'; it must spell veeprom and end there.
int store_partition(const Table &table);

} // namespace veeprom::gpt

#endif
