// IPsendBlack: header, list block paced out, one look for the acknowledgement.
#include "link/link.h"
#include "morlune.h"
#include "oneshot/listcode.h"
#include "unit.h"

namespace {

using fake::ConnectStart;

const Trace opened = {"startup", "socket 100", "nonblocking 100", "connect 203.0.113.9:8000"};
const Trace closed = {"close 100", "cleanup"};
Trace around(const Trace& middle) { return cat(cat(opened, middle), closed); }

fake::Arrival piece(const char* bytes) { return {fake::Arrival::bytes, hex(bytes)}; }

Bytes entriesOf(const std::vector<std::int32_t>& numbers) {
    Bytes out;
    for (const std::int32_t n : numbers) {
        out.push_back(static_cast<std::uint8_t>(n >> 16));
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(n));
    }
    return out;
}

std::int32_t sendBlack(std::int32_t deviceNo, const Bytes& entries) {
    return IPsendBlack(deviceNo, static_cast<std::int32_t>(entries.size() / 3), entries.data(),
                       "203.0.113.9");
}

class BlackList : public FakeTest {};

TEST_F(BlackList, SingleEntryRunsInOrder) {
    const Bytes entries = hex("FF 12 34");
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(sendBlack(1, entries), 0);
    EXPECT_EQ(fake::trace(), around({"send 5", "sleep 10", "send 8", "wait 1s", "recv 2"}));
    EXPECT_EQ(hex(fake::wire), "01 A5 00 00 A6 00 00 01 00 44 46 08 93");
    EXPECT_EQ(entries, hex("FF 12 34"));
}

TEST_F(BlackList, HeaderTakesTheLowByteOfTheDeviceNumber) {
    const std::pair<std::int32_t, const char*> table[] = {
        {1, "01 A5 00 00 A6"}, {91, "5B A5 00 00 00"}, {256, "00 A5 00 00 A5"},
        {-1, "FF A5 00 00 A4"}, {261, "05 A5 00 00 AA"}};
    for (const auto& [deviceNo, header] : table) {
        fake::reset();
        fake::arrive(hex("02 4F"));
        EXPECT_EQ(sendBlack(deviceNo, entriesOf({1, 2})), 0);
        EXPECT_EQ(hex(fake::sends.at(0)), header) << deviceNo;
    }
}

struct Pacing {
    friend void PrintTo(const Pacing& c, std::ostream* os) { *os << c.numbers.size() << " up to " << c.numbers.back(); }
    std::vector<std::int32_t> numbers;
    Values chunks;
    Values sleeps;
};

class BlackListPacing : public FakeTest, public ::testing::WithParamInterface<Pacing> {};

TEST_P(BlackListPacing, SendsTheEncodedBlockInChunksWithTheirPauses) {
    const Pacing& c = GetParam();
    const Bytes entries = entriesOf(c.numbers);
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(sendBlack(7, entries), 0);
    EXPECT_EQ(fake::sendSizes(), cat(Values{5}, c.chunks));
    EXPECT_EQ(fake::values(fake::Op::sleep), c.sleeps);
    EXPECT_EQ(fake::values(fake::Op::waitReadable), Values{1});

    std::vector<std::uint8_t> block(morlune::listBlockCapacity);
    const auto count = static_cast<std::int32_t>(c.numbers.size());
    const std::int32_t length = count == 1
                                    ? morlune::ipEncodeSingle(block.data(), c.numbers[0])
                                    : morlune::ipEncodeBitmap(block.data(), entries.data(), count);
    morlune::ipCompleteFrame(block.data(), length);
    block.resize(static_cast<std::size_t>(length) + 1);
    EXPECT_EQ(fake::wire, cat(hex("07 A5 00 00 AC"), block));
    EXPECT_EQ(entries, entriesOf(c.numbers));
}

Values repeat(std::size_t n, std::int64_t v) { return Values(n, v); }

INSTANTIATE_TEST_SUITE_P(
    Lists, BlackListPacing,
    ::testing::Values(Pacing{{5}, {8}, {10}}, Pacing{{130000}, {8}, {10}},
                      Pacing{{4, 0}, {7}, {10}}, Pacing{{1, 104}, {20}, {10}},
                      Pacing{{1, 105}, {21}, {10, 321}}, Pacing{{1, 7944}, {1000}, {10, 1300}},
                      Pacing{{1, 7952}, {1000, 1}, {10, 1300, 301}},
                      Pacing{{1, 130000}, cat(repeat(16, 1000), {257}),
                             cat(cat(Values{10}, repeat(16, 1300)), {557})},
                      Pacing{{1, 131071}, cat(repeat(16, 1000), {257}),
                             cat(cat(Values{10}, repeat(16, 1300)), {557})}));

