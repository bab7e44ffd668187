// Platform hazards a long-running host meets, each against libmorlune.so and
// emulated devices on 127.x.y.z: descriptors above 1024, devices that vanish
// (no SIGPIPE), signals during a wait, many threads at once, and host input
// that is not what it should be.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <latch>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "morlune.h"
#include "morlune_sim/emulator.h"

namespace {

using morlune::sim::Bytes;
using morlune::sim::Emulator;
using morlune::sim::Face;
using morlune::sim::Reaction;
using morlune::sim::Scenario;
namespace step = morlune::sim::step;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t readCode = 0x10;
constexpr std::size_t replyLength = 16;

// One-shot transactions go to port 8000, so each device needs an address of
// its own. Second octet 202 is this suite's; a higher one is taken if another
// run on the machine holds it.
std::string listen8000(Emulator& emulator, int third, int fourth, Face face = Face::device) {
    for (int second = 202; second < 230; ++second) {
        const std::string address = "127." + std::to_string(second) + "." + std::to_string(third) +
                                    "." + std::to_string(fourth);
        try {
            emulator.listen(address, 8000, face);
            return address;
        } catch (const std::system_error&) {
        }
    }
    ADD_FAILURE() << "no loopback address free for port 8000";
    return "127.202.0.1";
}

// Device n answers the read command with a reply that names it.
Scenario readScenario() {
    Scenario scenario;
    Reaction& r = scenario.on(Scenario::anyDevice, readCode);
    r.replyLength = replyLength;
    return scenario;
}

Bytes readCommand(std::uint8_t device) {
    return {device, readCode, 0x00, 0x00, static_cast<std::uint8_t>(device + readCode)};
}

Bytes expectedReply(std::uint8_t device) {
    Bytes reply = morlune::sim::paddedReply({}, replyLength, device, readCode);
    return morlune::sim::withSum(reply);
}

int openDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// --- descriptors above 1024 ----------------------------------------------------

// A wait built on select() cannot watch a descriptor of 1024 or more: its
// set overflows. Hosts with many open files reach such numbers.
TEST(Hazards, ExchangesOnDescriptorsAbove1024) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 1300) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1300);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    ASSERT_GE(limit.rlim_cur, 1200u) << "cannot raise the descriptor limit";

    std::vector<int> filler;
    while (filler.size() < 1100) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        filler.push_back(fd);
    }
    // Counted without the emulator, whose side of a connection may close a
    // moment after the library's.
    const int before = openDescriptors();
    {
        Emulator emulator;
        emulator.setScenario(readScenario());
        const std::uint16_t port = emulator.listen("127.0.0.1", 0, Face::device);
        const std::string oneShot = listen8000(emulator, 1, 1);
        emulator.start();

        const std::int32_t sock = ipConnectDevice("127.0.0.1", port);
        ASSERT_GT(sock, 1024);
        const Bytes command = readCommand(7);
        Bytes reply(replyLength + 1 + 8, 0xEE);
        EXPECT_EQ(IPComm(5, command.data(), replyLength + 1, reply.data(), 0, sock), 0);
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + replyLength + 1), expectedReply(7));
        EXPECT_EQ(Bytes(reply.begin() + replyLength + 1, reply.end()), Bytes(8, 0xEE));
        const Bytes ack = {0x02, 0x4F};
        EXPECT_EQ(IPsend(2, ack.data(), 0, 0, sock), 0);
        std::uint8_t out[7 + 8];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(iPonNet(9, out, sock), 0);
        EXPECT_EQ(out[0], 9);
        EXPECT_EQ(Bytes(out + 7, out + sizeof out), Bytes(8, 0xEE));
        EXPECT_EQ(ipCloseDevice(sock), 0);

        // A one-shot read opens (and waits on) a descriptor above 1024 as well.
        std::uint8_t cmd[5] = {7, readCode, 0, 0, 0};
        Bytes oneShotReply(replyLength + 1, 0);
        EXPECT_EQ(IPGetData(4, cmd, replyLength, oneShotReply.data(), oneShot.c_str()), 0);
        EXPECT_EQ(oneShotReply, expectedReply(7));
    }
    EXPECT_EQ(openDescriptors(), before);
    for (const int fd : filler) ::close(fd);
}

// A program the host starts (fork and exec) must not inherit device
// connections: it would keep them open after the host closed them, and the
// device would never see the close.
TEST(Hazards, ChildProgramsDoNotInheritDeviceConnections) {
    Emulator emulator;
    const std::uint16_t port = emulator.listen("127.0.0.1", 0, Face::device);
    emulator.start();
    const std::int32_t sock = ipConnectDevice("127.0.0.1", port);
    ASSERT_NE(sock, -1);
    const int flags = ::fcntl(sock, F_GETFD);
    EXPECT_NE(flags, -1);
    EXPECT_NE(flags & FD_CLOEXEC, 0) << "the device socket would pass to exec'd programs";
    EXPECT_EQ(ipCloseDevice(sock), 0);
}

