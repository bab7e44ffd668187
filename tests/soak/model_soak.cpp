// Randomized scripts for every export, each run by the library on the
// scripted fake platform and by the reference model; the two must agree on
// the result, every platform call, every byte offered and accepted, the
// host's buffers (guard bytes around each) and what the device leaves unread.
// On every script: each socket closed once, start-up references balanced.
//
// Fixed seeds by default. A longer run with a random seed:
//   MORLUNE_SOAK_SEED=random MORLUNE_SOAK_SCRIPTS=200000 build/asan/tests/soak/model_soak
// A failure prints the seed of its script; MORLUNE_SOAK_SEED=<seed>
// MORLUNE_SOAK_SCRIPTS=1 replays exactly that script.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <random>

#include "fake_platform.h"
#include "model.h"
#include "morlune.h"

namespace {

using fake::Arrival;
using fake::Bytes;
using soak::Attempt;
using soak::Model;
using soak::Plan;

struct Run {
    std::uint64_t seed;
    int scripts;
};

Run runFor(std::uint64_t fixedSeed, int fixedScripts) {
    Run run{fixedSeed, fixedScripts};
    if (const char* count = std::getenv("MORLUNE_SOAK_SCRIPTS")) run.scripts = std::atoi(count);
    if (const char* seed = std::getenv("MORLUNE_SOAK_SEED")) {
        run.seed = std::strcmp(seed, "random") == 0
                       ? (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}()
                       : std::strtoull(seed, nullptr, 0);
    }
    std::cout << "seeds " << run.seed << " .. " << run.seed + static_cast<std::uint64_t>(run.scripts) - 1
              << " (" << run.scripts << " scripts)\n";
    return run;
}

class Rng {
public:
    explicit Rng(std::uint64_t seed) : gen_(seed) {}
    std::int32_t between(std::int32_t lo, std::int32_t hi) {
        return std::uniform_int_distribution<std::int32_t>(lo, hi)(gen_);
    }
    bool chance(int percent) { return between(0, 99) < percent; }
    std::uint8_t byte() { return static_cast<std::uint8_t>(between(0, 255)); }
    Bytes bytes(std::int32_t n) {
        Bytes out(static_cast<std::size_t>(n));
        for (auto& b : out) b = byte();
        return out;
    }
    template <typename T>
    T pick(std::initializer_list<T> options) {
        return options.begin()[between(0, static_cast<std::int32_t>(options.size()) - 1)];
    }

private:
    std::mt19937_64 gen_;
};

// A host buffer with guard bytes on both sides; library and model each work
// on a copy and must end up with the same bytes, guards included.
constexpr std::int32_t guardLength = 16;

struct Guarded {
    Guarded(Rng& rng, std::int32_t length)
        : bytes(rng.bytes(std::max(length, 0) + 2 * guardLength)) {}
    std::uint8_t* at() { return bytes.data() + guardLength; }
    Bytes bytes;
};

std::string firstDifference(const Guarded& actual, const Guarded& expected, const char* what) {
    for (std::size_t i = 0; i < actual.bytes.size(); ++i) {
        if (actual.bytes[i] != expected.bytes[i]) {
            const auto index = static_cast<long>(i) - guardLength;
            return std::string(what) + "[" + std::to_string(index) + "] is " +
                   std::to_string(actual.bytes[i]) + ", expected " +
                   std::to_string(expected.bytes[i]);
        }
    }
    return {};
}

// Room for `length` bytes and the spare one after them; none for lengths that
// the library refuses.
std::int32_t withSpare(std::int32_t length) {
    return length < 0 || length == INT32_MAX ? 0 : length + 1;
}

// Lengths: mostly small, some long enough for several chunks or reads, a
// few negative; INT32_MAX only where the library refuses it before any use.
std::int32_t pickLength(Rng& rng, bool refusedMax = false) {
    const int r = rng.between(0, 99);
    if (r < 2)
        return refusedMax ? rng.pick<std::int32_t>({-1, -2, -1000, INT32_MIN, INT32_MAX})
                          : rng.pick<std::int32_t>({-1, -2, -1000, INT32_MIN});
    if (r < 45) return rng.between(0, 8);
    if (r < 75) return rng.between(9, 64);
    if (r < 93) return rng.between(65, 1100);
    return rng.between(1100, 3000);
}

const char* pickAddress(Rng& rng) {
    return rng.pick<const char*>({"127.0.0.1", "127.0.0.1", "127.0.0.2", "", "not-an-address",
                                  "256.1.1.1", "127.0.0.1 "});
}

Attempt pickAttempt(Rng& rng) {
    const int r = rng.between(0, 99);
    if (r < 70) return Attempt::now;
    if (r < 80) return Attempt::pending;
    return rng.pick({Attempt::startupFails, Attempt::socketFails, Attempt::refused,
                     Attempt::timesOut});
}

// Attempts up to the first success, at most `most`.
void pickAttempts(Rng& rng, Plan& plan, int most) {
    for (int i = 0; i < most; ++i) {
        const Attempt a = pickAttempt(rng);
        plan.attempts.push_back(a);
        plan.handles.push_back(rng.between(3, 60000));
        if (soak::succeeds(a)) break;
    }
}

// Per send call: mostly everything accepted, sometimes an error or a part.
void pickSends(Rng& rng, Plan& plan, int calls) {
    for (int i = 0; i < calls; ++i) {
        const int r = rng.between(0, 99);
        plan.sends.push_back(r < 88   ? INT32_MAX
                              : r < 93 ? -1
                              : r < 97 ? rng.between(0, 8)
                                       : rng.between(0, 1100));
    }
}

void pushBytes(Plan& plan, Bytes bytes) {
    if (!bytes.empty()) plan.device.push_back({Arrival::bytes, std::move(bytes)});
}

void pushEvent(Rng& rng, Plan& plan) {
    plan.device.push_back(
        {rng.pick({Arrival::silence, Arrival::closed, Arrival::error}), Bytes{}});
}

// The device answers `answer`, perhaps cut short, perhaps with more behind
// it, in random pieces, with an occasional stall, close or error between
// pieces, and some ending.
void deviceSends(Rng& rng, Plan& plan, Bytes answer) {
    if (rng.chance(25)) answer.resize(static_cast<std::size_t>(
                            rng.between(0, static_cast<std::int32_t>(answer.size()))));
    if (rng.chance(20)) {
        const Bytes more = rng.bytes(rng.between(1, 6));
        answer.insert(answer.end(), more.begin(), more.end());
    }
    std::size_t at = 0;
    while (at < answer.size()) {
        const auto left = static_cast<std::int32_t>(answer.size() - at);
        const std::int32_t piece = rng.chance(50) ? left : rng.between(1, left);
        pushBytes(plan, Bytes(answer.begin() + static_cast<std::ptrdiff_t>(at),
                               answer.begin() + static_cast<std::ptrdiff_t>(at) + piece));
        at += static_cast<std::size_t>(piece);
        if (at < answer.size() && rng.chance(3)) pushEvent(rng, plan);
    }
    if (rng.chance(55)) pushEvent(rng, plan);
}

// What a device may send where an acknowledgement is expected.
void deviceAcks(Rng& rng, Plan& plan) {
    switch (rng.between(0, 9)) {
        case 0: pushBytes(plan, {0x02}); pushBytes(plan, {0x4F}); break;
        case 1: pushBytes(plan, {0x4F, 0x02}); break;
        case 2: pushBytes(plan, {0x02, 0x4E}); break;
        case 3: pushBytes(plan, {0x02, 0x4F, rng.byte()}); break;
        case 4: pushBytes(plan, rng.bytes(rng.between(1, 3))); break;
        case 5: pushEvent(rng, plan); break;
        case 6: break;
        default: pushBytes(plan, {0x02, 0x4F}); break;
    }
    if (rng.chance(30)) pushEvent(rng, plan);
}

std::uint8_t sum(const Bytes& bytes) {
    unsigned total = 0;
    for (const auto b : bytes) total += b;
    return static_cast<std::uint8_t>(total);
}

// Checks that hold for every script, whatever the model says.
void expectBalanced(int heldOpen) {
    EXPECT_EQ(fake::openSockets(), heldOpen) << "sockets left open";
    EXPECT_EQ(fake::startupReferences(), heldOpen) << "start-up references left";
    std::map<int, int> closes;
    for (const fake::Event& e : fake::events)
        if (e.op == fake::Op::close) ++closes[e.sock];
    for (const auto& [sock, count] : closes) EXPECT_EQ(count, 1) << "socket " << sock << " closed";
}

// How often each export gave each result.
using Seen = std::map<std::string, int>;

void count(Seen& seen, const char* what, std::int32_t result) {
    ++seen[std::string(what) + " -> " + std::to_string(result)];
}

// Runs the scripts, stops at the first one that fails and names its seed;
// prints how often each result came up, so that a run shows what it covered.
template <typename Script>
void soakScripts(std::uint64_t fixedSeed, int fixedScripts, Script script) {
    const Run run = runFor(fixedSeed, fixedScripts);
    Seen seen;
    for (int i = 0; i < run.scripts; ++i) {
        const std::uint64_t seed = run.seed + static_cast<std::uint64_t>(i);
        Rng rng(seed);
        script(rng, seen);
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "failing script: MORLUNE_SOAK_SEED=" << seed
                          << " MORLUNE_SOAK_SCRIPTS=1";
            return;
        }
    }
    for (const auto& [result, count] : seen) std::cout << "  " << result << ": " << count << "\n";
}