TEST_F(BlackList, LargestListPausesFor21367Ms) {
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(sendBlack(7, entriesOf({1, 130000})), 0);
    std::int64_t total = 0;
    for (const std::int64_t ms : fake::values(fake::Op::sleep)) total += ms;
    EXPECT_EQ(total, 21367);
}

struct AckCase {
    friend void PrintTo(const AckCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::vector<fake::Arrival> device;
    std::int32_t result;
};

class BlackListAck : public FakeTest, public ::testing::WithParamInterface<AckCase> {};

TEST_P(BlackListAck, IsOnlyTheTwoBytes024FInOneRead) {
    for (const fake::Arrival& a : GetParam().device) fake::script.device.push_back(a);
    EXPECT_EQ(sendBlack(1, entriesOf({1, 2})), GetParam().result);
    EXPECT_EQ(fake::sendSizes(), (Values{5, 8}));
    EXPECT_LE(fake::values(fake::Op::receive).size(), 1u);
    EXPECT_EQ(fake::values(fake::Op::waitReadable), Values{1});
    EXPECT_EQ(fake::closesOf(100), 1);
    EXPECT_EQ(fake::startupReferences(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, BlackListAck,
    ::testing::Values(AckCase{"Ack", {piece("02 4F")}, 0}, AckCase{"AckAndMore", {piece("02 4F 02")}, 0},
                      AckCase{"Silence", {}, 1}, AckCase{"Closed", {{fake::Arrival::closed, {}}}, 1},
                      AckCase{"ReadError", {{fake::Arrival::error, {}}}, 1},
                      AckCase{"OneByte", {piece("02"), piece("4F")}, 1},
                      AckCase{"Swapped", {piece("4F 02")}, 1}, AckCase{"WrongSecond", {piece("02 4E")}, 1},
                      AckCase{"Nak", {piece("15 15")}, 1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(BlackList, TriesTwiceToConnect) {
    fake::script.connect = {ConnectStart::failed, ConnectStart::failed};
    EXPECT_EQ(sendBlack(1, entriesOf({5})), 1);
    EXPECT_EQ(fake::values(fake::Op::startup).size(), 2u);
    EXPECT_TRUE(fake::sends.empty());
    EXPECT_EQ(fake::startupReferences(), 0);
    EXPECT_EQ(fake::openSockets(), 0);

    fake::reset();
    fake::script.connect = {ConnectStart::pending, ConnectStart::connected};
    fake::script.waitConnected = {false};
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(sendBlack(1, entriesOf({5})), 0);
    EXPECT_EQ(fake::sendSocket(), 101);
    EXPECT_EQ(fake::closesOf(100), 1);  // the failed attempt's own close
    EXPECT_EQ(fake::closesOf(101), 1);
    EXPECT_EQ(fake::startupReferences(), 0);
}

TEST_F(BlackList, NoEntriesGivesSixAfterOpeningAndClosing) {
    for (const std::int32_t count : {0, -1, INT32_MIN}) {
        fake::reset();
        fake::arrive(hex("02 4F"));
        EXPECT_EQ(IPsendBlack(1, count, nullptr, "203.0.113.9"), 6) << count;
        EXPECT_EQ(fake::trace(), around({}));
    }
    // The count is looked at only once connected.
    fake::reset();
    fake::script.connect = {ConnectStart::failed, ConnectStart::failed};
    EXPECT_EQ(IPsendBlack(1, 0, nullptr, "203.0.113.9"), 1);
}

TEST_F(BlackList, SendFailuresGiveTwo) {
    fake::script.send = {4};
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(sendBlack(1, entriesOf({5})), 2);
    EXPECT_EQ(fake::trace(), around({"send 5"}));

    fake::reset();
    fake::script.send = {5, 1000, -1};
    fake::arrive(hex("02 4F"));
    EXPECT_EQ(sendBlack(1, entriesOf({1, 2500, 7952})), 2);
    EXPECT_EQ(fake::trace(), around({"send 5", "sleep 10", "send 1000", "sleep 1300", "send 1"}));
    EXPECT_EQ(fake::unread(), hex("02 4F"));
}

}  // namespace