// --- a device that has gone away -----------------------------------------------

// The device resets the connection. Sends to it fail with -1; the process
// would die of SIGPIPE if the library let the signal through. SIGPIPE keeps
// its default action here on purpose.
TEST(Hazards, SendToVanishedDeviceFailsAndTheProcessLives) {
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    ASSERT_EQ(current.sa_handler, SIG_DFL) << "this test needs SIGPIPE at its default action";

    for (const bool reset : {true, false}) {
        Emulator emulator;
        const std::uint16_t port = emulator.listen("127.0.0.1", 0, Face::scripted);
        // The device goes away once it has the first frame (going away at
        // once could beat the connection's own establishment).
        emulator.addScript({step::expect(5), reset ? step::reset() : step::close()});
        emulator.start();
        const std::int32_t sock = ipConnectDevice("127.0.0.1", port);
        ASSERT_NE(sock, -1);
        const Bytes frame = readCommand(1);
        ASSERT_EQ(IPComm(5, frame.data(), 0, nullptr, 0, sock), 0);
        ASSERT_TRUE(emulator.transcript(0).finished);

        // After an orderly close the first send may still be taken; the
        // device's answer to it, a reset, makes every later one fail.
        int firstFailure = -1;
        for (int i = 0; i < 100 && firstFailure < 0; ++i)
            if (IPsend(5, frame.data(), 0, 0, sock) == -1) firstFailure = i;
        ASSERT_GE(firstFailure, 0) << "sends to a vanished device kept succeeding";

        std::uint8_t buffer[8];
        std::memset(buffer, 0xEE, sizeof buffer);
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(IPComm(5, frame.data(), 4, buffer, 0, sock), -1);
            EXPECT_EQ(IPget(5, frame.data(), 4, buffer, sock), -1);
            EXPECT_EQ(IPsend(5, frame.data(), 100, 0, sock), -1);
            EXPECT_EQ(iPonNet(1, buffer, sock), -1);
        }
        EXPECT_EQ(Bytes(buffer, buffer + 8), Bytes(8, 0xEE));
        EXPECT_EQ(ipCloseDevice(sock), 0);
    }
}

// --- a signal during a wait ----------------------------------------------------

std::atomic<int> alarms{0};
void onAlarm(int) { alarms.fetch_add(1); }

// Arms a real timer whose signal interrupts system calls (no SA_RESTART)
// and lands on this thread: every other thread blocks it.
class AlarmDuringWait {
public:
    AlarmDuringWait() {
        struct sigaction action {};
        action.sa_handler = onAlarm;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGALRM, &action, &previous_);
        alarms = 0;
    }
    void arm(std::chrono::milliseconds after) {
        itimerval timer{};
        timer.it_value.tv_sec = static_cast<time_t>(after.count() / 1000);
        timer.it_value.tv_usec = static_cast<suseconds_t>((after.count() % 1000) * 1000);
        setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~AlarmDuringWait() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }

private:
    struct sigaction previous_ {};
};

// The emulator's thread inherits a mask that blocks SIGALRM.
struct BlockAlarmInNewThreads {
    BlockAlarmInNewThreads() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    void unblockHere() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGALRM);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    }
};

TEST(Hazards, SignalDuringWaitDoesNotEndIt) {
    BlockAlarmInNewThreads mask;
    Emulator emulator;
    const std::uint16_t port = emulator.listen("127.0.0.1", 0, Face::scripted);
    const Bytes reply = {1, 2, 3, 4, 5, 6};
    // Answers 700 ms after the command; the signal comes at 200 ms.
    emulator.addScript({step::expect(5), step::pause(std::chrono::milliseconds(700)), step::send(reply)});
    // Never answers: the wait must last its 2 s in spite of the signal.
    emulator.addScript({step::expect(5), step::silent()});
    emulator.start();
    mask.unblockHere();
    AlarmDuringWait alarm;
    const Bytes frame = readCommand(1);

    const std::int32_t answering = ipConnectDevice("127.0.0.1", port);
    ASSERT_NE(answering, -1);
    std::uint8_t got[6 + 4];
    std::memset(got, 0xEE, sizeof got);
    alarm.arm(std::chrono::milliseconds(200));
    EXPECT_EQ(IPComm(5, frame.data(), 6, got, 0, answering), 0);
    EXPECT_EQ(alarms.load(), 1) << "the signal did not come during the wait";
    EXPECT_EQ(Bytes(got, got + 6), reply);
    EXPECT_EQ(Bytes(got + 6, got + 10), Bytes(4, 0xEE));
    EXPECT_EQ(ipCloseDevice(answering), 0);

    const std::int32_t silent = ipConnectDevice("127.0.0.1", port);
    ASSERT_NE(silent, -1);
    alarms = 0;
    alarm.arm(std::chrono::milliseconds(200));
    const auto start = Clock::now();
    EXPECT_EQ(IPComm(5, frame.data(), 6, got, 0, silent), -2);
    const auto waited = Clock::now() - start;
    EXPECT_EQ(alarms.load(), 1);
    EXPECT_GE(waited, std::chrono::milliseconds(1900)) << "the signal ended the 2 s wait early";
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_EQ(ipCloseDevice(silent), 0);
}

