#include "morlune_sim/wire.h"

#include <cctype>
#include <stdexcept>

namespace morlune::sim {

std::uint8_t sum8(const std::uint8_t* bytes, std::size_t length) {
    unsigned total = 0;
    for (std::size_t i = 0; i < length; ++i) total += bytes[i];
    return static_cast<std::uint8_t>(total & 0xFFu);
}

Bytes withSum(Bytes bytes) {
    const std::uint8_t sum = sum8(bytes);
    bytes.push_back(sum);
    return bytes;
}

bool soundBlock(const Bytes& block) {
    return !block.empty() && sum8(block.data(), block.size() - 1) == block.back();
}

std::string hex(const std::uint8_t* bytes, std::size_t length, std::size_t limit) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    const std::size_t shown = length < limit ? length : limit;
    text.reserve(shown * 3 + 24);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i != 0) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    if (shown < length) text += " ... (" + std::to_string(length) + " bytes)";
    return text;
}

Bytes parseHex(const std::string& text) {
    Bytes bytes;
    int high = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == ',' || c == ':' || c == '\t' || c == '\n') {
            if (high >= 0) throw std::invalid_argument("odd hex digit in: " + text);
            continue;
        }
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
            high < 0) {
            ++i;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw std::invalid_argument("not hex: " + text);
        const int value = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd hex digit in: " + text);
    return bytes;
}

std::size_t listDataLength(const std::uint8_t* prefix) {
    return static_cast<std::size_t>(prefix[2]) | (static_cast<std::size_t>(prefix[3]) << 8);
}

ListBlock decodeListBlock(const Bytes& block) {
    ListBlock list;
    if (block.size() < listPrefixLength + 1) return list;
    list.dataLength = listDataLength(block.data());
    list.page = block[4];
    list.offset = block[5];
    list.sound = soundBlock(block) && block.size() == listPrefixLength + list.dataLength + 1;
    const std::size_t base = std::size_t{list.page} * 128 + list.offset;
    std::size_t bits = 0;
    for (std::size_t k = 0; k < list.dataLength && listPrefixLength + k + 1 < block.size(); ++k) {
        const std::uint8_t byte = block[listPrefixLength + k];
        for (unsigned i = 0; i < 8; ++i) {
            if ((byte >> i) & 1u) {
                list.numbers.push_back(static_cast<std::uint32_t>((base + k) * 8 + i + 1));
                ++bits;
            }
        }
    }
    list.singleEntry = list.dataLength == 1 && bits == 1;
    return list;
}

Bytes listEntries(const std::vector<std::uint32_t>& numbers) {
    Bytes entries;
    entries.reserve(numbers.size() * 3);
    for (const std::uint32_t n : numbers) {
        entries.push_back(static_cast<std::uint8_t>((n >> 16) & 1u));
        entries.push_back(static_cast<std::uint8_t>((n >> 8) & 0xFFu));
        entries.push_back(static_cast<std::uint8_t>(n & 0xFFu));
    }
    return entries;
}

}  // namespace morlune::sim
