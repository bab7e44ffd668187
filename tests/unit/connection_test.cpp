// Held connections: open and close, and every way the open can fail.
#include "morlune.h"
#include "unit.h"

namespace {

using fake::ConnectStart;

class HeldConnection : public FakeTest {};

TEST_F(HeldConnection, OpensNonBlockingAndClosesWithItsReference) {
    EXPECT_EQ(ipConnectDevice("10.1.2.3", 502), 100);
    EXPECT_EQ(fake::trace(), (Trace{"startup", "socket 100", "nonblocking 100", "connect 10.1.2.3:502"}));
    EXPECT_EQ(fake::startupReferences(), 1);
    EXPECT_EQ(fake::openSockets(), 1);

    EXPECT_EQ(ipCloseDevice(100), 0);
    EXPECT_EQ(fake::trace(), (Trace{"startup", "socket 100", "nonblocking 100", "connect 10.1.2.3:502",
                                    "close 100", "cleanup"}));
    EXPECT_EQ(fake::startupReferences(), 0);
    EXPECT_EQ(fake::openSockets(), 0);
}

TEST_F(HeldConnection, WaitsOneSecondForAPendingConnection) {
    fake::script.connect = {ConnectStart::pending};
    fake::script.socket = {7};
    EXPECT_EQ(ipConnectDevice("10.1.2.3", 8000), 7);
    EXPECT_EQ(fake::trace(), (Trace{"startup", "socket 7", "nonblocking 7", "connect 10.1.2.3:8000",
                                    "connect wait 1s"}));
}

struct OpenFailure {
    friend void PrintTo(const OpenFailure& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::deque<bool> startup;
    std::deque<fake::Handle> socket;
    std::deque<ConnectStart> connect;
    std::deque<bool> waitConnected;
    Trace trace;
};

class OpenFails : public FakeTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFails, GivesMinusOneAndHoldsNothing) {
    const OpenFailure& c = GetParam();
    fake::script.startup = c.startup;
    fake::script.socket = c.socket;
    fake::script.connect = c.connect;
    fake::script.waitConnected = c.waitConnected;
    EXPECT_EQ(ipConnectDevice("10.1.2.3", 8000), -1);
    EXPECT_EQ(fake::trace(), c.trace);
    EXPECT_EQ(fake::startupReferences(), 0);
    EXPECT_EQ(fake::openSockets(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, OpenFails,
    ::testing::Values(
        OpenFailure{"NoSocketLibrary", {false}, {}, {}, {}, {"startup fails"}},
        OpenFailure{"NoSocket", {}, {-1}, {}, {}, {"startup", "socket fails", "cleanup"}},
        OpenFailure{"ConnectFails",
                    {},
                    {},
                    {ConnectStart::failed},
                    {},
                    {"startup", "socket 100", "nonblocking 100", "connect 10.1.2.3:8000", "close 100",
                     "cleanup"}},
        OpenFailure{"NoConnectionWithinTheWait",
                    {},
                    {},
                    {ConnectStart::pending},
                    {false},
                    {"startup", "socket 100", "nonblocking 100", "connect 10.1.2.3:8000",
                     "connect wait 1s", "close 100", "cleanup"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(HeldConnection, UsesTheLow16BitsOfThePort) {
    const std::pair<std::int32_t, std::int64_t> table[] = {
        {73536, 8000}, {8000 + 2 * 65536, 8000}, {65535, 65535}, {65536, 0}, {-1, 65535}};
    for (const auto& [port, used] : table) {
        fake::reset();
        ASSERT_EQ(ipConnectDevice("127.0.0.1", port), 100);
        EXPECT_EQ(fake::events.at(3).value, used) << port;
    }
}

TEST_F(HeldConnection, HandsAddressTextOverUnread) {
    for (const char* text : {"not-an-address", "", "256.1.1.1", "1.2.3", "::1"}) {
        fake::reset();
        fake::script.connect = {ConnectStart::failed};
        EXPECT_EQ(ipConnectDevice(text, 8000), -1);
        EXPECT_EQ(fake::trace().at(3), std::string("connect ") + text + ":8000");
    }
}

TEST_F(HeldConnection, ThreeOpenedAndClosedLeaveTheReferencesBalanced) {
    const std::int32_t a = ipConnectDevice("192.0.2.1", 8000);
    const std::int32_t b = ipConnectDevice("192.0.2.2", 8000);
    const std::int32_t c = ipConnectDevice("192.0.2.3", 8000);
    EXPECT_EQ(fake::startupReferences(), 3);
    EXPECT_EQ((std::vector<std::int32_t>{a, b, c}), (std::vector<std::int32_t>{100, 101, 102}));
    for (const std::int32_t sock : {b, a, c}) EXPECT_EQ(ipCloseDevice(sock), 0);
    EXPECT_EQ(fake::startupReferences(), 0);
    EXPECT_EQ(fake::openSockets(), 0);
    for (const std::int32_t sock : {a, b, c}) EXPECT_EQ(fake::closesOf(sock), 1);
}

TEST_F(HeldConnection, CloseAnswersZeroForAnyHandle) {
    EXPECT_EQ(ipCloseDevice(12345), 0);
    EXPECT_EQ(ipCloseDevice(-1), 0);
    EXPECT_EQ(fake::trace(), (Trace{"close 12345", "cleanup", "close -1", "cleanup"}));
}

}  // namespace
