// Held connections over real TCP: connect and close, and the exchanges of
// the host's own frames with a scripted device on 127.0.0.1.
#include <asio.hpp>

#include "support.h"

namespace loopback {
namespace {

namespace step = morlune::sim::step;
using morlune::sim::hex;
using morlune::sim::parseHex;
using morlune::sim::Script;
using morlune::sim::Transcript;

// A held connection to a scripted device; closed at the end of each test.
class Held : public ::testing::Test {
protected:
    void open(Script script) {
        emulator.addScript(std::move(script));
        const std::uint16_t port = emulator.listen("127.0.0.1", 0, Face::scripted);
        emulator.start();
        sock = ipConnectDevice("127.0.0.1", port);
        ASSERT_NE(sock, -1);
    }
    // Closes the host's side and returns what the device saw.
    Transcript close() {
        EXPECT_EQ(ipCloseDevice(sock), 0);
        sock = -1;
        Transcript t = emulator.transcript(0);
        EXPECT_TRUE(t.finished);
        return t;
    }
    ~Held() override {
        if (sock != -1) ipCloseDevice(sock);
    }

    Emulator emulator{frameLog()};
    std::int32_t sock = -1;
};

TEST(Connect, OpensAHeldConnectionAndClosesItWithResultZero) {
    Emulator emulator{frameLog()};
    const std::uint16_t port = emulator.listen("127.0.0.1", 0, Face::scripted);
    emulator.start();

    const std::int32_t sock = ipConnectDevice("127.0.0.1", port);
    ASSERT_NE(sock, -1);
    EXPECT_EQ(ipCloseDevice(sock), 0);
    const Transcript t = emulator.transcript(0);
    EXPECT_TRUE(t.finished);
    EXPECT_TRUE(t.hostClosed);
    EXPECT_TRUE(t.received.empty());

    // Only the low 16 bits of the port count.
    const std::int32_t wide = ipConnectDevice("127.0.0.1", 65536 + port);
    ASSERT_NE(wide, -1);
    EXPECT_EQ(ipCloseDevice(wide), 0);
    EXPECT_TRUE(emulator.transcript(1).finished);
}

TEST(Connect, RefusedPortGivesMinusOne) {
    asio::io_context io;
    asio::ip::tcp::acceptor probe(io, {asio::ip::make_address_v4("127.0.0.1"), 0});
    const std::uint16_t port = probe.local_endpoint().port();
    probe.close();  // nothing listens there any more

    const Stopwatch watch;
    EXPECT_EQ(ipConnectDevice("127.0.0.1", port), -1);
    EXPECT_LT(watch.ms(), 2500);
}

TEST(Connect, ListenerThatNeverCompletesTheConnectionGivesMinusOneAfterAboutASecond) {
    Emulator emulator{frameLog()};
    const std::uint16_t port = emulator.listenUnanswered("127.0.0.1", 0);
    emulator.start();

    const Stopwatch watch;
    EXPECT_EQ(ipConnectDevice("127.0.0.1", port), -1);
#ifndef _WIN32
    // Windows refuses at once when the queue is full; Linux leaves it unanswered.
    EXPECT_GE(watch.ms(), 900);
#endif
    EXPECT_LT(watch.ms(), 3000);
}

TEST_F(Held, IPCommTakesAReplyInPiecesAndLeavesTheSurplusForTheNextCall) {
    open({step::expect(4),
          step::sendPieces(parseHex("A1 A2 A3 A4 A5 A6 51 52"), {2, 3}),
          step::expect(1), step::silent()});
    const Bytes frame = parseHex("01 10 00 00");
    Guarded reply(6);
    EXPECT_EQ(IPComm(4, frame.data(), 6, reply.data(), 12345, sock), 0);
    EXPECT_EQ(hex(reply.used()), "A1 A2 A3 A4 A5 A6");
    EXPECT_TRUE(reply.guardIntact());

    // Nothing to send; the two surplus bytes are the next reply.
    Guarded rest(2);
    EXPECT_EQ(IPComm(0, frame.data(), 2, rest.data(), 0, sock), 0);
    EXPECT_EQ(hex(rest.used()), "51 52");
    EXPECT_TRUE(rest.guardIntact());

    // recvLen 0: sent, nothing awaited.
    EXPECT_EQ(IPComm(1, frame.data(), 0, rest.data(), 0, sock), 0);
    EXPECT_EQ(hex(close().received), "01 10 00 00 01");
}

TEST_F(Held, IPCommReportsAShortReplyAtOnceWhenTheDeviceCloses) {
    open({step::expect(3), step::send(parseHex("C1 C2")), step::close()});
    const Bytes frame = parseHex("05 20 25");
    Guarded reply(6, 0x00);
    const Stopwatch watch;
    EXPECT_EQ(IPComm(3, frame.data(), 6, reply.data(), 0, sock), -2);
    EXPECT_LT(watch.ms(), 1500);  // no 2 s wait once the device has gone
    EXPECT_EQ(hex(reply.used()), "C1 C2 00 00 00 00");
    EXPECT_TRUE(reply.guardIntact());
    EXPECT_EQ(hex(close().received), "05 20 25");
}

TEST_F(Held, IPCommGivesUpAfterTwoSecondsOfSilence) {
    open({step::expect(2), step::send(parseHex("D1 D2 D3")), step::silent()});
    const Bytes frame = parseHex("07 30");
    Guarded reply(6, 0x00);
    const Stopwatch watch;
    EXPECT_EQ(IPComm(2, frame.data(), 6, reply.data(), 0, sock), -2);
    EXPECT_GE(watch.ms(), 1900);
    EXPECT_LT(watch.ms(), 4000);
    EXPECT_EQ(hex(reply.used()), "D1 D2 D3 00 00 00");
    EXPECT_TRUE(reply.guardIntact());
}

TEST_F(Held, NegativeLengthsSendNothingAndWriteNothing) {
    open({step::expect(1), step::silent()});
    const Bytes frame = parseHex("09");
    Guarded reply(4, 0x00);
    EXPECT_EQ(IPComm(-1, frame.data(), 4, reply.data(), 0, sock), -1);
    EXPECT_EQ(IPget(-5, frame.data(), 4, reply.data(), sock), -1);
    EXPECT_EQ(IPsend(-1, frame.data(), 10, 0, sock), -1);
    EXPECT_EQ(IPComm(1, frame.data(), -1, reply.data(), 0, sock), -2);
    EXPECT_EQ(hex(reply.used()), "00 00 00 00");
    EXPECT_TRUE(reply.guardIntact());
    EXPECT_EQ(hex(close().received), "09");  // only the last call's byte went out
}

TEST_F(Held, IPgetSendsTwoZeroBytesAfterACompleteReplyOnly) {
    open({step::expect(5), step::sendPieces(parseHex("E1 E2 E3 E4 E5"), {1}),
          step::expect(2 + 5), step::send(parseHex("F1")), step::close()});
    const Bytes frame = parseHex("01 11 00 00 12");
    Guarded reply(5);
    EXPECT_EQ(IPget(5, frame.data(), 5, reply.data(), sock), 0);
    EXPECT_EQ(hex(reply.used()), "E1 E2 E3 E4 E5");
    EXPECT_TRUE(reply.guardIntact());

    // The second reply stops after one byte: no zero bytes follow it.
    Guarded shortReply(5, 0x00);
    EXPECT_EQ(IPget(5, frame.data(), 5, shortReply.data(), sock), -2);
    EXPECT_EQ(hex(shortReply.used()), "F1 00 00 00 00");
    EXPECT_EQ(hex(close().received), "01 11 00 00 12 00 00 01 11 00 00 12");
}

// IPsend: what the device answers, and what that gives.
struct AckCase {
    const char* name;
    const char* answer;
    std::int32_t result;
    const char* queued;  // what the next receive finds ("" for nothing)
};

void PrintTo(const AckCase& c, std::ostream* out) { *out << c.name; }

class IPsendAnswer : public Held, public ::testing::WithParamInterface<AckCase> {};

TEST_P(IPsendAnswer, GivesItsResultAndLeavesTheRestQueued) {
    const AckCase& c = GetParam();
    const Bytes answer = parseHex(c.answer);
    const Bytes queued = parseHex(c.queued);
    open({step::expect(3), step::send(answer), step::expect(1), step::silent()});
    const Bytes frame = parseHex("03 40 43");
    EXPECT_EQ(IPsend(3, frame.data(), 899, -7, sock), c.result);

    // The next exchange sends one byte and reads what was left.
    Guarded rest(queued.size());
    const Bytes probe = parseHex("AA");
    EXPECT_EQ(IPComm(1, probe.data(), static_cast<std::int32_t>(queued.size()), rest.data(), 0, sock), 0);
    EXPECT_EQ(hex(rest.used()), hex(queued));
    EXPECT_EQ(hex(close().received), "03 40 43 AA");
}

INSTANTIATE_TEST_SUITE_P(
    Loopback, IPsendAnswer,
    ::testing::Values(AckCase{"Ack", "02 4F", 0, ""},
                      AckCase{"AckAndSurplus", "02 4F 77 78", 0, "77 78"},
                      AckCase{"Reversed", "4F 02", 1, ""},
                      AckCase{"WrongSecondByte", "02 4E", 1, ""},
                      AckCase{"OtherBytesAfterTwo", "4F 02 02 4F", 1, "02 4F"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(Held, IPsendMissesAnAcknowledgementThatArrivesInTwoPieces) {
    // The 4F follows only once the host has sent again, so the single read
    // of IPsend can only have found the 02.
    open({step::expect(2), step::send(parseHex("02")), step::expect(1),
          step::send(parseHex("4F")), step::silent()});
    const Bytes frame = parseHex("03 41");
    EXPECT_EQ(IPsend(2, frame.data(), 5, 0, sock), 1);
    const Bytes probe = parseHex("BB");
    Guarded late(1);
    EXPECT_EQ(IPComm(1, probe.data(), 1, late.data(), 0, sock), 0);
    EXPECT_EQ(hex(late.used()), "4F");
    EXPECT_EQ(hex(close().received), "03 41 BB");
}

TEST_F(Held, IPsendWithDataLengthZeroDoesNotReadTheAcknowledgement) {
    open({step::expect(2), step::send(parseHex("02 4F")), step::silent()});
    const Bytes frame = parseHex("03 42");
    EXPECT_EQ(IPsend(2, frame.data(), 0, 0, sock), 0);
    Guarded ack(2);
    EXPECT_EQ(IPComm(0, frame.data(), 2, ack.data(), 0, sock), 0);
    EXPECT_EQ(hex(ack.used()), "02 4F");
}

TEST_F(Held, IPsendReportsSilenceAndAClosedPeerAsOne) {
    open({step::expect(2), step::pause(std::chrono::milliseconds(3200)), step::close()});
    const Bytes frame = parseHex("03 43");
    Stopwatch watch;
    EXPECT_EQ(IPsend(2, frame.data(), 1, 0, sock), 1);  // 2 s wait for dataLen 1
    EXPECT_GE(watch.ms(), 1900);
    EXPECT_LT(watch.ms(), 3100);  // ended by its own wait, not by the close
    watch = Stopwatch{};
    EXPECT_EQ(IPsend(0, frame.data(), 1, 0, sock), 1);  // then the device closes
    EXPECT_LT(watch.ms(), 1500);
}

TEST_F(Held, IPonNetRunsBothStagesWithRepliesInPieces) {
    open({step::expect(5), step::sendPieces(parseHex("11 22 33 44 55 66 77 88"), {3}),
          step::expect(5), step::sendPieces(parseHex("A1 05 B3 C4 D5 E6"), {1, 3}),
          step::silent()});
    Guarded out(7, 0x00);
    EXPECT_EQ(iPonNet(5, out.data(), sock), 0);
    EXPECT_EQ(hex(out.used()), "05 B3 C4 33 44 55 66");
    EXPECT_TRUE(out.guardIntact());
    EXPECT_EQ(hex(close().received), "05 A0 00 00 A5 00 B4 11 22 E7");
}

TEST_F(Held, IPonNetLeavesOutUntouchedWhenTheEchoDiffers) {
    // -1 goes out as FF, but only a byte 1 equal to -1 would match.
    open({step::expect(5), step::send(parseHex("4C 00 9A 9B 9C 9D 9E 9F")), step::expect(5),
          step::send(parseHex("55 FF 01 02 03 04")), step::silent()});
    Guarded out(7, 0x00);
    EXPECT_EQ(iPonNet(-1, out.data(), sock), 0);
    EXPECT_EQ(hex(out.used()), "00 00 00 00 00 00 00");
    EXPECT_EQ(hex(close().received), "FF A0 00 00 9F 00 B4 4C 00 00");
}

TEST_F(Held, IPonNetTakesSurplusOfTheFirstReplyAsTheStartOfTheSecond) {
    open({step::expect(5), step::send(parseHex("F0 80 01 02 03 04 05 06 00 7F")),
          step::expect(5), step::send(parseHex("10 20 30 40 99")), step::expect(1),
          step::silent()});
    Guarded out(7, 0x00);
    EXPECT_EQ(iPonNet(127, out.data(), sock), 0);
    EXPECT_EQ(hex(out.used()), "7F 10 20 01 02 03 04");
    // One byte beyond the second reply stays for the next call.
    Guarded rest(1);
    const Bytes probe = parseHex("CC");
    EXPECT_EQ(IPComm(1, probe.data(), 1, rest.data(), 0, sock), 0);
    EXPECT_EQ(hex(rest.used()), "99");
    EXPECT_EQ(hex(close().received), "7F A0 00 00 1F 00 B4 F0 80 24 CC");
}

TEST_F(Held, IPonNetGivesThreeWhenTheDeviceClosesAndNeverSendsTheSecondHeader) {
    open({step::expect(5), step::send(parseHex("01 02 03")), step::close()});
    Guarded out(7, 0x00);
    const Stopwatch watch;
    EXPECT_EQ(iPonNet(2, out.data(), sock), 3);
    EXPECT_LT(watch.ms(), 1500);
    EXPECT_EQ(hex(out.used()), "00 00 00 00 00 00 00");
    EXPECT_EQ(hex(close().received), "02 A0 00 00 A2");
}

TEST_F(Held, SendingOnAConnectionTheDeviceHasClosedFailsWithoutHarm) {
    open({step::expect(2), step::close()});
    const Bytes frame = parseHex("01 12");
    Guarded reply(1, 0x00);
    EXPECT_EQ(IPComm(2, frame.data(), 1, reply.data(), 0, sock), -2);
    // The device's end is gone: a later send fails (and must not kill the host).
    std::int32_t result = 0;
    for (int call = 0; call < 5 && result != -1; ++call)
        result = IPComm(2, frame.data(), 1, reply.data(), 0, sock);
    EXPECT_EQ(result, -1);
    for (int call = 0; call < 3; ++call) EXPECT_EQ(IPget(2, frame.data(), 1, reply.data(), sock), -1);
    EXPECT_EQ(IPsend(2, frame.data(), 1, 0, sock), -1);
    Guarded out(7, 0x00);
    EXPECT_EQ(iPonNet(1, out.data(), sock), -1);
    EXPECT_EQ(hex(reply.used()), "00");
}

TEST(DeviceModel, ServesSixHundredHeldConnectionsAtOnce) {
    // Enough sockets in this one process that their numbers pass 1024.
    constexpr int count = 600;
    Emulator emulator{frameLog()};
    morlune::sim::Scenario scenario;
    scenario.on(morlune::sim::Scenario::anyDevice, 0x10).replyLength = 4;
    emulator.setScenario(scenario);
    const std::uint16_t port = emulator.listen("127.0.0.1", 0, Face::device);
    emulator.start();

    std::vector<std::int32_t> socks;
    for (int i = 0; i < count; ++i) {
        socks.push_back(ipConnectDevice("127.0.0.1", port));
        ASSERT_NE(socks.back(), -1) << "connection " << i;
    }
    // IPget's two zero bytes after the reply must not upset the next exchange.
    // (Only on a few: the host's next small send waits for the device's
    // delayed ACK of those two bytes, some 40 ms each on Linux.)
    for (int i = 0; i < count; ++i) {
        const auto sock = socks[static_cast<std::size_t>(i)];
        const auto device = static_cast<std::uint8_t>(i);
        const auto next = static_cast<std::uint8_t>(i + 1);
        const Bytes first = morlune::sim::withSum({device, 0x10, 0x00, 0x00});
        const Bytes second = morlune::sim::withSum({next, 0x10, 0x00, 0x00});
        Guarded reply(5);
        const std::int32_t got = i < 10 ? IPget(5, first.data(), 5, reply.data(), sock)
                                        : IPComm(5, first.data(), 5, reply.data(), 0, sock);
        ASSERT_EQ(got, 0) << "connection " << i;
        EXPECT_EQ(reply.used(), morlune::sim::withSum(morlune::sim::paddedReply({}, 4, device, 0x10)));
        ASSERT_EQ(IPComm(5, second.data(), 5, reply.data(), 0, sock), 0) << "connection " << i;
        EXPECT_EQ(reply.used(), morlune::sim::withSum(morlune::sim::paddedReply({}, 4, next, 0x10)));
    }
    for (const std::int32_t sock : socks) EXPECT_EQ(ipCloseDevice(sock), 0);
    for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i)
        ASSERT_TRUE(emulator.transcript(i).finished) << "connection " << i;
}

TEST(DeviceModel, AnswersThePresenceQueryWithItsOwnNumber) {
    Emulator emulator{frameLog()};
    const std::uint16_t port = emulator.listen("127.0.0.1", 0, Face::device);
    emulator.start();
    const std::int32_t sock = ipConnectDevice("127.0.0.1", port);
    ASSERT_NE(sock, -1);
    for (const std::int32_t device : {7, 200}) {
        Guarded out(7, 0x00);
        EXPECT_EQ(iPonNet(device, out.data(), sock), 0);
        const Bytes first = morlune::sim::presenceFirstReply(static_cast<std::uint8_t>(device));
        const Bytes second = morlune::sim::presenceSecondReply(static_cast<std::uint8_t>(device));
        EXPECT_EQ(hex(out.used()), hex(Bytes{second[1], second[2], second[3], first[2], first[3],
                                             first[4], first[5]}));
    }
    ipCloseDevice(sock);
    EXPECT_TRUE(emulator.transcript(0).finished);
}

}  // namespace
}  // namespace loopback
