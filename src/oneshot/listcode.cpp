#include "oneshot/listcode.h"

#include <algorithm>
#include <cstddef>

namespace morlune {

namespace {

constexpr std::int32_t listPrefixLength = 6;

void writePrefix(std::uint8_t* block, std::int32_t dataLength, std::uint8_t page,
                 std::uint8_t offset) {
    block[0] = 0x00;
    block[1] = 0x00;
    block[2] = static_cast<std::uint8_t>(dataLength & 0xFF);
    block[3] = static_cast<std::uint8_t>(dataLength >> 8);
    block[4] = page;
    block[5] = offset;
}

}  // namespace

std::int32_t ipEntryNumber(const std::uint8_t* entry) {
    return (entry[0] & 1) * 65536 + entry[1] * 256 + entry[2];
}

// Names the data byte (as page and offset) and the bit that the bitmap form
// would use for `number`. Devices expect offset 128 of the page before for
// the first seven numbers of each 1024, hence the borrow.
std::int32_t ipEncodeSingle(std::uint8_t* block, std::int32_t number) {
    const std::int32_t byteIndex = number / 8;
    std::int32_t page = byteIndex / 128;
    std::int32_t offset = byteIndex % 128;
    if (offset == 0 && page > 0) {
        page -= 1;
        offset = 128;
    }
    std::uint8_t mask;
    if (number % 8 == 0) {
        mask = 0x80;
        offset = (offset - 1) & 0xFF;
    } else {
        mask = static_cast<std::uint8_t>(1u << (number % 8 - 1));
    }
    writePrefix(block, 1, static_cast<std::uint8_t>(page), static_cast<std::uint8_t>(offset));
    block[listPrefixLength] = mask;
    return listPrefixLength + 1;
}

// One pass over the running numbers and one over the entries: an entry that
// the running number can no longer meet (a repeat, a step down, 0, or beyond
// the extent) ends the walk for good.
std::int32_t ipEncodeBitmap(std::uint8_t* block, const std::uint8_t* entries,
                            std::int32_t entryCount) {
    // The offset of the last entry can exceed 2^31 bytes: count it in ptrdiff_t.
    const std::ptrdiff_t lastOffset = std::ptrdiff_t{entryCount - 1} * listEntrySize;
    const std::int32_t lastNumber = ipEntryNumber(entries + lastOffset);
    const std::int32_t extent = std::min(lastNumber, listExtentCap);
    const std::int32_t dataLength = (extent + 7) / 8;
    writePrefix(block, dataLength, 0x00, 0x00);
    std::uint8_t* data = block + listPrefixLength;
    std::fill(data, data + dataLength, std::uint8_t{0});

    std::int32_t cursor = 0;
    for (std::int32_t running = 1; running <= 8 * dataLength && cursor < entryCount; ++running) {
        if (running != ipEntryNumber(entries + cursor * listEntrySize)) continue;
        data[(running - 1) / 8] |= static_cast<std::uint8_t>(1u << ((running - 1) % 8));
        ++cursor;
    }
    return listPrefixLength + dataLength;
}

}  // namespace morlune
