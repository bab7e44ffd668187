// Host input outside the usual ranges, on the scripted fake platform: every
// row gives a defined result, makes the platform calls listed (none where the
// call is refused before opening anything), and writes nothing outside the
// host's buffers, which are surrounded by guard bytes.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/mman.h>
#endif

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "morlune.h"

namespace {

using fake::Bytes;

constexpr std::size_t guard = 8;
constexpr std::uint8_t fill = 0xEE;

// Sixteen usable bytes with guards on both sides.
struct Host {
    Bytes cmd = Bytes(16 + 2 * guard, fill);
    Bytes buffer = Bytes(16 + 2 * guard, fill);
    Bytes entries = Bytes(16 + 2 * guard, fill);
    std::uint8_t* cmdAt() { return cmd.data() + guard; }
    std::uint8_t* bufferAt() { return buffer.data() + guard; }
};

struct Row {
    const char* what;
    std::function<std::int32_t(Host&)> call;
    std::int32_t result;
    // The platform calls made, in fake::trace() form; "*" matches any list.
    std::vector<std::string> trace;
    // Bytes of cmd (from its start) and of the host buffer expected written.
    std::size_t cmdWritten = 0;
    std::size_t bufferWritten = 0;
};

const std::vector<std::string> any = {"*"};
const std::vector<std::string> nothing = {};

// What a one-shot open and close look like on the fake.
std::vector<std::string> oneShot(std::vector<std::string> middle) {
    std::vector<std::string> out = {"startup", "socket 100", "nonblocking 100",
                                    "connect 127.0.0.1:8000"};
    out.insert(out.end(), middle.begin(), middle.end());
    out.push_back("close 100");
    out.push_back("cleanup");
    return out;
}

TEST(BadInput, EveryRowGivesItsDefinedResultAndWritesNothingElse) {
    const char* ip = "127.0.0.1";
    const std::vector<Row> rows = {
        // One-shot lengths: negative ones, and INT32_MAX (whose spare byte
        // cannot be counted), are refused before anything is opened.
        {"IPGetData cmdLen -1", [&](Host& h) { return IPGetData(-1, h.cmdAt(), 4, h.bufferAt(), ip); }, 2, nothing},
        {"IPGetData cmdLen INT32_MIN", [&](Host& h) { return IPGetData(INT32_MIN, h.cmdAt(), 4, h.bufferAt(), ip); }, 2, nothing},
        {"IPGetData cmdLen INT32_MAX", [&](Host& h) { return IPGetData(INT32_MAX, h.cmdAt(), 4, h.bufferAt(), ip); }, 2, nothing},
        {"IPGetData replyLen -1", [&](Host& h) { return IPGetData(4, h.cmdAt(), -1, h.bufferAt(), ip); }, 2, nothing},
        {"IPGetData replyLen INT32_MAX", [&](Host& h) { return IPGetData(4, h.cmdAt(), INT32_MAX, h.bufferAt(), ip); }, 2, nothing},
        {"IPGetData cmdLen 0, replyLen 0", [&](Host& h) { return IPGetData(0, h.cmdAt(), 0, h.bufferAt(), ip); },
         0, oneShot({"send 1"}), 1, 0},
        {"IPSendData cmdLen -1", [&](Host& h) { return IPSendData(-1, h.cmdAt(), 4, h.bufferAt(), ip); }, 2, nothing},
        {"IPSendData dataLen -5", [&](Host& h) { return IPSendData(4, h.cmdAt(), -5, h.bufferAt(), ip); }, 2, nothing},
        {"IPSendData dataLen INT32_MAX", [&](Host& h) { return IPSendData(4, h.cmdAt(), INT32_MAX, h.bufferAt(), ip); }, 2, nothing},
        {"IPSendData dataLen 0", [&](Host& h) { return IPSendData(4, h.cmdAt(), 0, h.bufferAt(), ip); },
         0, oneShot({"send 5"}), 5, 0},
        // A list count that is no count: refused with 6 after connecting,
        // nothing sent, the entries not read.
        {"IPsendBlack entryCount 0", [&](Host& h) { return IPsendBlack(1, 0, h.entries.data() + guard, ip); }, 6, oneShot({})},
        {"IPsendBlack entryCount -1", [&](Host& h) { return IPsendBlack(1, -1, h.entries.data() + guard, ip); }, 6, oneShot({})},
        {"IPsendBlack entryCount INT32_MIN", [&](Host& h) { return IPsendBlack(1, INT32_MIN, h.entries.data() + guard, ip); }, 6, oneShot({})},
        // Held-connection lengths: a negative send length sends nothing, a
        // negative receive length reads and writes nothing.
        {"IPComm sendLen -1", [](Host& h) { return IPComm(-1, h.cmdAt(), 4, h.bufferAt(), 0, 5); }, -1, nothing},
        {"IPComm recvLen -1", [](Host& h) { return IPComm(2, h.cmdAt(), -1, h.bufferAt(), 0, 5); }, -2, {"send 2"}},
        {"IPComm recvLen INT32_MIN", [](Host& h) { return IPComm(2, h.cmdAt(), INT32_MIN, h.bufferAt(), 0, 5); }, -2, {"send 2"}},
        {"IPComm sendLen 0, recvLen 0", [](Host& h) { return IPComm(0, h.cmdAt(), 0, h.bufferAt(), 0, 5); }, 0, {"send 0"}},
        {"IPget sendLen INT32_MIN", [](Host& h) { return IPget(INT32_MIN, h.cmdAt(), 4, h.bufferAt(), 5); }, -1, nothing},
        {"IPget recvLen -3", [](Host& h) { return IPget(2, h.cmdAt(), -3, h.bufferAt(), 5); }, -2, {"send 2"}},
        {"IPsend sendLen -1", [](Host& h) { return IPsend(-1, h.cmdAt(), 10, 0, 5); }, -1, nothing},
        // Negative data lengths shorten the acknowledgement wait; below
        // -1799 it is a mere look, never a negative wait.
        {"IPsend dataLen -1", [](Host& h) { return IPsend(2, h.cmdAt(), -1, 0, 5); }, 1, {"send 2", "wait 2s"}},
        {"IPsend dataLen -2000", [](Host& h) { return IPsend(2, h.cmdAt(), -2000, 0, 5); }, 1, {"send 2", "wait 0s"}},
        {"IPsend dataLen INT32_MIN", [](Host& h) { return IPsend(2, h.cmdAt(), INT32_MIN, 0, 5); }, 1, {"send 2", "wait 0s"}},
        {"IPsend dataLen INT32_MAX", [](Host& h) { return IPsend(2, h.cmdAt(), INT32_MAX, 0, 5); }, 1, {"send 2", "wait 2386094s"}},
        // Device numbers of any size: only the low 8 bits go out.
        {"iPonNet deviceNo INT32_MIN", [](Host& h) { return iPonNet(INT32_MIN, h.bufferAt(), 5); }, 3,
         {"send 5", "wait 2s"}},
        // Address text is passed through to the platform as it is.
        {"ipConnectDevice text not dotted", [](Host&) { return ipConnectDevice("not-an-address", 8000); }, 100,
         {"startup", "socket 100", "nonblocking 100", "connect not-an-address:8000"}},
        {"ipConnectDevice empty text", [](Host&) { return ipConnectDevice("", 8000); }, 100,
         {"startup", "socket 100", "nonblocking 100", "connect :8000"}},
        {"ipConnectDevice port 73536", [](Host&) { return ipConnectDevice("127.0.0.1", 73536); }, 100,
         {"startup", "socket 100", "nonblocking 100", "connect 127.0.0.1:8000"}},
        {"ipConnectDevice port -1", [](Host&) { return ipConnectDevice("127.0.0.1", -1); }, 100,
         {"startup", "socket 100", "nonblocking 100", "connect 127.0.0.1:65535"}},
        {"IPSearch", [](Host&) { return IPSearch(INT32_MIN); }, 1, nothing},
        {"IPSetIPAddr", [](Host&) { return IPSetIPAddr(-1, INT32_MAX, INT32_MIN); }, 0, nothing},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fake::reset();
        Host host;
        const Host before = host;
        EXPECT_EQ(row.call(host), row.result);
        if (row.trace != any) {
            EXPECT_EQ(fake::trace(), row.trace);
        }
        auto expectUnchangedBeyond = [](const Bytes& now, const Bytes& was, std::size_t written, const char* name) {
            for (std::size_t i = 0; i < now.size(); ++i) {
                const bool mayChange = i >= guard && i < guard + written;
                if (!mayChange) {
                    EXPECT_EQ(now[i], was[i]) << name << " byte " << static_cast<long>(i) - static_cast<long>(guard);
                }
            }
        };
        expectUnchangedBeyond(host.cmd, before.cmd, row.cmdWritten, "cmd");
        expectUnchangedBeyond(host.buffer, before.buffer, row.bufferWritten, "buffer");
        expectUnchangedBeyond(host.entries, before.entries, 0, "entries");
    }
}

#ifndef _WIN32
// A list of 800 million entries (2.4 GB, as a 64-bit host may hold): the
// last entry lies more than 2^31 bytes past the first, so its offset must
// not be counted in 32 bits. The mapping is sparse; only the pages touched
// are real.
TEST(BadInput, ListLongerThan2GiBIsReadWhereItLies) {
    constexpr std::int32_t count = 800'000'000;
    const std::size_t size = static_cast<std::size_t>(count) * 3;
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) GTEST_SKIP() << "no room for a sparse 2.4 GB mapping";
    auto* entries = static_cast<std::uint8_t*>(mapped);
    const std::uint8_t head[] = {0, 0, 1, 0, 0, 2};  // 1, 2, then zeros end the walk
    std::memcpy(entries, head, sizeof head);
    entries[size - 1] = 5;                           // the last entry: 5, one data byte

    fake::reset();
    EXPECT_EQ(IPsendBlack(1, count, entries, "127.0.0.1"), 1);  // no acknowledgement scripted
    ASSERT_EQ(fake::sends.size(), 2u);
    EXPECT_EQ(fake::hex(fake::sends[1]), "00 00 01 00 00 00 03 04");
    munmap(mapped, size);
}
#endif

}  // namespace