// ---------------------------------------------------------------------------

TEST(ModelSoak, ReadTransaction) {
    soakScripts(0x5eed0001, 20000, [](Rng& rng, Seen& seen) {
        const std::int32_t cmdLen = rng.chance(80) ? rng.between(0, 6) : pickLength(rng, true);
        const std::int32_t replyLen = pickLength(rng, true);
        const char* ipText = pickAddress(rng);
        Plan plan;
        pickAttempts(rng, plan, 2);
        pickSends(rng, plan, 2);
        Bytes reply = rng.bytes(std::clamp(replyLen, 0, 4000));
        reply.push_back(rng.chance(80) ? sum(reply) : rng.byte());
        deviceSends(rng, plan, reply);

        Guarded cmd(rng, std::max(withSpare(cmdLen), 2)), reply1(rng, withSpare(replyLen));
        if (rng.chance(30) && cmdLen >= 2) cmd.at()[1] = rng.pick<std::uint8_t>({0xA1, 0xC1, 0xD1});
        Guarded cmdModel = cmd, replyModel = reply1;

        soak::install(plan);
        Model model(plan);
        const std::int32_t expected =
            model.getData(cmdLen, cmdModel.at(), replyLen, replyModel.at(), ipText);
        const std::int32_t result = IPGetData(cmdLen, cmd.at(), replyLen, reply1.at(), ipText);

        EXPECT_EQ(result, expected) << "cmdLen " << cmdLen << ", replyLen " << replyLen;
        EXPECT_EQ(model.differences(), "");
        EXPECT_EQ(firstDifference(cmd, cmdModel, "cmd"), "");
        EXPECT_EQ(firstDifference(reply1, replyModel, "reply"), "");
        expectBalanced(0);
        count(seen, "IPGetData", result);
    });
}

