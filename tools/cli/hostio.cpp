#include "hostio.h"

#include <algorithm>
#include <charconv>

namespace morlune::cli {

namespace {

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':'; }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits on the separators, dropping empty tokens.
template <typename Pred>
std::vector<std::string_view> tokens(std::string_view text, Pred separator) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || separator(text[i])) {
            if (i > start) out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

std::optional<std::int32_t> decimal(std::string_view token) {
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (error != std::errc{} || end != token.data() + token.size()) return std::nullopt;
    return value;
}

std::string quoted(std::string_view token) {
    std::string text(1, '\'');
    text.append(token);
    text.push_back('\'');
    return text;
}

}  // namespace

Parsed<Bytes> parseHex(std::string_view text) {
    Bytes bytes;
    for (std::string_view token : tokens(text, isSeparator)) {
        const std::string_view original = token;
        if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
            token.remove_prefix(2);
        if (token.size() > 1 && token.size() % 2 != 0)
            return {std::nullopt, "odd number of hex digits in " + quoted(original)};
        if (token.size() == 1) {
            const int digit = hexDigit(token[0]);
            if (digit < 0) return {std::nullopt, "not a hex byte: " + quoted(original)};
            bytes.push_back(static_cast<std::uint8_t>(digit));
            continue;
        }
        for (std::size_t i = 0; i < token.size(); i += 2) {
            const int high = hexDigit(token[i]);
            const int low = hexDigit(token[i + 1]);
            if (high < 0 || low < 0) return {std::nullopt, "not a hex byte: " + quoted(original)};
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        }
    }
    return {bytes, {}};
}

std::string formatHex(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
    }
    return out;
}

Parsed<std::vector<std::int32_t>> parseNumbers(std::string_view text) {
    // Comments go first, line by line.
    std::string plain;
    bool comment = false;
    for (char c : text) {
        if (c == '#') comment = true;
        if (c == '\n') comment = false;
        plain += comment ? ' ' : c;
    }
    const auto separator = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ','; };
    std::vector<std::int32_t> numbers;
    for (std::string_view token : tokens(std::string_view(plain), separator)) {
        const std::size_t dash = token.find('-', 1);
        const auto first = decimal(token.substr(0, dash));
        const auto last = dash == std::string_view::npos ? first : decimal(token.substr(dash + 1));
        if (!first || !last || *first < 0 || *last < 0)
            return {std::nullopt, "not a number or range: " + quoted(token)};
        if (*first > largestSingleNumber || *last > largestSingleNumber)
            return {std::nullopt, "beyond 131071, the largest number a list entry holds: " + quoted(token)};
        if (*last < *first) return {std::nullopt, "range runs downwards: " + quoted(token)};
        for (std::int32_t n = *first; n <= *last; ++n) numbers.push_back(n);
    }
    return {numbers, {}};
}

Parsed<std::vector<std::int32_t>> prepareBlackList(std::vector<std::int32_t> numbers) {
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    if (!numbers.empty() && numbers.front() < 1)
        return {std::nullopt, "0 is not a list number: numbers start at 1"};
    if (numbers.size() >= 2 && numbers.back() > largestListNumber)
        return {std::nullopt, "a list of two or more numbers covers 1 to 130000 only; " +
                                  std::to_string(numbers.back()) + " would be left out"};
    return {numbers, {}};
}

Bytes encodeEntries(const std::vector<std::int32_t>& numbers) {
    Bytes entries;
    entries.reserve(numbers.size() * 3);
    for (std::int32_t n : numbers) {
        entries.push_back(static_cast<std::uint8_t>((n >> 16) & 0x01));
        entries.push_back(static_cast<std::uint8_t>((n >> 8) & 0xFF));
        entries.push_back(static_cast<std::uint8_t>(n & 0xFF));
    }
    return entries;
}

std::int64_t pacedSendMs(std::int64_t blockLength) {
    std::int64_t total = 10;
    if (blockLength <= 20) return total;
    for (std::int64_t left = blockLength; left > 0; left -= 1000) total += std::min<std::int64_t>(left, 1000) + 300;
    return total;
}

std::int64_t blackListBlockLength(const std::vector<std::int32_t>& numbers) {
    if (numbers.size() == 1) return 8;
    const std::int64_t extent = numbers.empty() ? 0 : std::min(numbers.back(), largestListNumber);
    return 7 + (extent + 7) / 8;
}

Estimate blackListEstimate(const std::vector<std::int32_t>& numbers) {
    if (numbers.empty()) return {0, 0};
    return {pacedSendMs(blackListBlockLength(numbers)), 1000};
}

Estimate writeEstimate(std::int32_t dataLen, std::uint8_t commandCode) {
    if (dataLen <= 0) return {0, 0};
    const std::int64_t block = std::int64_t{dataLen} + 1;
    const std::int64_t paced = pacedSendMs(block);
    if (commandCode == 0xB5 || commandCode == 0xB6) return {paced, 0};
    if (block >= 20) return {paced + 1000, 4000};
    return {paced, 1000};
}

}  // namespace morlune::cli
