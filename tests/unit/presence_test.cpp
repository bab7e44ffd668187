// iPonNet: two headers out, 8 and 6 bytes in, seven bytes out on an echo match.
#include "morlune.h"
#include "unit.h"

namespace {

constexpr std::int32_t sock = 9;

struct Query {
    friend void PrintTo(const Query& c, std::ostream* os) { *os << c.deviceNo << " " << c.second; }
    std::int32_t deviceNo;
    const char* first;   // the device's first reply
    const char* second;  // its second reply
    const char* headers; // both headers as the device receives them
    const char* out;     // nullptr: out untouched
};

class Presence : public FakeTest, public ::testing::WithParamInterface<Query> {};

TEST_P(Presence, SendsBothHeadersAndWritesOutOnlyOnAnEcho) {
    const Query& q = GetParam();
    fake::arrive({hex(q.first), hex(q.second)});
    Guarded out(7, 0xCC);
    EXPECT_EQ(iPonNet(q.deviceNo, out.data(), sock), 0);
    EXPECT_EQ(hex(fake::wire), hex(hex(q.headers)));
    EXPECT_EQ(fake::sendSizes(), (Values{5, 5}));
    EXPECT_EQ(out.contents(), q.out ? hex(q.out) : Bytes(7, 0xCC));
    EXPECT_TRUE(out.guardsIntact());
    EXPECT_EQ(fake::values(fake::Op::receive), (Values{8, 6}));
    EXPECT_EQ(fake::values(fake::Op::waitReadable), (Values{2, 2}));
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Presence,
    ::testing::Values(
        Query{5, "11 22 33 44 55 66 77 88", "A1 05 B3 C4 D5 E6", "05 A0 00 00 A5 00 B4 11 22 E7",
              "05 B3 C4 33 44 55 66"},
        Query{5, "11 22 33 44 55 66 77 88", "A1 06 B3 C4 D5 E6", "05 A0 00 00 A5 00 B4 11 22 E7",
              nullptr},
        Query{127, "F0 80 01 02 03 04 05 06", "00 7F 10 20 30 40", "7F A0 00 00 1F 00 B4 F0 80 24",
              "7F 10 20 01 02 03 04"},
        Query{255, "4C 00 9A 9B 9C 9D 9E 9F", "55 FF 01 02 03 04", "FF A0 00 00 9F 00 B4 4C 00 00",
              "FF 01 02 9A 9B 9C 9D"},
        Query{0, "00 00 00 00 00 00 00 00", "00 00 00 00 00 00", "00 A0 00 00 A0 00 B4 00 00 B4",
              "00 00 00 00 00 00 00"},
        Query{261, "11 22 33 44 55 66 77 88", "A1 05 B3 C4 D5 E6", "05 A0 00 00 A5 00 B4 11 22 E7",
              "05 B3 C4 33 44 55 66"},
        Query{-1, "11 22 33 44 55 66 77 88", "A1 FF B3 C4 D5 E6", "FF A0 00 00 9F 00 B4 11 22 E7",
              nullptr},
        Query{-256, "11 22 33 44 55 66 77 88", "A1 00 B3 C4 D5 E6", "00 A0 00 00 A0 00 B4 11 22 E7",
              "00 B3 C4 33 44 55 66"},
        Query{-255, "11 22 33 44 55 66 77 88", "A1 01 B3 C4 D5 E6", "01 A0 00 00 A1 00 B4 11 22 E7",
              nullptr}));

class PresenceQuery : public FakeTest {
protected:
    Guarded out{7, 0xCC};
    const Bytes first = hex("11 22 33 44 55 66 77 88");
    const Bytes second = hex("A1 05 B3 C4 D5 E6");
};

TEST_F(PresenceQuery, RepliesInPiecesReadIntoPlace) {
    fake::arrive({hex("11 22 33"), hex("44 55 66 77 88"), hex("A1"), hex("05 B3 C4"), hex("D5 E6")});
    EXPECT_EQ(iPonNet(5, out.data(), sock), 0);
    EXPECT_EQ(out.contents(), hex("05 B3 C4 33 44 55 66"));
    EXPECT_EQ(fake::values(fake::Op::receive), (Values{8, 5, 6, 5, 2}));
    EXPECT_EQ(fake::sends.back(), hex("00 B4 11 22 E7"));
}

TEST_F(PresenceQuery, SurplusOfTheFirstReplyStartsTheSecond) {
    fake::arrive({hex("11 22 33 44 55 66 77 88 A1 05"), hex("B3 C4 D5 E6 F7")});
    EXPECT_EQ(iPonNet(5, out.data(), sock), 0);
    EXPECT_EQ(out.contents(), hex("05 B3 C4 33 44 55 66"));
    EXPECT_EQ(fake::values(fake::Op::receive), (Values{8, 6, 4}));
    EXPECT_EQ(fake::unread(), hex("F7"));
    // Both headers went out even though the second reply had begun to arrive.
    EXPECT_EQ(fake::sendSizes(), (Values{5, 5}));
}

TEST_F(PresenceQuery, ShortFirstReplyEndsBeforeTheSecondHeader) {
    const std::vector<std::vector<fake::Arrival>> ways = {
        {{fake::Arrival::bytes, hex("11 22 33 44 55 66 77")}},
        {{fake::Arrival::closed, {}}},
        {{fake::Arrival::bytes, hex("11 22")}, {fake::Arrival::error, {}}},
        {},
    };
    for (const auto& device : ways) {
        fake::reset();
        for (const fake::Arrival& a : device) fake::script.device.push_back(a);
        EXPECT_EQ(iPonNet(5, out.data(), sock), 3);
        EXPECT_EQ(fake::sendSizes(), Values{5});
        EXPECT_TRUE(fake::values(fake::Op::tick).empty());
        EXPECT_EQ(out.contents(), Bytes(7, 0xCC));
    }
}

TEST_F(PresenceQuery, ShortSecondReplyLeavesOutUntouched) {
    fake::arrive({first, hex("A1 05 B3 C4 D5")});
    EXPECT_EQ(iPonNet(5, out.data(), sock), 3);
    EXPECT_EQ(fake::sendSizes(), (Values{5, 5}));
    EXPECT_EQ(out.contents(), Bytes(7, 0xCC));

    fake::reset();
    fake::arrive(first);
    fake::closeByPeer();
    EXPECT_EQ(iPonNet(5, out.data(), sock), 3);
    EXPECT_EQ(out.contents(), Bytes(7, 0xCC));
}

TEST_F(PresenceQuery, HeaderSendFailuresGiveMinusOne) {
    fake::script.send = {4};
    fake::arrive({first, second});
    EXPECT_EQ(iPonNet(5, out.data(), sock), -1);
    EXPECT_EQ(fake::trace(), Trace{"send 5"});

    for (const std::int32_t accepted : {-1, 0, 4}) {
        fake::reset();
        fake::script.send = {5, accepted};
        fake::arrive({first, second});
        EXPECT_EQ(iPonNet(5, out.data(), sock), -1);
        EXPECT_EQ(fake::values(fake::Op::receive), Values{8});
        EXPECT_EQ(fake::unread(), second);
        EXPECT_EQ(out.contents(), Bytes(7, 0xCC));
    }
}

TEST_F(PresenceQuery, NeverClosesTheHostsSocket) {
    fake::arrive({first, second});
    iPonNet(5, out.data(), sock);
    for (const fake::Event& e : fake::events) {
        EXPECT_NE(e.op, fake::Op::close);
        if (e.sock != -1) {
            EXPECT_EQ(e.sock, sock);
        }
    }
}

// The events between the first reply and the second header.
Trace pauseTrace() {
    Trace all = fake::trace();
    Trace pause;
    bool firstReplyIn = false;
    int sendsSeen = 0;
    for (const std::string& line : all) {
        if (line.rfind("send", 0) == 0 && ++sendsSeen == 2) break;
        if (firstReplyIn) pause.push_back(line);
        if (line == "recv 8") firstReplyIn = true;
    }
    return pause;
}

struct Ticks {
    friend void PrintTo(const Ticks& c, std::ostream* os) { *os << c.reads << " reads"; }
    std::deque<std::uint32_t> readings;
    std::size_t reads;
};

class PresencePause : public FakeTest, public ::testing::WithParamInterface<Ticks> {};

TEST_P(PresencePause, SpinsUntilTheTickHasMovedOnByMoreThan10) {
    fake::script.ticks = GetParam().readings;
    fake::arrive({hex("11 22 33 44 55 66 77 88"), hex("A1 05 B3 C4 D5 E6")});
    Guarded out(7, 0xCC);
    EXPECT_EQ(iPonNet(5, out.data(), sock), 0);
    EXPECT_EQ(pauseTrace(), Trace(GetParam().reads, "tick"));
    EXPECT_TRUE(fake::script.ticks.empty() || fake::script.ticks.size() == 1);
    EXPECT_TRUE(fake::values(fake::Op::sleep).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Readings, PresencePause,
    ::testing::Values(Ticks{{203, 206, 209, 212, 215}, 5}, Ticks{{210, 220, 230}, 3},
                      Ticks{{500, 511, 999}, 2}, Ticks{{0xFFFFFFFAu, 0xFFFFFFFFu, 4, 5}, 4},
                      Ticks{{7, 7, 7, 17, 18, 40}, 5}));

}  // namespace