TEST(ModelSoak, WriteTransaction) {
    soakScripts(0x5eed0002, 15000, [](Rng& rng, Seen& seen) {
        const std::int32_t cmdLen = rng.chance(80) ? rng.between(0, 6) : pickLength(rng, true);
        const std::int32_t dataLen = pickLength(rng, true);
        const char* ipText = pickAddress(rng);
        Plan plan;
        pickAttempts(rng, plan, 1);
        pickSends(rng, plan, 5);
        deviceAcks(rng, plan);

        Guarded cmd(rng, std::max(withSpare(cmdLen), 2)), data(rng, withSpare(dataLen));
        if (rng.chance(20) && cmdLen >= 2) cmd.at()[1] = rng.pick<std::uint8_t>({0xB5, 0xB6});
        Guarded cmdModel = cmd, dataModel = data;

        soak::install(plan);
        Model model(plan);
        const std::int32_t expected =
            model.sendData(cmdLen, cmdModel.at(), dataLen, dataModel.at(), ipText);
        const std::int32_t result = IPSendData(cmdLen, cmd.at(), dataLen, data.at(), ipText);

        EXPECT_EQ(result, expected) << "cmdLen " << cmdLen << ", dataLen " << dataLen;
        EXPECT_EQ(model.differences(), "");
        EXPECT_EQ(firstDifference(cmd, cmdModel, "cmd"), "");
        EXPECT_EQ(firstDifference(data, dataModel, "data"), "");
        expectBalanced(0);
        count(seen, "IPSendData", result);
    });
}

// Lists of every shape: ascending, with repeats and steps down, 0 entries,
// numbers above the cap, and single entries anywhere in the 17-bit range.
Bytes pickList(Rng& rng, std::int32_t count) {
    Bytes entries;
    std::int32_t n = rng.chance(10) ? 0 : rng.between(1, 40);
    const std::int32_t stride = rng.pick<std::int32_t>({1, 8, 100, 1024, 9000});
    for (std::int32_t i = 0; i < count; ++i) {
        std::int32_t value = n;
        if (count == 1) value = rng.between(0, 131071);
        else if (rng.chance(4)) value = rng.between(0, 131071);
        const std::uint8_t high = static_cast<std::uint8_t>((value >> 16) | (rng.chance(20) ? 0xFE : 0));
        entries.push_back(high);
        entries.push_back(static_cast<std::uint8_t>(value >> 8));
        entries.push_back(static_cast<std::uint8_t>(value));
        n = std::min(131071, n + rng.between(rng.chance(5) ? -3 : 1, stride));
    }
    return entries;
}

