// IPComm, IPget and IPsend on a held connection: the host's bytes go out in
// one send, replies come in as they arrive.
#include "morlune.h"
#include "unit.h"

namespace {

constexpr std::int32_t sock = 42;

// Runs IPComm or IPget the same way, so that both are held to one table.
enum class Call { comm, get };
void PrintTo(Call call, std::ostream* os) { *os << (call == Call::comm ? "IPComm" : "IPget"); }

std::int32_t exchange(Call call, const Bytes& frame, std::int32_t recvLen, std::uint8_t* recvBuf) {
    const auto sendLen = static_cast<std::int32_t>(frame.size());
    return call == Call::comm ? IPComm(sendLen, frame.data(), recvLen, recvBuf, 0x7777, sock)
                              : IPget(sendLen, frame.data(), recvLen, recvBuf, sock);
}

class Exchange : public FakeTest, public ::testing::WithParamInterface<Call> {
protected:
    const Bytes frame = hex("01 A0 00 00 A1");
    Guarded recvBuf{6, 0xCC};

    // Everything the device saw after the host's frame.
    Bytes afterFrame() const { return Bytes(fake::wire.begin() + 5, fake::wire.end()); }
    Bytes zerosIfGet() const { return GetParam() == Call::get ? hex("00 00") : Bytes{}; }
};

struct Pieces {
    std::vector<Bytes> pieces;
    Values asks;
};

TEST_P(Exchange, CollectsAReplyInPiecesAskingOnlyForWhatIsMissing) {
    const Pieces table[] = {
        {{hex("11 22 33 44 55 66")}, {6}},
        {{hex("11 22"), hex("33 44 55 66")}, {6, 4}},
        {{hex("11"), hex("22"), hex("33"), hex("44"), hex("55"), hex("66")}, {6, 5, 4, 3, 2, 1}},
        {{hex("11 22 33"), hex("44 55 66 77 88")}, {6, 3}},
    };
    for (const Pieces& c : table) {
        fake::reset();
        Guarded buf(6, 0xCC);
        for (const Bytes& p : c.pieces) fake::arrive(p);
        EXPECT_EQ(exchange(GetParam(), frame, 6, buf.data()), 0);
        EXPECT_EQ(buf.contents(), hex("11 22 33 44 55 66"));
        EXPECT_TRUE(buf.guardsIntact());
        EXPECT_EQ(fake::values(fake::Op::receive), c.asks);
        EXPECT_EQ(fake::values(fake::Op::waitReadable), Values(c.asks.size(), 2));
        EXPECT_EQ(fake::sends.front(), frame);
        EXPECT_EQ(afterFrame(), zerosIfGet());
    }
}

TEST_P(Exchange, LeavesSurplusQueuedForTheNextCall) {
    fake::arrive(hex("11 22 33 44 55 66 77 88 99"));
    EXPECT_EQ(exchange(GetParam(), frame, 6, recvBuf.data()), 0);
    EXPECT_EQ(fake::unread(), hex("77 88 99"));
    EXPECT_TRUE(recvBuf.guardsIntact());

    Guarded next(3, 0xCC);
    EXPECT_EQ(exchange(GetParam(), frame, 3, next.data()), 0);
    EXPECT_EQ(next.contents(), hex("77 88 99"));
}

struct Short {
    friend void PrintTo(const Short& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::vector<fake::Arrival> device;
    const char* recvBuf;
    Trace trace;
};

class ShortReply : public FakeTest,
                   public ::testing::WithParamInterface<std::tuple<Call, Short>> {};

TEST_P(ShortReply, GivesMinusTwoKeepingWhatArrivedAndSendingNothingMore) {
    const auto& [call, c] = GetParam();
    for (const fake::Arrival& a : c.device) fake::script.device.push_back(a);
    Guarded buf(6, 0xCC);
    EXPECT_EQ(exchange(call, hex("01 A0 00 00 A1"), 6, buf.data()), -2);
    EXPECT_EQ(buf.contents(), hex(c.recvBuf));
    EXPECT_TRUE(buf.guardsIntact());
    EXPECT_EQ(fake::trace(), c.trace);
}

const fake::Arrival closed{fake::Arrival::closed, {}};
const fake::Arrival failed{fake::Arrival::error, {}};
const fake::Arrival quiet{fake::Arrival::silence, {}};
fake::Arrival piece(const char* bytes) { return {fake::Arrival::bytes, hex(bytes)}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, ShortReply,
    ::testing::Combine(
        ::testing::Values(Call::comm, Call::get),
        ::testing::Values(
            Short{"Silence", {}, "CC CC CC CC CC CC", {"send 5", "wait 2s"}},
            Short{"ThreeThenSilence",
                  {piece("11 22 33"), quiet},
                  "11 22 33 CC CC CC",
                  {"send 5", "wait 2s", "recv 6", "wait 2s"}},
            Short{"ClosedAfterTwo",
                  {piece("11 22"), closed},
                  "11 22 CC CC CC CC",
                  {"send 5", "wait 2s", "recv 6", "wait 2s", "recv 4"}},
            Short{"ClosedAtOnce", {closed}, "CC CC CC CC CC CC", {"send 5", "wait 2s", "recv 6"}},
            Short{"ReadErrorAfterFive",
                  {piece("11 22 33 44 55"), failed, piece("66")},
                  "11 22 33 44 55 CC",
                  {"send 5", "wait 2s", "recv 6", "wait 2s", "recv 1"}})),
    [](const auto& p) {
        return std::string(std::get<0>(p.param) == Call::comm ? "IPComm_" : "IPget_") +
               std::get<1>(p.param).name;
    });

TEST_P(Exchange, FailedOrShortSendGivesMinusOneWithoutReceiving) {
    for (const std::int32_t accepted : {-1, 0, 3, 4}) {
        fake::reset();
        fake::script.send = {accepted};
        fake::arrive(hex("11 22 33 44 55 66"));
        Guarded buf(6, 0xCC);
        EXPECT_EQ(exchange(GetParam(), frame, 6, buf.data()), -1) << accepted;
        EXPECT_EQ(fake::trace(), Trace{"send 5"});
        EXPECT_EQ(buf.contents(), Bytes(6, 0xCC));
    }
}

TEST_P(Exchange, SendLenZeroIsAnEmptySendAndGoesOn) {
    fake::arrive(hex("11 22 33 44 55 66"));
    EXPECT_EQ(exchange(GetParam(), {}, 6, recvBuf.data()), 0);
    EXPECT_EQ(fake::sendSizes(), GetParam() == Call::get ? (Values{0, 2}) : (Values{0}));
    EXPECT_EQ(recvBuf.contents(), hex("11 22 33 44 55 66"));
}

TEST_P(Exchange, RecvLenZeroReturnsRightAfterTheSend) {
    fake::arrive(hex("11 22"));
    EXPECT_EQ(exchange(GetParam(), frame, 0, recvBuf.data()), 0);
    EXPECT_EQ(fake::trace(), Trace{"send 5"});
    EXPECT_EQ(recvBuf.contents(), Bytes(6, 0xCC));
}

TEST_P(Exchange, NegativeSendLenSendsNothing) {
    const std::int32_t result = GetParam() == Call::comm
                                    ? IPComm(-1, frame.data(), 6, recvBuf.data(), 0, sock)
                                    : IPget(-5, frame.data(), 6, recvBuf.data(), sock);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(fake::events.empty());
}

TEST_P(Exchange, NegativeRecvLenGivesMinusTwoAndLeavesTheBufferAlone) {
    fake::arrive(hex("11 22 33 44 55 66"));
    EXPECT_EQ(exchange(GetParam(), frame, -1, recvBuf.data()), -2);
    EXPECT_EQ(exchange(GetParam(), frame, INT32_MIN, recvBuf.data()), -2);
    EXPECT_EQ(recvBuf.contents(), Bytes(6, 0xCC));
    EXPECT_TRUE(recvBuf.guardsIntact());
    EXPECT_EQ(fake::unread(), hex("11 22 33 44 55 66"));
    EXPECT_EQ(fake::wire, cat(frame, frame));
}

TEST_P(Exchange, UsesOnlyTheHostsSocketAndNeverClosesIt) {
    fake::arrive(hex("11 22"));
    fake::closeByPeer();
    exchange(GetParam(), frame, 6, recvBuf.data());
    for (const fake::Event& e : fake::events) {
        EXPECT_EQ(e.sock, sock);
        EXPECT_NE(e.op, fake::Op::close);
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, Exchange, ::testing::Values(Call::comm, Call::get),
                         [](const auto& p) { return p.param == Call::comm ? "IPComm" : "IPget"; });

class IPgetZeros : public FakeTest {};

TEST_F(IPgetZeros, FollowACompleteReplyEvenWhenTheirSendFails) {
    fake::script.send = {5, -1};
    fake::arrive(hex("11 22 33 44 55"));
    Guarded buf(5, 0xCC);
    EXPECT_EQ(IPget(5, hex("01 A0 00 00 A1").data(), 5, buf.data(), sock), 0);
    EXPECT_EQ(fake::trace(), (Trace{"send 5", "wait 2s", "recv 5", "send 2"}));
    EXPECT_EQ(fake::sends.back(), hex("00 00"));
}

TEST_F(IPgetZeros, FollowTheReplyToAnEmptySend) {
    fake::arrive(hex("11"));
    Guarded buf(1, 0xCC);
    EXPECT_EQ(IPget(0, nullptr, 1, buf.data(), sock), 0);
    EXPECT_EQ(fake::wire, hex("00 00"));
}

// --- IPsend --------------------------------------------------------------------

class IPsendAck : public FakeTest {
protected:
    const Bytes frame = hex("01 B0 00 04 B5 10 20 30 40");
    std::int32_t send(std::int32_t dataLen) {
        return IPsend(static_cast<std::int32_t>(frame.size()), frame.data(), dataLen, 0x1234, sock);
    }
};

TEST_F(IPsendAck, WaitsByDataLen) {
    const std::pair<std::int32_t, std::int64_t> table[] = {
        {1, 2},  {899, 2},   {900, 3},   {1799, 3},   {1800, 4},  {2700, 5},
        {-1, 2}, {-899, 2},  {-900, 1},  {-1800, 0},  {-2699, 0}, {-2700, 0}, {INT32_MIN, 0}};
    for (const auto& [dataLen, seconds] : table) {
        fake::reset();
        fake::arrive(hex("02 4F"));
        EXPECT_EQ(send(dataLen), 0) << dataLen;
        EXPECT_EQ(fake::trace(), (Trace{"send 9", "wait " + std::to_string(seconds) + "s", "recv 2"}))
            << dataLen;
    }
}

TEST_F(IPsendAck, DataLenZeroReturnsAtOnce) {
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(send(0), 0);
    EXPECT_EQ(fake::trace(), Trace{"send 9"});
    EXPECT_EQ(fake::unread(), hex("02 4F"));
}

struct AckCase {
    friend void PrintTo(const AckCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::vector<fake::Arrival> device;
    std::int32_t result;
    Trace trace;
    const char* unread;
};

class IPsendAnswer : public FakeTest, public ::testing::WithParamInterface<AckCase> {};

TEST_P(IPsendAnswer, IsAcknowledgedOnlyByOneReadOf024F) {
    for (const fake::Arrival& a : GetParam().device) fake::script.device.push_back(a);
    const Bytes frame = hex("01 B0 00 04 B5");
    EXPECT_EQ(IPsend(5, frame.data(), 10, 0, sock), GetParam().result);
    EXPECT_EQ(fake::trace(), GetParam().trace);
    EXPECT_EQ(fake::unread(), hex(GetParam().unread));
    EXPECT_EQ(fake::wire, frame);
}

const Trace readOnce = {"send 5", "wait 2s", "recv 2"};

INSTANTIATE_TEST_SUITE_P(
    Answers, IPsendAnswer,
    ::testing::Values(AckCase{"Ack", {piece("02 4F")}, 0, readOnce, ""},
                      AckCase{"AckAndMore", {piece("02 4F 99 98")}, 0, readOnce, "99 98"},
                      AckCase{"Swapped", {piece("4F 02")}, 1, readOnce, ""},
                      AckCase{"WrongSecond", {piece("02 4E")}, 1, readOnce, ""},
                      AckCase{"SplitAck", {piece("02"), piece("4F")}, 1, readOnce, "4F"},
                      AckCase{"Closed", {closed}, 1, readOnce, ""},
                      AckCase{"ReadError", {failed}, 1, readOnce, ""},
                      AckCase{"Silence", {}, 1, {"send 5", "wait 2s"}, ""},
                      AckCase{"LateAck", {quiet, piece("02 4F")}, 1, {"send 5", "wait 2s"}, "02 4F"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(IPsendAck, FailedOrShortSendGivesMinusOneWithoutWaiting) {
    for (const std::int32_t accepted : {-1, 8}) {
        fake::reset();
        fake::script.send = {accepted};
        fake::arrive(hex("02 4F"));
        EXPECT_EQ(send(10), -1);
        EXPECT_EQ(fake::trace(), Trace{"send 9"});
    }
    fake::reset();
    EXPECT_EQ(IPsend(-1, frame.data(), 10, 0, sock), -1);
    EXPECT_TRUE(fake::events.empty());
}

TEST_F(IPsendAck, SendLenZeroStillWaitsForTheAck) {
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(IPsend(0, nullptr, 1800, 0, sock), 0);
    EXPECT_EQ(fake::trace(), (Trace{"send 0", "wait 4s", "recv 2"}));
}

}  // namespace
