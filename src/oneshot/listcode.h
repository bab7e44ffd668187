// The two encodings of a black list: pure functions over the caller's
// entries and a block buffer of the call's own.
#pragma once

#include <cstdint>

namespace morlune {

inline constexpr std::int32_t listBlockCapacity = 17000;
inline constexpr std::int32_t listExtentCap = 130000;
inline constexpr std::int32_t listEntrySize = 3;

// Bit 0 of byte 0 is bit 16 of the number; bytes 1 and 2 are bits 15-0.
std::int32_t ipEntryNumber(const std::uint8_t* entry);

// Each writes the list block (without its checksum) from block[0] and returns
// its length: 7 for the single-entry form, 6 + data length for the bitmap.
std::int32_t ipEncodeSingle(std::uint8_t* block, std::int32_t number);
std::int32_t ipEncodeBitmap(std::uint8_t* block, const std::uint8_t* entries,
                            std::int32_t entryCount);

}  // namespace morlune
