// What the emulator knows of the wire format, kept apart from the library's
// own code so that a fault in one is not copied into the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace morlune::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t ackFirst = 0x02;
inline constexpr std::uint8_t ackSecond = 0x4F;

inline constexpr std::uint8_t codePresence = 0xA0;
inline constexpr std::uint8_t codePresenceSecond = 0xB4;
inline constexpr std::uint8_t codeBlackList = 0xA5;

// Sum of the bytes modulo 256.
std::uint8_t sum8(const std::uint8_t* bytes, std::size_t length);
inline std::uint8_t sum8(const Bytes& bytes) { return sum8(bytes.data(), bytes.size()); }
// The bytes followed by their checksum.
Bytes withSum(Bytes bytes);
// A block whose last byte is the checksum of the others (false when empty).
bool soundBlock(const Bytes& block);

// "01 A0 00 00 A1"; longer runs are cut after `limit` bytes and say how many there were.
std::string hex(const std::uint8_t* bytes, std::size_t length, std::size_t limit = SIZE_MAX);
inline std::string hex(const Bytes& bytes, std::size_t limit = SIZE_MAX) {
    return hex(bytes.data(), bytes.size(), limit);
}
// Reads "01 a0 00", "01A000" or "0x01 0xA0"; throws std::invalid_argument on anything else.
Bytes parseHex(const std::string& text);

// A list block as it arrives after the black-list header: two zero bytes,
// the data length (low byte first), page, offset, the data, the checksum.
struct ListBlock {
    std::size_t dataLength = 0;
    std::uint8_t page = 0;
    std::uint8_t offset = 0;
    bool sound = false;          // the checksum matches
    bool singleEntry = false;    // one data byte with one bit set
    std::vector<std::uint32_t> numbers;  // ascending
};
inline constexpr std::size_t listPrefixLength = 6;
// Data length announced by a 6-byte prefix.
std::size_t listDataLength(const std::uint8_t* prefix);
// Decodes a whole block (prefix, data and checksum). Data byte k stands for
// the byte index page * 128 + offset + k, and its bit i for the number
// 8 * index + i + 1: one rule for both forms.
ListBlock decodeListBlock(const Bytes& block);

// How a list of numbers goes out as 3-byte entries (bit 16, bits 15-8, bits 7-0).
Bytes listEntries(const std::vector<std::uint32_t>& numbers);

}  // namespace morlune::sim