// --- many threads at once ------------------------------------------------------

// 64 threads, each with a device of its own: one-shot reads (port 8000 on
// its own address) and a held connection with exchanges and a presence
// query. Every thread must get its own device's answers.
TEST(Hazards, SixtyFourThreadsEachGetTheirOwnResult) {
    constexpr int threads = 64;
    constexpr int rounds = 4;
    const int before = openDescriptors();  // without the emulator: see above
    {
        Emulator emulator;
        emulator.setScenario(readScenario());
        std::vector<std::string> addresses;
        for (int i = 0; i < threads; ++i) addresses.push_back(listen8000(emulator, 2, i + 1));
        const std::uint16_t port = emulator.listen("127.0.0.1", 0, Face::device);
        emulator.start();

        std::latch ready(threads);
        std::vector<std::string> failures(threads);
        std::vector<std::thread> pool;
        for (int i = 0; i < threads; ++i) {
            pool.emplace_back([&, i] {
                const auto device = static_cast<std::uint8_t>(i + 1);
                const Bytes expected = expectedReply(device);
                std::string& failure = failures[static_cast<std::size_t>(i)];
                ready.arrive_and_wait();
                for (int round = 0; round < rounds && failure.empty(); ++round) {
                    std::uint8_t cmd[5] = {device, readCode, 0, 0, 0};
                    Bytes reply(replyLength + 1, 0);
                    const std::int32_t read =
                        IPGetData(4, cmd, replyLength, reply.data(), addresses[static_cast<std::size_t>(i)].c_str());
                    if (read != 0 || reply != expected) failure = "one-shot read gave " + std::to_string(read);

                    const std::int32_t sock = ipConnectDevice("127.0.0.1", port);
                    if (sock == -1) {
                        failure = "no held connection";
                        break;
                    }
                    const Bytes command = readCommand(device);
                    Bytes held(replyLength + 1, 0);
                    if (IPget(5, command.data(), replyLength + 1, held.data(), sock) != 0 || held != expected)
                        failure = "held exchange gave someone else's reply";
                    std::uint8_t out[7] = {};
                    if (iPonNet(device, out, sock) != 0 || out[0] != device) failure = "presence query";
                    ipCloseDevice(sock);
                }
            });
        }
        for (auto& t : pool) t.join();
        for (int i = 0; i < threads; ++i) EXPECT_EQ(failures[static_cast<std::size_t>(i)], "") << "thread " << i;
    }
    EXPECT_EQ(openDescriptors(), before);
}

// --- host input that is not what it should be ------------------------------------

// Only the low 16 bits of the port count: 73536 is 65536 + 8000.
TEST(HostInput, PortAbove65535UsesItsLow16Bits) {
    Emulator emulator;
    emulator.setScenario(readScenario());
    const std::string address = listen8000(emulator, 3, 1);
    emulator.start();
    const std::int32_t sock = ipConnectDevice(address.c_str(), 73536);
    ASSERT_NE(sock, -1);
    const Bytes command = readCommand(3);
    Bytes reply(replyLength + 1, 0);
    EXPECT_EQ(IPComm(5, command.data(), replyLength + 1, reply.data(), 0, sock), 0);
    EXPECT_EQ(reply, expectedReply(3));
    EXPECT_EQ(ipCloseDevice(sock), 0);
    EXPECT_EQ(emulator.connectionCount(), 1u);
}

// A handle that is no socket (a file, a closed descriptor number, -1): every
// exchange fails at its send with -1 and writes nothing.
TEST(HostInput, HandleThatIsNoSocket) {
    const int file = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(file, 0);
    const int before = openDescriptors();
    const Bytes frame = readCommand(1);
    for (const std::int32_t sock : {file, -1, 1 << 20}) {
        for (const std::int32_t sendLen : {5, 0}) {
            std::uint8_t buffer[8];
            std::memset(buffer, 0xEE, sizeof buffer);
            EXPECT_EQ(IPComm(sendLen, frame.data(), 8, buffer, 0, sock), -1) << sock;
            EXPECT_EQ(IPget(sendLen, frame.data(), 8, buffer, sock), -1) << sock;
            EXPECT_EQ(IPsend(sendLen, frame.data(), 100, 0, sock), -1) << sock;
            EXPECT_EQ(iPonNet(1, buffer, sock), -1) << sock;
            EXPECT_EQ(Bytes(buffer, buffer + 8), Bytes(8, 0xEE)) << sock;
        }
    }
    EXPECT_EQ(openDescriptors(), before);
    ::close(file);
}

}  // namespace
