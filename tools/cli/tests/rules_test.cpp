// The client's pure rules: hex text, number lists, black-list preparation,
// entry bytes, pacing estimates, messages and exit statuses.
#include <gtest/gtest.h>

#include <set>

#include "hostio.h"
#include "progress.h"
#include "results.h"

using namespace morlune::cli;

TEST(Hex, ReadsEveryAcceptedSpelling) {
    const struct {
        const char* text;
        Bytes bytes;
    } cases[] = {
        {"01 A0 00 00", {0x01, 0xA0, 0x00, 0x00}},
        {"01a00000", {0x01, 0xA0, 0x00, 0x00}},
        {"01:a0:00:00", {0x01, 0xA0, 0x00, 0x00}},
        {"0x01,0xA0", {0x01, 0xA0}},
        {" 5 f\n", {0x05, 0x0F}},
        {"", {}},
        {"0xFFFE", {0xFF, 0xFE}},
    };
    for (const auto& c : cases) {
        const auto parsed = parseHex(c.text);
        ASSERT_TRUE(parsed.value) << c.text << ": " << parsed.error;
        EXPECT_EQ(*parsed.value, c.bytes) << c.text;
    }
}

TEST(Hex, RefusesWhatIsNotHex) {
    for (const char* text : {"0G", "123", "01 2x", "0x", "-1", "01-02"})
        EXPECT_FALSE(parseHex(text).value) << text;
}

TEST(Hex, FormatsUpperCaseWithSpaces) {
    EXPECT_EQ(formatHex(Bytes{0x01, 0xA0, 0x0F}), "01 A0 0F");
    EXPECT_EQ(formatHex(Bytes{}), "");
}

TEST(Numbers, ReadsNumbersRangesAndComments) {
    const auto parsed = parseNumbers("5, 7-9 # seven to nine\n# a whole line\n131071\t0");
    ASSERT_TRUE(parsed.value) << parsed.error;
    EXPECT_EQ(*parsed.value, (std::vector<std::int32_t>{5, 7, 8, 9, 131071, 0}));
    const auto single = parseNumbers("100-100");
    ASSERT_TRUE(single.value);
    EXPECT_EQ(*single.value, std::vector<std::int32_t>{100});
}

TEST(Numbers, RefusesBadTokens) {
    for (const char* text : {"12a", "9-3", "131072", "1-131072", "-5", "1--2", "x"})
        EXPECT_FALSE(parseNumbers(text).value) << text;
}

// The library's bitmap walk leaves out everything after a repeat or a step
// down; the client sorts and drops repeats so that every number arrives.
TEST(BlackList, SortsDropsRepeatsAndRefusesWhatWouldBeLost) {
    const auto sorted = prepareBlackList({300, 100, 102, 101, 100});
    ASSERT_TRUE(sorted.value);
    EXPECT_EQ(*sorted.value, (std::vector<std::int32_t>{100, 101, 102, 300}));

    EXPECT_TRUE(prepareBlackList({131071}).value);         // one number: all 17 bits
    EXPECT_TRUE(prepareBlackList({1, 130000}).value);      // the bitmap's last number
    EXPECT_TRUE(prepareBlackList({}).value);               // empty: the library answers 6
    EXPECT_FALSE(prepareBlackList({1, 130001}).value);     // beyond the bitmap
    EXPECT_FALSE(prepareBlackList({0}).value);             // no number 0
    EXPECT_FALSE(prepareBlackList({0, 4}).value);
}

TEST(BlackList, EntriesCarrySeventeenBitsHighByteFirst) {
    EXPECT_EQ(encodeEntries({0x11234, 1, 0xFFFF}),
              (Bytes{0x01, 0x12, 0x34, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF}));
}

TEST(Pacing, MatchesTheLibrarysPauses) {
    const struct {
        std::int64_t block;
        std::int64_t ms;
    } cases[] = {
        {8, 10}, {20, 10}, {21, 10 + 321}, {1000, 10 + 1300}, {1001, 10 + 1300 + 301},
        {2501, 10 + 1300 + 1300 + 801}, {16257, 10 + 16 * 1300 + 557},
    };
    for (const auto& c : cases) EXPECT_EQ(pacedSendMs(c.block), c.ms) << c.block;
}

TEST(Pacing, BlackListBlockAndEstimate) {
    EXPECT_EQ(blackListBlockLength({5}), 8);
    EXPECT_EQ(blackListBlockLength({1, 104}), 20);
    EXPECT_EQ(blackListBlockLength({1, 105}), 21);
    EXPECT_EQ(blackListBlockLength({1, 130000}), 16257);
    const Estimate largest = blackListEstimate({1, 130000});
    EXPECT_EQ(largest.pacingMs, 21367);  // the largest list: about 22.4 s with its wait
    EXPECT_EQ(largest.waitMs, 1000);
    EXPECT_EQ(blackListEstimate({}).pacingMs, 0);
}

TEST(Pacing, WriteEstimateFollowsTheThresholds) {
    const struct {
        std::int32_t dataLen;
        std::uint8_t code;
        std::int64_t pacing;
        std::int64_t wait;
    } cases[] = {
        {0, 0x20, 0, 0},          {18, 0x20, 10, 1000},   {19, 0x20, 10 + 1000, 4000},
        {20, 0x20, 10 + 321 + 1000, 4000}, {2500, 0xB5, 10 + 1300 + 1300 + 801, 0},
        {18, 0xB6, 10, 0},
    };
    for (const auto& c : cases) {
        const Estimate e = writeEstimate(c.dataLen, c.code);
        EXPECT_EQ(e.pacingMs, c.pacing) << c.dataLen;
        EXPECT_EQ(e.waitMs, c.wait) << c.dataLen;
    }
}

TEST(Progress, LineSaysItIsAnEstimate) {
    const Estimate e{20000, 1000};
    EXPECT_EQ(Progress::line("list", e, 10000),
              "list [############............] 10.0 s of about 20.0 s (estimated)");
    EXPECT_EQ(Progress::line("list", e, 25000),
              "list [########################] 25.0 s of about 20.0 s, waiting up to 1.0 s for the answer (estimated)");
}

TEST(Results, EveryCodeHasItsOwnMessage) {
    const struct {
        Operation operation;
        std::vector<std::int32_t> codes;
    } cases[] = {
        {Operation::read, {0, 1, 2, 3, 4}},   {Operation::write, {0, 1, 2, 3, 4}},
        {Operation::blackList, {0, 1, 2, 6}}, {Operation::comm, {0, -1, -2}},
        {Operation::get, {0, -1, -2}},        {Operation::send, {0, -1, 1}},
        {Operation::presence, {0, -1, 3}},
    };
    for (const auto& c : cases) {
        std::set<std::string> seen;
        for (std::int32_t code : c.codes) {
            const std::string message = resultMessage(c.operation, code);
            EXPECT_EQ(message.find("unknown"), std::string::npos) << code;
            EXPECT_TRUE(seen.insert(message).second) << message;
        }
        EXPECT_EQ(resultMessage(c.operation, 5), "unknown result 5");
    }
}

TEST(Results, ExitStatusIsTheResultModulo256) {
    EXPECT_EQ(exitStatusOf(0), 0);
    EXPECT_EQ(exitStatusOf(6), 6);
    EXPECT_EQ(exitStatusOf(-1), 255);
    EXPECT_EQ(exitStatusOf(-2), 254);
}