TEST(ModelSoak, BlackListDownload) {
    soakScripts(0x5eed0003, 10000, [](Rng& rng, Seen& seen) {
        const std::int32_t deviceNo = rng.chance(70) ? rng.between(0, 255) : rng.between(INT32_MIN, INT32_MAX);
        const std::int32_t entryCount = rng.chance(5) ? rng.between(-3, 0)
                                        : rng.chance(30) ? 1
                                                         : rng.between(2, 60);
        const char* ipText = pickAddress(rng);
        Plan plan;
        pickAttempts(rng, plan, 2);
        pickSends(rng, plan, 20);
        deviceAcks(rng, plan);
        const Bytes list = pickList(rng, std::max(entryCount, 0));
        // Exactly entryCount entries, on the heap, so a read past them is
        // caught under AddressSanitizer.
        const auto entries = std::make_unique<std::uint8_t[]>(list.size() + (list.empty() ? 1 : 0));
        std::copy(list.begin(), list.end(), entries.get());

        soak::install(plan);
        Model model(plan);
        const std::int32_t expected = model.sendBlack(deviceNo, entryCount, entries.get(), ipText);
        const std::int32_t result = IPsendBlack(deviceNo, entryCount, entries.get(), ipText);

        EXPECT_EQ(result, expected) << "deviceNo " << deviceNo << ", entryCount " << entryCount;
        EXPECT_EQ(model.differences(), "");
        EXPECT_TRUE(std::equal(list.begin(), list.end(), entries.get())) << "entries changed";
        expectBalanced(0);
        count(seen, "IPsendBlack", result);
    });
}

// A held connection: connect, a random run of exchanges and presence
// queries on one device stream (what one call leaves unread, the next
// reads), then close.
TEST(ModelSoak, HeldConnection) {
    soakScripts(0x5eed0004, 15000, [](Rng& rng, Seen& seen) {
        const char* ipText = pickAddress(rng);
        const std::int32_t port = rng.chance(70) ? rng.between(1, 65535) : rng.between(INT32_MIN, INT32_MAX);
        Plan plan;
        pickAttempts(rng, plan, 1);
        pickSends(rng, plan, 12);
        if (rng.chance(40)) {
            std::uint32_t t = rng.chance(50) ? 0xFFFFFFF0u : static_cast<std::uint32_t>(rng.between(0, 1000));
            for (int i = rng.between(1, 30); i > 0; --i) plan.ticks.push_back(t += static_cast<std::uint32_t>(rng.between(0, 4)));
        }
        const int calls = rng.between(1, 5);
        struct Call {
            int kind;
            std::int32_t a, b;
        };
        std::vector<Call> steps;
        for (int i = 0; i < calls; ++i) {
            const int kind = rng.between(0, 3);
            switch (kind) {
                case 0:
                case 1: {
                    const std::int32_t recvLen = pickLength(rng);
                    steps.push_back({kind, pickLength(rng), recvLen});
                    deviceSends(rng, plan, rng.bytes(std::clamp(recvLen, 0, 3000)));
                    break;
                }
                case 2:
                    steps.push_back({kind, pickLength(rng),
                                    rng.chance(15) ? rng.pick<std::int32_t>({0, -1, -900, -2000, INT32_MIN, INT32_MAX})
                                                   : rng.between(1, 4000)});
                    deviceAcks(rng, plan);
                    break;
                default: {
                    const std::int32_t deviceNo = rng.chance(60) ? rng.between(0, 255) : rng.between(-1000, 1000);
                    steps.push_back({kind, deviceNo, 0});
                    Bytes replies = rng.bytes(14);
                    if (rng.chance(60)) replies[9] = static_cast<std::uint8_t>(deviceNo);
                    deviceSends(rng, plan, replies);
                }
            }
        }

        soak::install(plan);
        Model model(plan);
        const std::int32_t expectedSock = model.connectDevice(ipText, port);
        const std::int32_t sock = ipConnectDevice(ipText, port);
        EXPECT_EQ(sock, expectedSock) << "port " << port;
        count(seen, "ipConnectDevice", sock == -1 ? -1 : 0);
        if (sock == -1 || sock != expectedSock) {
            EXPECT_EQ(model.differences(), "");
            expectBalanced(0);
            return;
        }
        expectBalanced(1);
        static constexpr const char* names[] = {"IPComm", "IPget", "IPsend", "iPonNet"};
        for (const Call& call : steps) {
            const std::int32_t sendLen = call.a;
            Guarded sendBuf(rng, sendLen);
            const Bytes sentBefore = sendBuf.bytes;
            std::int32_t result = 0, expected = 0;
            Guarded into(rng, call.kind == 3 ? 7 : call.kind == 2 ? 0 : call.b);
            Guarded intoModel = into;
            const std::int32_t reserved = rng.between(INT32_MIN, INT32_MAX);
            switch (call.kind) {
                case 0:
                    expected = model.comm(sendLen, sendBuf.at(), call.b, intoModel.at(), sock);
                    result = IPComm(sendLen, sendBuf.at(), call.b, into.at(), reserved, sock);
                    break;
                case 1:
                    expected = model.get(sendLen, sendBuf.at(), call.b, intoModel.at(), sock);
                    result = IPget(sendLen, sendBuf.at(), call.b, into.at(), sock);
                    break;
                case 2:
                    expected = model.send(sendLen, sendBuf.at(), call.b, sock);
                    result = IPsend(sendLen, sendBuf.at(), call.b, reserved, sock);
                    break;
                default:
                    expected = model.onNet(call.a, intoModel.at(), sock);
                    result = iPonNet(call.a, into.at(), sock);
            }
            count(seen, names[call.kind], result);
            EXPECT_EQ(result, expected) << "call kind " << call.kind << " (" << call.a << ", "
                                        << call.b << ")";
            EXPECT_EQ(model.differences(), "");
            EXPECT_EQ(firstDifference(into, intoModel, "host buffer"), "");
            EXPECT_EQ(sendBuf.bytes, sentBefore) << "the host's send buffer was written";
            expectBalanced(1);
            if (::testing::Test::HasFailure()) return;
        }
        EXPECT_EQ(ipCloseDevice(sock), model.closeDevice(sock));
        EXPECT_EQ(model.differences(), "");
        expectBalanced(0);
    });
}

