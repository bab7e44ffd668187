// IPSendData: one connection attempt, command out, data block paced out,
// acknowledgement in (unless the code says not to wait), closed.
#include "morlune.h"
#include "unit.h"

namespace {

using fake::ConnectStart;

const Trace opened = {"startup", "socket 100", "nonblocking 100", "connect 198.51.100.4:8000"};
const Trace closed = {"close 100", "cleanup"};
Trace around(const Trace& middle) { return cat(cat(opened, middle), closed); }

fake::Arrival piece(const char* bytes) { return {fake::Arrival::bytes, hex(bytes)}; }

Values repeat(std::size_t n, std::int64_t v) { return Values(n, v); }

struct Pacing {
    friend void PrintTo(const Pacing& c, std::ostream* os) { *os << c.dataLen; }
    std::int32_t dataLen;
    Values chunks;
    Values sleeps;  // every pause, in order, up to the acknowledgement wait
    std::int64_t wait;
};

class WritePacing : public FakeTest, public ::testing::WithParamInterface<Pacing> {};

TEST_P(WritePacing, SendsChunksWithTheirPausesThenAwaitsTheAck) {
    const Pacing& c = GetParam();
    const auto n = static_cast<std::size_t>(c.dataLen);
    Guarded cmd(hex("01 B0 00 00 CC"));
    Guarded data(cat(counting(n, 9), {0xCC}));
    fake::arrive(hex("02 4F"));

    EXPECT_EQ(IPSendData(4, cmd.data(), c.dataLen, data.data(), "198.51.100.4"), 0);
    EXPECT_EQ(fake::sendSizes(), cat(Values{5}, c.chunks));
    EXPECT_EQ(fake::values(fake::Op::sleep), c.sleeps);
    EXPECT_EQ(fake::values(fake::Op::waitReadable), Values{c.wait});
    EXPECT_EQ(fake::values(fake::Op::receive), Values{2});

    const Bytes block = framed(counting(n, 9));
    EXPECT_EQ(data.contents(), block);
    EXPECT_EQ(fake::wire, cat(hex("01 B0 00 00 B1"), block));
    EXPECT_TRUE(cmd.guardsIntact());
    EXPECT_TRUE(data.guardsIntact());
    EXPECT_EQ(fake::startupReferences(), 0);
    EXPECT_EQ(fake::closesOf(100), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, WritePacing,
    ::testing::Values(Pacing{1, {2}, {10}, 1}, Pacing{18, {19}, {10}, 1},
                      Pacing{19, {20}, {10, 1000}, 4}, Pacing{20, {21}, {10, 321, 1000}, 4},
                      Pacing{999, {1000}, {10, 1300, 1000}, 4},
                      Pacing{1000, {1000, 1}, {10, 1300, 301, 1000}, 4},
                      Pacing{2500, {1000, 1000, 501}, {10, 1300, 1300, 801, 1000}, 4},
                      Pacing{16256, cat(repeat(16, 1000), {257}),
                             cat(cat(Values{10}, repeat(16, 1300)), {557, 1000}), 4}));

class WriteTransaction : public FakeTest {
protected:
    Guarded cmd{hex("01 B0 00 00 CC")};
    Guarded data{hex("10 20 30 40 CC")};
    std::int32_t write(std::int32_t cmdLen = 4, std::int32_t dataLen = 4) {
        return IPSendData(cmdLen, cmd.data(), dataLen, data.data(), "198.51.100.4");
    }
    void expectBuffersIntact() {
        EXPECT_TRUE(cmd.guardsIntact());
        EXPECT_TRUE(data.guardsIntact());
    }
};

TEST_F(WriteTransaction, ShortBlockRunsInOrder) {
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(write(), 0);
    EXPECT_EQ(fake::trace(), around({"send 5", "sleep 10", "send 5", "wait 1s", "recv 2"}));
    EXPECT_EQ(cmd.contents(), hex("01 B0 00 00 B1"));
    EXPECT_EQ(data.contents(), hex("10 20 30 40 A0"));
    expectBuffersIntact();
}

TEST_F(WriteTransaction, LongBlockPausesBeforeTheLongerWait) {
    Guarded block(cat(counting(20, 1), {0xCC}));
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(IPSendData(4, cmd.data(), 20, block.data(), "198.51.100.4"), 0);
    EXPECT_EQ(fake::trace(), around({"send 5", "sleep 10", "send 21", "sleep 321", "sleep 1000",
                                     "wait 4s", "recv 2"}));
}

struct AckCase {
    friend void PrintTo(const AckCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::vector<fake::Arrival> device;
    std::int32_t result;
    bool read;
    const char* unread;
};

class WriteAck : public WriteTransaction, public ::testing::WithParamInterface<AckCase> {};

TEST_P(WriteAck, MapsEveryAnswerToItsCode) {
    for (const fake::Arrival& a : GetParam().device) fake::script.device.push_back(a);
    EXPECT_EQ(write(), GetParam().result);
    const Trace middle = GetParam().read ? Trace{"send 5", "sleep 10", "send 5", "wait 1s", "recv 2"}
                                         : Trace{"send 5", "sleep 10", "send 5", "wait 1s"};
    EXPECT_EQ(fake::trace(), around(middle));
    EXPECT_EQ(fake::unread(), hex(GetParam().unread));
    EXPECT_EQ(cmd.contents(), hex("01 B0 00 00 B1"));
    EXPECT_EQ(data.contents(), hex("10 20 30 40 A0"));
    expectBuffersIntact();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, WriteAck,
    ::testing::Values(AckCase{"Ack", {piece("02 4F")}, 0, true, ""},
                      AckCase{"AckAndMore", {piece("02 4F 77")}, 0, true, "77"},
                      AckCase{"Swapped", {piece("4F 02")}, 4, true, ""},
                      AckCase{"WrongSecond", {piece("02 4E")}, 4, true, ""},
                      AckCase{"SplitAck", {piece("02"), piece("4F")}, 3, true, "4F"},
                      AckCase{"Closed", {{fake::Arrival::closed, {}}}, 1, true, ""},
                      AckCase{"ReadError", {{fake::Arrival::error, {}}}, 2, true, ""},
                      AckCase{"Silence", {}, 3, false, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(WriteTransaction, CodesB5AndB6SkipTheAckButNotThePacing) {
    for (const std::uint8_t code : {std::uint8_t{0xB5}, std::uint8_t{0xB6}}) {
        fake::reset();
        Guarded command(Bytes{0x01, code, 0x00, 0x00, 0xCC});
        Guarded block(cat(counting(2500, 1), {0xCC}));
        fake::arrive(hex("02 4F"));
        EXPECT_EQ(IPSendData(4, command.data(), 2500, block.data(), "198.51.100.4"), 0);
        EXPECT_EQ(fake::sendSizes(), (Values{5, 1000, 1000, 501}));
        EXPECT_EQ(fake::values(fake::Op::sleep), (Values{10, 1300, 1300, 801}));
        EXPECT_TRUE(fake::values(fake::Op::waitReadable).empty());
        EXPECT_EQ(fake::unread(), hex("02 4F"));
        EXPECT_EQ(fake::closesOf(100), 1);
    }
}

TEST_F(WriteTransaction, AChunkNotTakenWholeEndsTheBlock) {
    for (const std::uint8_t code : {std::uint8_t{0xB0}, std::uint8_t{0xB5}}) {
        fake::reset();
        fake::script.send = {5, 1000, 999};
        Guarded command(Bytes{0x01, code, 0x00, 0x00, 0xCC});
        Guarded block(cat(counting(2500, 1), {0xCC}));
        fake::arrive(hex("02 4F"));
        EXPECT_EQ(IPSendData(4, command.data(), 2500, block.data(), "198.51.100.4"), 2);
        EXPECT_EQ(fake::trace(), around({"send 5", "sleep 10", "send 1000", "sleep 1300", "send 1000"}));
        EXPECT_EQ(fake::unread(), hex("02 4F"));
    }
}

TEST_F(WriteTransaction, CommandNotSentWholeLeavesTheDataAlone) {
    for (const std::int32_t accepted : {-1, 0, 4}) {
        fake::reset();
        fake::script.send = {accepted};
        EXPECT_EQ(write(), 2);
        EXPECT_EQ(fake::trace(), around({"send 5"}));
        EXPECT_EQ(cmd.contents(), hex("01 B0 00 00 B1"));
        EXPECT_EQ(data.contents(), hex("10 20 30 40 CC"));
    }
    expectBuffersIntact();
}

TEST_F(WriteTransaction, DataLenZeroEndsAfterTheCommand) {
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(write(4, 0), 0);
    EXPECT_EQ(fake::trace(), around({"send 5"}));
    EXPECT_EQ(data.contents(), hex("10 20 30 40 CC"));
    EXPECT_EQ(fake::unread(), hex("02 4F"));
}

TEST_F(WriteTransaction, MakesOneConnectionAttempt) {
    for (const ConnectStart start : {ConnectStart::failed, ConnectStart::pending}) {
        fake::reset();
        fake::script.connect = {start, ConnectStart::connected};
        fake::script.waitConnected = {false};
        EXPECT_EQ(write(), 1);
        EXPECT_EQ(fake::values(fake::Op::startup).size(), 1u);
        EXPECT_TRUE(fake::sends.empty());
        EXPECT_EQ(fake::startupReferences(), 0);
        EXPECT_EQ(fake::openSockets(), 0);
    }
    EXPECT_EQ(cmd.contents(), hex("01 B0 00 00 CC"));
    EXPECT_EQ(data.contents(), hex("10 20 30 40 CC"));
}

TEST_F(WriteTransaction, OneByteCommandTakesItsChecksumAsTheCode) {
    // The checksum of B5 alone is B5: no ack is awaited.
    Guarded command(hex("B5 01"));
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(IPSendData(1, command.data(), 4, data.data(), "198.51.100.4"), 0);
    EXPECT_EQ(command.contents(), hex("B5 B5"));
    EXPECT_TRUE(fake::values(fake::Op::waitReadable).empty());

    // B5 in byte 1 is overwritten by the checksum 10: the ack is awaited.
    fake::reset();
    Guarded other(hex("10 B5"));
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(IPSendData(1, other.data(), 4, data.data(), "198.51.100.4"), 0);
    EXPECT_EQ(other.contents(), hex("10 10"));
    EXPECT_EQ(fake::values(fake::Op::receive), Values{2});
}

TEST_F(WriteTransaction, UnusableLengthsGiveTwoAndTouchNothing) {
    const std::pair<std::int32_t, std::int32_t> table[] = {
        {-1, 4}, {4, -1}, {INT32_MIN, 4}, {4, INT32_MIN}, {INT32_MAX, 4}, {4, INT32_MAX}};
    for (const auto& [cmdLen, dataLen] : table) EXPECT_EQ(write(cmdLen, dataLen), 2);
    EXPECT_TRUE(fake::events.empty());
    EXPECT_EQ(cmd.contents(), hex("01 B0 00 00 CC"));
    EXPECT_EQ(data.contents(), hex("10 20 30 40 CC"));
    expectBuffersIntact();
}

}  // namespace
