// Frame rules that touch nothing: checksums, headers, pauses and wait times,
// and the two fixed-value exports.
#include <climits>

#include "link/link.h"
#include "morlune.h"
#include "unit.h"

using namespace morlune;

namespace {

struct ChecksumCase {
    friend void PrintTo(const ChecksumCase& c, std::ostream* os) { *os << c.bytes; }
    const char* bytes;
    std::uint8_t sum;
};

class Checksum : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(Checksum, IsTheSumModulo256AndCompletesFramesInPlace) {
    const Bytes run = hex(GetParam().bytes);
    const auto n = static_cast<std::int32_t>(run.size());
    EXPECT_EQ(ipChecksum(run.data(), n), GetParam().sum);

    Guarded frame(cat(run, {0x5A}));
    ipCompleteFrame(frame.data(), n);
    EXPECT_EQ(frame.contents(), cat(run, {GetParam().sum}));
    EXPECT_TRUE(frame.guardsIntact());
    EXPECT_TRUE(ipBlockSound(frame.data(), n));
    frame[run.size()] = static_cast<std::uint8_t>(GetParam().sum + 1);
    EXPECT_FALSE(ipBlockSound(frame.data(), n));
}

INSTANTIATE_TEST_SUITE_P(Runs, Checksum,
                         ::testing::Values(ChecksumCase{"05 A0 00 00", 0xA5},
                                           ChecksumCase{"FF 01", 0x00},
                                           ChecksumCase{"", 0x00},
                                           ChecksumCase{"01 F0 20 30", 0x41},
                                           ChecksumCase{"FF FF FF", 0xFD}));

struct HeaderCase {
    friend void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.deviceNo; }
    std::int32_t deviceNo;
    std::uint8_t code, first, second;
    const char* bytes;
};

class Header : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(Header, TakesTheLowByteOfTheDeviceNumber) {
    const HeaderCase& c = GetParam();
    Guarded header(headerLength, 0xCC);
    ipBuildHeader(header.data(), c.deviceNo, c.code, c.first, c.second);
    EXPECT_EQ(header.contents(), hex(c.bytes));
    EXPECT_TRUE(header.guardsIntact());
}

INSTANTIATE_TEST_SUITE_P(Devices, Header,
                         ::testing::Values(HeaderCase{1, 0xA5, 0, 0, "01 A5 00 00 A6"},
                                           HeaderCase{91, 0xA5, 0, 0, "5B A5 00 00 00"},
                                           HeaderCase{256, 0xA5, 0, 0, "00 A5 00 00 A5"},
                                           HeaderCase{-1, 0xA5, 0, 0, "FF A5 00 00 A4"},
                                           HeaderCase{261, 0xA5, 0, 0, "05 A5 00 00 AA"},
                                           HeaderCase{0, 0xB4, 0xF0, 0x80, "00 B4 F0 80 24"}));

TEST(ReplyWait, IsOneSecondForTheShortCodesWhateverTheLength) {
    for (const int code : {0xA1, 0xC1, 0xD1})
        for (const std::int32_t replyLen : {0, 1, 899, 900, 1799, 1800, 2700, 4000, 100000})
            EXPECT_EQ(ipReplyWaitSeconds(static_cast<std::uint8_t>(code), replyLen), 1)
                << code << " " << replyLen;
}

TEST(ReplyWait, GrowsOneSecondPer900BytesFrom1800) {
    const std::pair<std::int32_t, std::int32_t> table[] = {
        {0, 3}, {1, 3}, {899, 3}, {900, 3}, {1799, 3}, {1800, 4}, {2699, 4},
        {2700, 5}, {3599, 5}, {3600, 6}, {4000, 6}};
    for (const int code : {0x00, 0x10, 0xA0, 0xA2, 0xB1, 0xFF})
        for (const auto& [replyLen, seconds] : table)
            EXPECT_EQ(ipReplyWaitSeconds(static_cast<std::uint8_t>(code), replyLen), seconds)
                << code << " " << replyLen;
}

TEST(WriteAck, PausesAndWaitsLongerFromBlocksOf20) {
    const struct {
        std::int32_t block;
        std::uint32_t pause;
        std::int32_t wait;
    } table[] = {{1, 0, 1}, {19, 0, 1}, {20, 1000, 4}, {21, 1000, 4}, {2501, 1000, 4}};
    for (const auto& row : table) {
        EXPECT_EQ(ipWriteAckPauseMs(row.block), row.pause) << row.block;
        EXPECT_EQ(ipWriteAckWaitSeconds(row.block), row.wait) << row.block;
    }
}

TEST(SendAckWait, IsDataLenOver900Plus2AndNeverBelowALook) {
    const std::pair<std::int32_t, std::int32_t> table[] = {
        {1, 2},     {899, 2},     {900, 3},     {1799, 3},   {1800, 4},  {2700, 5},
        {-1, 2},    {-899, 2},    {-900, 1},    {-1799, 1},  {-1800, 0}, {-2699, 0},
        {-2700, 0}, {-100000, 0}, {INT32_MIN, 0}, {INT32_MAX, INT32_MAX / 900 + 2}};
    for (const auto& [dataLen, seconds] : table)
        EXPECT_EQ(ipSendAckWaitSeconds(dataLen), seconds) << dataLen;
}

TEST(ChunkPause, FollowsEveryChunkOfBlocksLongerThan20) {
    const struct {
        std::int32_t chunk, block;
        std::uint32_t pause;
    } table[] = {{8, 8, 0},         {20, 20, 0},        {21, 21, 321},       {1000, 1000, 1300},
                 {1000, 1001, 1300}, {1, 1001, 301},    {501, 2501, 801},    {257, 16257, 557}};
    for (const auto& row : table)
        EXPECT_EQ(ipChunkPauseMs(row.chunk, row.block), row.pause) << row.chunk << "/" << row.block;
}

class FixedEntries : public FakeTest {};

TEST_F(FixedEntries, AnswerAtOnceWithoutAnyPlatformCall) {
    for (const std::int32_t v : {0, 1, -1, INT32_MIN, INT32_MAX, 0x12345678}) {
        EXPECT_EQ(IPSetIPAddr(v, ~v, v ^ 0x5555), 0);
        EXPECT_EQ(IPSearch(v), 1);
    }
    EXPECT_TRUE(fake::events.empty());
}

}  // namespace