TEST(ModelSoak, FixedValueEntriesTouchNothing) {
    soakScripts(0x5eed0005, 500, [](Rng& rng, Seen& seen) {
        fake::reset();
        EXPECT_EQ(IPSetIPAddr(rng.between(INT32_MIN, INT32_MAX), rng.between(INT32_MIN, INT32_MAX),
                              rng.between(INT32_MIN, INT32_MAX)),
                  0);
        EXPECT_EQ(IPSearch(rng.between(INT32_MIN, INT32_MAX)), 1);
        EXPECT_TRUE(fake::events.empty());
        count(seen, "IPSetIPAddr, IPSearch", 0);
    });
}

// The model's list encoder against vectors worked out by hand, so that the
// soak compares the library with something known to be right.
TEST(ModelSoak, ReferenceListBlockMatchesKnownBlocks) {
    struct Case {
        std::vector<std::int32_t> numbers;
        std::string block;
    };
    const std::vector<Case> cases = {
        {{0}, "00 00 01 00 00 FF 80"},        {{1}, "00 00 01 00 00 00 01"},
        {{1024}, "00 00 01 00 00 7F 80"},     {{1025}, "00 00 01 00 00 80 01"},
        {{1032}, "00 00 01 00 01 00 80"},     {{130000}, "00 00 01 00 7E 79 80"},
        {{131071}, "00 00 01 00 7F 7F 40"},   {{8, 9}, "00 00 02 00 00 00 80 01"},
        {{1, 3, 5, 7, 9, 16}, "00 00 02 00 00 00 55 81"},
        {{5, 5, 6}, "00 00 01 00 00 00 10"},  {{2, 7, 3}, "00 00 01 00 00 00 42"},
        {{9, 3}, "00 00 01 00 00 00 00"},     {{0, 4}, "00 00 01 00 00 00 00"},
        {{4, 0}, "00 00 00 00 00 00"},
    };
    for (const Case& c : cases) {
        Bytes entries;
        for (const std::int32_t n : c.numbers) {
            entries.push_back(static_cast<std::uint8_t>(n >> 16));
            entries.push_back(static_cast<std::uint8_t>(n >> 8));
            entries.push_back(static_cast<std::uint8_t>(n));
        }
        EXPECT_EQ(fake::hex(soak::referenceListBlock(entries.data(),
                                                     static_cast<std::int32_t>(c.numbers.size()))),
                  c.block);
    }
}

}  // namespace
