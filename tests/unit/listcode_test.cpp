// The two list encodings, byte for byte, each closed by its checksum as it
// goes on the wire.
#include "oneshot/listcode.h"
#include "link/link.h"
#include "unit.h"

using namespace morlune;

namespace {

Bytes entryOf(std::int32_t number) {
    return {static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 8),
            static_cast<std::uint8_t>(number)};
}

Bytes entriesOf(const std::vector<std::int32_t>& numbers) {
    Bytes out;
    for (const std::int32_t n : numbers)
        for (const std::uint8_t b : entryOf(n)) out.push_back(b);
    return out;
}

// The block with its checksum as the encoder and the frame rule leave it; the
// rest of the block buffer must stay as it was.
Bytes encodeSingle(std::int32_t number) {
    Guarded block(listBlockCapacity, 0xCC);
    const std::int32_t length = ipEncodeSingle(block.data(), number);
    EXPECT_EQ(length, 7);
    ipCompleteFrame(block.data(), length);
    const Bytes all = block.contents();
    for (std::size_t i = 8; i < all.size(); ++i)
        if (all[i] != 0xCC) {
            ADD_FAILURE() << "byte " << i << " written";
            break;
        }
    EXPECT_TRUE(block.guardsIntact());
    return Bytes(all.begin(), all.begin() + 8);
}

Bytes encodeBitmap(const Bytes& entries, std::int32_t entryCount) {
    Guarded block(listBlockCapacity, 0xCC);
    const std::int32_t length = ipEncodeBitmap(block.data(), entries.data(), entryCount);
    EXPECT_GE(length, 6);
    EXPECT_LT(length, listBlockCapacity);
    ipCompleteFrame(block.data(), length);
    const Bytes all = block.contents();
    for (std::size_t i = static_cast<std::size_t>(length) + 1; i < all.size(); ++i)
        if (all[i] != 0xCC) {
            ADD_FAILURE() << "byte " << i << " written";
            break;
        }
    EXPECT_TRUE(block.guardsIntact());
    return Bytes(all.begin(), all.begin() + length + 1);
}

TEST(EntryNumber, IgnoresAllButBit0OfTheFirstByte) {
    const std::pair<const char*, std::int32_t> table[] = {
        {"00 00 00", 0}, {"00 00 01", 1}, {"00 01 00", 256}, {"01 00 00", 65536},
        {"FF 12 34", 0x11234}, {"FE FF FF", 65535}, {"01 FF FF", 131071}};
    for (const auto& [bytes, number] : table) EXPECT_EQ(ipEntryNumber(hex(bytes).data()), number) << bytes;
}

struct SingleCase {
    friend void PrintTo(const SingleCase& c, std::ostream* os) { *os << c.number; }
    std::int32_t number;
    const char* sent;
};

class SingleEntry : public ::testing::TestWithParam<SingleCase> {};

TEST_P(SingleEntry, NamesTheBitmapByteAndBit) {
    EXPECT_EQ(encodeSingle(GetParam().number), hex(GetParam().sent));
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, SingleEntry,
    ::testing::Values(SingleCase{0, "00 00 01 00 00 FF 80 80"}, SingleCase{1, "00 00 01 00 00 00 01 02"},
                      SingleCase{5, "00 00 01 00 00 00 10 11"}, SingleCase{8, "00 00 01 00 00 00 80 81"},
                      SingleCase{9, "00 00 01 00 00 01 01 03"}, SingleCase{1024, "00 00 01 00 00 7F 80 00"},
                      SingleCase{1025, "00 00 01 00 00 80 01 82"},
                      SingleCase{1031, "00 00 01 00 00 80 40 C1"},
                      SingleCase{1032, "00 00 01 00 01 00 80 82"},
                      SingleCase{1033, "00 00 01 00 01 01 01 04"},
                      SingleCase{130000, "00 00 01 00 7E 79 80 78"},
                      SingleCase{131071, "00 00 01 00 7F 7F 40 3F"},
                      SingleCase{0x11234, "00 00 01 00 44 46 08 93"}));

// From 1 on, page * 128 + offset is the byte the bitmap would use and the mask
// its bit, for every number the form can carry.
TEST(SingleEntryForm, AgreesWithTheBitmapForEveryNumber) {
    std::uint8_t block[listBlockCapacity];
    for (std::int32_t n = 1; n <= 131071; ++n) {
        ASSERT_EQ(ipEncodeSingle(block, n), 7);
        ASSERT_EQ(block[4] * 128 + block[5], (n - 1) / 8) << n;
        ASSERT_EQ(block[6], 1u << ((n - 1) % 8)) << n;
        ASSERT_LE(block[4], 127) << n;
    }
}

