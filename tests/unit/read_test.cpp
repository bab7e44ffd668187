// IPGetData: connect (twice if need be), command out, reply in, verified,
// acknowledged, closed.
#include "morlune.h"
#include "unit.h"

namespace {

using fake::ConnectStart;

const Trace opened = {"startup", "socket 100", "nonblocking 100", "connect 192.0.2.7:8000"};
const Trace closed = {"close 100", "cleanup"};

Trace around(const Trace& middle) { return cat(cat(opened, middle), closed); }


class ReadTransaction : public FakeTest {
protected:
    Guarded cmd{hex("01 F0 20 30 CC")};
    Guarded reply{5, 0xCC};
    const Bytes answer = framed(hex("AA BB CC DD"));

    std::int32_t read(std::int32_t cmdLen = 4, std::int32_t replyLen = 4) {
        return IPGetData(cmdLen, cmd.data(), replyLen, reply.data(), "192.0.2.7");
    }
    void expectBuffersIntact() {
        EXPECT_TRUE(cmd.guardsIntact());
        EXPECT_TRUE(reply.guardsIntact());
    }
};

TEST_F(ReadTransaction, CompletesTheCommandVerifiesAndAcknowledgesTheReply) {
    fake::arrive(answer);
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(fake::trace(), around({"send 5", "wait 3s", "recv 5", "send 2", "sleep 100"}));
    EXPECT_EQ(cmd.contents(), hex("01 F0 20 30 41"));
    EXPECT_EQ(reply.contents(), answer);
    EXPECT_EQ(fake::wire, hex("01 F0 20 30 41 02 4F"));
    expectBuffersIntact();
}

struct Attempts {
    friend void PrintTo(const Attempts& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::deque<bool> startup;
    std::deque<ConnectStart> connect;
    std::deque<bool> waitConnected;
    std::int32_t result;
    int startups;
};

class ReadOpen : public ReadTransaction, public ::testing::WithParamInterface<Attempts> {};

TEST_P(ReadOpen, TriesTwiceAndClosesWhatItOpened) {
    const Attempts& c = GetParam();
    fake::script.startup = c.startup;
    fake::script.connect = c.connect;
    fake::script.waitConnected = c.waitConnected;
    fake::arrive(answer);
    EXPECT_EQ(read(), c.result);
    EXPECT_EQ(fake::values(fake::Op::startup).size(), static_cast<std::size_t>(c.startups));
    EXPECT_EQ(fake::startupReferences(), 0);
    EXPECT_EQ(fake::openSockets(), 0);
    if (c.result == 1) {
        EXPECT_TRUE(fake::sends.empty());
        EXPECT_EQ(cmd.contents(), hex("01 F0 20 30 CC"));
        EXPECT_EQ(reply.contents(), Bytes(5, 0xCC));
    } else {
        EXPECT_EQ(reply.contents(), answer);
        // The socket that carried the exchange is closed once, at the very end.
        const fake::Handle used = fake::sendSocket();
        EXPECT_EQ(fake::closesOf(used), 1);
        const Trace all = fake::trace();
        EXPECT_EQ(Trace(all.end() - 3, all.end()),
                  (Trace{"sleep 100", "close " + std::to_string(used), "cleanup"}));
    }
    expectBuffersIntact();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadOpen,
    ::testing::Values(
        Attempts{"BothRefused", {}, {ConnectStart::failed, ConnectStart::failed}, {}, 1, 2},
        Attempts{"BothSilent", {}, {ConnectStart::pending, ConnectStart::pending}, {false, false}, 1, 2},
        Attempts{"NoSocketLibrary", {false, false}, {}, {}, 1, 2},
        Attempts{"SecondConnects", {}, {ConnectStart::failed, ConnectStart::connected}, {}, 0, 2},
        Attempts{"SecondStarts", {false, true}, {}, {}, 0, 2},
        Attempts{"FirstWithinTheWait", {}, {ConnectStart::pending}, {true}, 0, 1}),
    [](const auto& p) { return std::string(p.param.name); });

struct WaitCase {
    friend void PrintTo(const WaitCase& c, std::ostream* os) { *os << int{c.code} << "/" << c.replyLen; }
    std::uint8_t code;
    std::int32_t replyLen;
    std::int64_t seconds;
};

class ReadWait : public FakeTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(ReadWait, ComesFromTheCommandCodeAndReplyLength) {
    const WaitCase& c = GetParam();
    Guarded cmd(Bytes{0x01, c.code, 0x00, 0x00, 0x00});
    const auto n = static_cast<std::size_t>(c.replyLen);
    Guarded reply(n + 1, 0xCC);
    const Bytes answer = framed(counting(n, 7));
    fake::arrive(answer);
    EXPECT_EQ(IPGetData(4, cmd.data(), c.replyLen, reply.data(), "192.0.2.7"), 0);
    const Values waits = fake::values(fake::Op::waitReadable);
    EXPECT_EQ(waits, Values(waits.size(), c.seconds));
    EXPECT_FALSE(waits.empty());
    EXPECT_EQ(reply.contents(), answer);
    EXPECT_TRUE(reply.guardsIntact());
}

INSTANTIATE_TEST_SUITE_P(Codes, ReadWait,
                         ::testing::Values(WaitCase{0x10, 1, 3}, WaitCase{0x10, 899, 3},
                                           WaitCase{0x10, 900, 3}, WaitCase{0x10, 1799, 3},
                                           WaitCase{0x10, 1800, 4}, WaitCase{0x10, 2700, 5},
                                           WaitCase{0xA0, 4000, 6}, WaitCase{0xA1, 4000, 1},
                                           WaitCase{0xC1, 4000, 1}, WaitCase{0xD1, 1, 1},
                                           WaitCase{0xD0, 1, 3}));

TEST_F(ReadTransaction, ReadsAtMost1000BytesAndOnlyWhatIsMissing) {
    const struct {
        std::int32_t replyLen;
        std::vector<std::size_t> pieces;  // how the reply arrives
        Values asks;
    } table[] = {
        {2500, {2501}, {1000, 1000, 501}},
        {2500, {300, 2201}, {1000, 1000, 1000, 201}},
        {999, {1000}, {1000}},
        {1000, {1001}, {1000, 1}},
        {4, {1, 1, 3}, {5, 4, 3}},
    };
    for (const auto& row : table) {
        fake::reset();
        const auto n = static_cast<std::size_t>(row.replyLen);
        const Bytes whole = framed(counting(n, 3));
        std::size_t at = 0;
        for (const std::size_t size : row.pieces) {
            fake::arrive(Bytes(whole.begin() + static_cast<std::ptrdiff_t>(at),
                               whole.begin() + static_cast<std::ptrdiff_t>(at + size)));
            at += size;
        }
        Guarded cmd2(hex("01 10 00 00 00"));
        Guarded buf(n + 1, 0xCC);
        EXPECT_EQ(IPGetData(4, cmd2.data(), row.replyLen, buf.data(), "192.0.2.7"), 0);
        EXPECT_EQ(fake::values(fake::Op::receive), row.asks) << row.replyLen;
        EXPECT_EQ(buf.contents(), whole);
        EXPECT_TRUE(buf.guardsIntact());
    }
}

struct Outcome {
    friend void PrintTo(const Outcome& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::deque<std::int32_t> send;
    std::vector<fake::Arrival> device;
    std::int32_t result;
    const char* reply;  // what the host's reply buffer holds afterwards
    Trace middle;       // between the open and the close
};

class ReadOutcome : public ReadTransaction, public ::testing::WithParamInterface<Outcome> {};

TEST_P(ReadOutcome, LeavesTheBuffersAsTheResultSays) {
    const Outcome& c = GetParam();
    fake::script.send = c.send;
    for (const fake::Arrival& a : c.device) fake::script.device.push_back(a);
    EXPECT_EQ(read(), c.result);
    EXPECT_EQ(fake::trace(), around(c.middle));
    EXPECT_EQ(cmd.contents(), hex("01 F0 20 30 41"));
    EXPECT_EQ(reply.contents(), hex(c.reply));
    expectBuffersIntact();
}

fake::Arrival piece(const char* bytes) { return {fake::Arrival::bytes, hex(bytes)}; }
const fake::Arrival peerClosed{fake::Arrival::closed, {}};
const fake::Arrival readFails{fake::Arrival::error, {}};
const fake::Arrival quiet{fake::Arrival::silence, {}};

INSTANTIATE_TEST_SUITE_P(
    Results, ReadOutcome,
    ::testing::Values(
        Outcome{"Complete", {}, {piece("AA BB CC DD 0E")}, 0, "AA BB CC DD 0E",
                {"send 5", "wait 3s", "recv 5", "send 2", "sleep 100"}},
        Outcome{"AckSendFails", {5, -1}, {piece("AA BB CC DD 0E")}, 0, "AA BB CC DD 0E",
                {"send 5", "wait 3s", "recv 5", "send 2", "sleep 100"}},
        Outcome{"CommandShort", {4}, {piece("AA BB CC DD 0E")}, 2, "CC CC CC CC CC", {"send 5"}},
        Outcome{"CommandFails", {-1}, {piece("AA BB CC DD 0E")}, 2, "CC CC CC CC CC", {"send 5"}},
        Outcome{"Silence", {}, {}, 2, "CC CC CC CC CC", {"send 5", "wait 3s"}},
        Outcome{"ClosedAtOnce", {}, {peerClosed}, 2, "CC CC CC CC CC", {"send 5", "wait 3s", "recv 5"}},
        Outcome{"ReadFailsAtOnce", {}, {readFails}, 2, "CC CC CC CC CC", {"send 5", "wait 3s", "recv 5"}},
        Outcome{"TwoThenSilence", {}, {piece("AA BB"), quiet}, 3, "AA BB CC CC CC",
                {"send 5", "wait 3s", "recv 5", "wait 3s"}},
        Outcome{"FourThenClosed", {}, {piece("AA BB"), piece("CC DD"), peerClosed}, 3, "AA BB CC DD CC",
                {"send 5", "wait 3s", "recv 5", "wait 3s", "recv 3", "wait 3s", "recv 1"}},
        Outcome{"OneThenReadFails", {}, {piece("AA"), readFails}, 3, "AA CC CC CC CC",
                {"send 5", "wait 3s", "recv 5", "wait 3s", "recv 4"}},
        Outcome{"WrongChecksum", {}, {piece("AA BB CC DD 0F")}, 4, "AA BB CC DD 0F",
                {"send 5", "wait 3s", "recv 5"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ReadTransaction, LeavesSurplusUnread) {
    fake::arrive(cat(answer, hex("99 98 97")));
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(fake::values(fake::Op::receive), Values{5});
    EXPECT_EQ(fake::unread(), hex("99 98 97"));
    EXPECT_EQ(reply.contents(), answer);
    expectBuffersIntact();
}

TEST_F(ReadTransaction, ReplyLenZeroEndsAfterTheCommand) {
    fake::arrive(answer);
    Guarded none(1, 0xCC);
    EXPECT_EQ(IPGetData(4, cmd.data(), 0, none.data(), "192.0.2.7"), 0);
    EXPECT_EQ(fake::trace(), around({"send 5"}));
    EXPECT_EQ(none.contents(), Bytes{0xCC});
    EXPECT_TRUE(none.guardsIntact());
    EXPECT_EQ(cmd.contents(), hex("01 F0 20 30 41"));
}

TEST_F(ReadTransaction, ShortCommandsTakeTheirCodeFromByte1AfterTheChecksum) {
    const struct {
        const char* before;
        std::int32_t cmdLen;
        const char* after;
        const char* sent;
        std::int64_t wait;
    } table[] = {
        {"77 A1", 0, "00 A1", "00", 1},     // code is the caller's byte 1
        {"C1 55", 1, "C1 C1", "C1 C1", 1},  // checksum becomes the code
        {"10 A1", 1, "10 10", "10 10", 3},
        {"01 D1 00", 2, "01 D1 D2", "01 D1 D2", 1},
    };
    for (const auto& row : table) {
        fake::reset();
        fake::arrive(hex("5A 5A"));
        Guarded shortCmd(hex(row.before));
        Guarded one(2, 0xCC);
        EXPECT_EQ(IPGetData(row.cmdLen, shortCmd.data(), 1, one.data(), "192.0.2.7"), 0) << row.before;
        EXPECT_EQ(shortCmd.contents(), hex(row.after)) << row.before;
        EXPECT_TRUE(shortCmd.guardsIntact());
        EXPECT_EQ(fake::sends.front(), hex(row.sent)) << row.before;
        EXPECT_EQ(fake::values(fake::Op::waitReadable), Values{row.wait}) << row.before;
    }
}

TEST_F(ReadTransaction, UnusableLengthsGiveTwoAndTouchNothing) {
    const std::pair<std::int32_t, std::int32_t> table[] = {
        {-1, 4}, {4, -1}, {INT32_MIN, 4}, {4, INT32_MIN}, {INT32_MAX, 4}, {4, INT32_MAX}, {-1, -1}};
    for (const auto& [cmdLen, replyLen] : table) {
        EXPECT_EQ(read(cmdLen, replyLen), 2) << cmdLen << " " << replyLen;
    }
    EXPECT_TRUE(fake::events.empty());
    EXPECT_EQ(cmd.contents(), hex("01 F0 20 30 CC"));
    EXPECT_EQ(reply.contents(), Bytes(5, 0xCC));
    expectBuffersIntact();
}

}  // namespace
