// The pure parts of the command-line client: hex text, lists of numbers,
// black-list entries, and the time the library's pacing takes. No I/O here,
// so the unit tests can check every rule as a table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morlune::cli {

using Bytes = std::vector<std::uint8_t>;

// Either a value or the reason the text was refused.
template <typename T>
struct Parsed {
    std::optional<T> value;
    std::string error;
};

// Reads bytes written in hex: "01 A0 00 00", "01a00000", "01:A0", "0x01,0xA0".
// Separators are white space, commas and colons; a token of one digit is one
// byte, a longer token must have an even number of digits.
Parsed<Bytes> parseHex(std::string_view text);
// Upper-case hex, one space between bytes: "01 A0 00 00".
std::string formatHex(const std::uint8_t* bytes, std::size_t count);
inline std::string formatHex(const Bytes& bytes) { return formatHex(bytes.data(), bytes.size()); }

// Reads numbers and inclusive ranges ("100-200") separated by white space or
// commas; '#' starts a comment that runs to the end of the line. Every number
// lies in 0..131071 (the 17 bits a list entry holds).
Parsed<std::vector<std::int32_t>> parseNumbers(std::string_view text);

// Puts a black list into the form the device can take whole: ascending, each
// number once. The library's bitmap walk stops at the first repeat or step
// down and leaves out every number after it, and it never sets a bit for 0 or
// above 130000; such lists are refused here rather than sent short.
Parsed<std::vector<std::int32_t>> prepareBlackList(std::vector<std::int32_t> numbers);

// Three bytes per number: bit 16, bits 15-8, bits 7-0.
Bytes encodeEntries(const std::vector<std::int32_t>& numbers);

// --- pacing ------------------------------------------------------------------

inline constexpr std::int32_t largestListNumber = 130000;
inline constexpr std::int32_t largestSingleNumber = 131071;

// Milliseconds the library pauses while it sends a block of `blockLength`
// bytes (its checksum counted): 10 ms, then chunk length + 300 ms after each
// chunk of at most 1000 bytes when the block is longer than 20 bytes.
std::int64_t pacedSendMs(std::int64_t blockLength);
// Length on the wire, checksum included, of the list block for these numbers
// (as prepareBlackList leaves them): 8 for one number, else 7 + data length.
std::int64_t blackListBlockLength(const std::vector<std::int32_t>& numbers);

// What a call spends after connecting, at most: its pauses and its waits.
struct Estimate {
    std::int64_t pacingMs;  // fixed pauses, always spent
    std::int64_t waitMs;    // waits for the device, spent only when it is slow
};
Estimate blackListEstimate(const std::vector<std::int32_t>& numbers);
Estimate writeEstimate(std::int32_t dataLen, std::uint8_t commandCode);

}  // namespace morlune::cli