struct BitmapCase {
    friend void PrintTo(const BitmapCase& c, std::ostream* os) { *os << c.sent; }
    std::vector<std::int32_t> numbers;
    const char* sent;
};

class Bitmap : public ::testing::TestWithParam<BitmapCase> {};

TEST_P(Bitmap, WalksTheEntriesOnce) {
    const Bytes entries = entriesOf(GetParam().numbers);
    EXPECT_EQ(hex(encodeBitmap(entries, static_cast<std::int32_t>(GetParam().numbers.size()))),
              hex(hex(GetParam().sent)));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Bitmap,
    ::testing::Values(BitmapCase{{1, 2}, "00 00 01 00 00 00 03 04"},
                      BitmapCase{{1, 3}, "00 00 01 00 00 00 05 06"},
                      BitmapCase{{8, 9}, "00 00 02 00 00 00 80 01 83"},
                      BitmapCase{{1, 3, 5, 7, 9, 16}, "00 00 02 00 00 00 55 81 D8"},
                      BitmapCase{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},
                                 "00 00 03 00 00 00 FF FF 01 02"},
                      BitmapCase{{5, 5, 6}, "00 00 01 00 00 00 10 11"},
                      BitmapCase{{2, 7, 3}, "00 00 01 00 00 00 42 43"},
                      BitmapCase{{9, 3}, "00 00 01 00 00 00 00 01"},
                      BitmapCase{{0, 4}, "00 00 01 00 00 00 00 01"},
                      BitmapCase{{4, 0}, "00 00 00 00 00 00 00"},
                      BitmapCase{{3, 2, 5}, "00 00 01 00 00 00 04 05"}));

TEST(BitmapForm, ReadsNoEntryBeyondTheCount) {
    // A third entry lies in the caller's memory, inside the extent: it must not be set.
    const Bytes entries = entriesOf({1, 3, 5});
    EXPECT_EQ(encodeBitmap(entries, 2), hex("00 00 01 00 00 00 05 06"));
}

Bytes bitmapBlock(std::int32_t dataLength, const std::vector<std::pair<std::int32_t, std::uint8_t>>& set) {
    Bytes block = {0x00, 0x00, static_cast<std::uint8_t>(dataLength & 0xFF),
                   static_cast<std::uint8_t>(dataLength >> 8), 0x00, 0x00};
    block.resize(static_cast<std::size_t>(6 + dataLength), 0x00);
    for (const auto& [index, value] : set) block[static_cast<std::size_t>(6 + index)] = value;
    return framed(block);
}

TEST(BitmapForm, Extent105NeedsFourteenBytes) {
    const Bytes sent = encodeBitmap(entriesOf({1, 105}), 2);
    EXPECT_EQ(sent, bitmapBlock(14, {{0, 0x01}, {13, 0x01}}));
    EXPECT_EQ(sent.size(), 21u);
    EXPECT_EQ(sent.back(), 0x10);
}

TEST(BitmapForm, IsCappedAt130000) {
    const Bytes upTo130000 = encodeBitmap(entriesOf({1, 130000}), 2);
    EXPECT_EQ(upTo130000, bitmapBlock(16250, {{0, 0x01}, {16249, 0x80}}));
    EXPECT_EQ(upTo130000.size(), 16257u);
    EXPECT_EQ(upTo130000[2], 0x7A);
    EXPECT_EQ(upTo130000[3], 0x3F);
    EXPECT_EQ(upTo130000.back(), 0x3A);

    const Bytes beyond = encodeBitmap(entriesOf({1, 130001}), 2);
    EXPECT_EQ(beyond, bitmapBlock(16250, {{0, 0x01}}));
    EXPECT_EQ(beyond.back(), 0xBA);

    const Bytes largest = encodeBitmap(entriesOf({131071, 130500, 131071}), 3);
    EXPECT_EQ(largest, bitmapBlock(16250, {}));
}

TEST(BitmapForm, SetsEveryNumberOfAFullAscendingList) {
    std::vector<std::int32_t> numbers;
    for (std::int32_t n = 1; n <= 130000; n += 1 + n % 3) numbers.push_back(n);
    if (numbers.back() != 130000) numbers.push_back(130000);
    const Bytes sent = encodeBitmap(entriesOf(numbers), static_cast<std::int32_t>(numbers.size()));
    Bytes data(16250, 0);
    for (const std::int32_t n : numbers) data[static_cast<std::size_t>((n - 1) / 8)] |= static_cast<std::uint8_t>(1u << ((n - 1) % 8));
    EXPECT_EQ(sent, framed(cat(hex("00 00 7A 3F 00 00"), data)));
}

}  // namespace
