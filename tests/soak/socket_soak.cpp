// A real-socket fault soak: every export family against the device emulator
// under every fault it can inject (silence, close, reset, one byte at a time,
// garbage, surplus bytes, bad checksum, split or wrong acknowledgement,
// refused connection), thousands of transactions, each result checked. The
// process's open descriptors are counted before and after: none may leak.
//
// Faults that cost a wait (silence) come a few times per run; the fast ones
// come many times. MORLUNE_SOAK_ROUNDS scales the run (default 60 rounds).
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
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
using morlune::sim::Fault;
using morlune::sim::Millis;
using morlune::sim::Reaction;
using morlune::sim::Scenario;
namespace step = morlune::sim::step;

constexpr std::uint8_t readCode = 0x10;
constexpr std::uint8_t quickReadCode = 0xA1;  // 1 s reply wait
constexpr std::uint8_t writeCode = 0x20;
constexpr std::uint8_t quietWriteCode = 0xB5; // no acknowledgement awaited
constexpr std::uint8_t blackCode = 0xA5;
constexpr std::size_t replyLength = 16;
constexpr std::size_t dataLength = 10;        // a block of 11: no pacing pauses, 1 s ack wait

// Device numbers name the fault the device injects.
enum Dev : std::uint8_t {
    sound = 1, bytewise, surplus, badSum, closes, resets, silent, oneByte, wrongAck, swappedAck,
    splitAck, bigBlock
};

int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count - 3;  // ".", ".." and the directory's own descriptor
}

std::string listen8000(Emulator& emulator, int fourth, Face face) {
    for (int second = 201; second < 230; ++second) {
        const std::string address = "127." + std::to_string(second) + ".0." + std::to_string(fourth);
        try {
            emulator.listen(address, 8000, face);
            return address;
        } catch (const std::system_error&) {
        }
    }
    ADD_FAILURE() << "no loopback address free for port 8000";
    return "127.201.0." + std::to_string(fourth);
}

Scenario faults() {
    Scenario s;
    auto read = [&](std::uint8_t dev, std::uint8_t code) -> Reaction& {
        Reaction& r = s.on(dev, code);
        r.replyLength = replyLength;
        return r;
    };
    read(sound, readCode);
    read(bytewise, readCode).pieces = std::vector<std::size_t>(replyLength + 1, 1);
    s.on(bytewise, readCode).gap = Millis{1};
    read(surplus, readCode).surplus = {0x55, 0x66, 0x77};
    read(badSum, readCode).fault = Fault::badChecksum;
    read(closes, readCode).fault = Fault::close;
    read(resets, readCode).fault = Fault::reset;
    read(silent, quickReadCode).fault = Fault::silence;

    auto write = [&](std::uint8_t dev, std::uint8_t code = writeCode) -> Reaction& {
        Reaction& r = s.on(dev, code);
        r.dataLength = dev == bigBlock ? 1000 : dataLength;
        return r;
    };
    write(sound);
    write(sound, quietWriteCode);
    write(bigBlock);
    write(surplus).surplus = {0x55};
    write(closes).fault = Fault::close;
    write(resets).fault = Fault::reset;
    write(silent).fault = Fault::silence;
    write(oneByte).ack = Bytes{0x02};
    write(wrongAck).ack = Bytes{0x02, 0x4E};
    write(swappedAck).ack = Bytes{0x4F, 0x02};
    write(splitAck).pieces = {1, 1};
    s.on(splitAck, writeCode).gap = Millis{80};

    s.on(surplus, blackCode).surplus = {0x55};
    s.on(closes, blackCode).fault = Fault::close;
    s.on(resets, blackCode).fault = Fault::reset;
    s.on(silent, blackCode).fault = Fault::silence;
    s.on(oneByte, blackCode).ack = Bytes{0x02};
    s.on(swappedAck, blackCode).ack = Bytes{0x4F, 0x02};
    s.on(splitAck, blackCode).pieces = {1, 1};
    s.on(splitAck, blackCode).gap = Millis{80};
    return s;
}

Bytes header(std::uint8_t dev, std::uint8_t code) {
    return {dev, code, 0, 0, static_cast<std::uint8_t>(dev + code)};
}

Bytes soundReply(std::uint8_t dev, std::uint8_t code) {
    return morlune::sim::withSum(morlune::sim::paddedReply({}, replyLength, dev, code));
}

Bytes entriesOf(const std::vector<std::uint32_t>& numbers) { return morlune::sim::listEntries(numbers); }

class Soak {
public:
    Soak() : rng_(20261211) {}

    void add(const Soak& other) {
        transactions_ += other.transactions_;
        unexpected_ += other.unexpected_;
        for (const auto& [what, count] : other.byKind_) byKind_[what] += count;
    }

    void expect(const std::string& what, std::int32_t result, std::int32_t expected, bool bytesRight = true) {
        ++transactions_;
        ++byKind_[what];
        if (result != expected || !bytesRight) {
            ++unexpected_;
            if (unexpected_ <= 20)
                ADD_FAILURE() << what << ": result " << result << ", expected " << expected
                              << (bytesRight ? "" : ", host buffer wrong");
        }
    }

    // One-shot read; the reply buffer carries 8 guard bytes.
    void read(const std::string& address, std::uint8_t dev, std::uint8_t code, std::int32_t expected,
              const Bytes& wanted, const std::string& what) {
        std::uint8_t cmd[5] = {dev, code, 0x00, 0x00, 0xEE};
        Bytes reply(replyLength + 1 + 8, 0xEE);
        const std::int32_t result = IPGetData(4, cmd, replyLength, reply.data(), address.c_str());
        Bytes rest = reply;
        std::copy(wanted.begin(), wanted.end(), rest.begin());
        expect(what, result, expected, reply == rest && cmd[4] == static_cast<std::uint8_t>(dev + code));
    }

    void write(const std::string& address, std::uint8_t dev, std::uint8_t code, std::int32_t expected,
               const std::string& what) {
        std::uint8_t cmd[5] = {dev, code, 0x00, 0x00, 0xEE};
        const std::size_t length = dev == bigBlock ? 1000 : dataLength;
        Bytes data(length + 1 + 8, 0xEE);
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(rng_());
        Bytes wanted = data;
        unsigned sum = 0;
        for (std::size_t i = 0; i < length; ++i) sum += data[i];
        wanted[length] = static_cast<std::uint8_t>(sum);
        const std::int32_t result =
            IPSendData(4, cmd, static_cast<std::int32_t>(length), data.data(), address.c_str());
        expect(what, result, expected, data == wanted);
    }

    void black(const std::string& address, std::uint8_t dev, std::int32_t expected, const std::string& what,
               Emulator* record = nullptr) {
        std::vector<std::uint32_t> numbers;
        std::uint32_t n = 0;
        const int count = static_cast<int>(rng_() % 12) + 1;
        for (int i = 0; i < count; ++i) numbers.push_back(n += 1 + static_cast<std::uint32_t>(rng_() % 8));
        const Bytes entries = entriesOf(numbers);
        const Bytes before = entries;
        const std::int32_t result =
            IPsendBlack(dev, static_cast<std::int32_t>(numbers.size()), entries.data(), address.c_str());
        bool right = entries == before;
        if (record != nullptr) {
            const auto lists = record->blackLists();
            right = right && !lists.empty() && lists.back().list.sound && lists.back().list.numbers == numbers;
        }
        expect(what, result, expected, right);
    }

    std::mt19937& rng() { return rng_; }
    void report() const {
        std::cout << "transactions " << transactions_ << ", unexpected results " << unexpected_ << "\n";
        for (const auto& [what, count] : byKind_) std::cout << "  " << what << ": " << count << "\n";
    }
    long unexpected() const { return unexpected_; }

private:
    std::mt19937 rng_;
    long transactions_ = 0;
    long unexpected_ = 0;
    std::map<std::string, long> byKind_;
};

// One worker: an emulator of its own (so that its scripted connections come
// in its own order) on addresses of its own, and `rounds` rounds of every
// fault. Worker 0 also runs the faults that cost a whole wait, once.
void soakWorker(Soak& soak, int worker, int rounds) {
    {
        Emulator emulator;
        emulator.setScenario(faults());
        const std::string device = listen8000(emulator, 10 * worker + 1, Face::device);
        const std::string scripted = listen8000(emulator, 10 * worker + 2, Face::scripted);
        std::string nobody = device;
        nobody.back() = '9';  // nothing listens there: refused at once
        const std::uint16_t heldPort = emulator.listen("127.0.0.1", 0, Face::device);
        const std::uint16_t heldScripted = emulator.listen("127.0.0.1", 0, Face::scripted);
        emulator.start();
        auto& rng = soak.rng();

        for (int round = 0; round < rounds; ++round) {
            const bool slowRound = round == 0 && worker == 0;

            // --- one-shot read ---------------------------------------------------
            if (round % 10 == 0) {
                soak.read(device, sound, readCode, 0, soundReply(sound, readCode), "IPGetData sound");
                soak.read(device, bytewise, readCode, 0, soundReply(bytewise, readCode), "IPGetData one byte at a time");
                soak.read(device, surplus, readCode, 0, soundReply(surplus, readCode), "IPGetData surplus");
            }
            for (int i = 0; i < 3; ++i) {
                Bytes bad = soundReply(badSum, readCode);
                bad.back() = static_cast<std::uint8_t>(bad.back() + 1);
                soak.read(device, badSum, readCode, 4, bad, "IPGetData bad checksum");
                soak.read(device, closes, readCode, 2, {}, "IPGetData close instead of reply");
                soak.read(device, resets, readCode, 2, {}, "IPGetData reset instead of reply");
                // The device stops after k bytes: closes or resets mid-reply.
                const Bytes whole = soundReply(closes, readCode);
                const std::size_t k = 1 + rng() % replyLength;
                const Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(k));
                emulator.addScript({step::expect(5), step::send(part), step::close()});
                soak.read(scripted, closes, readCode, 3, part, "IPGetData close mid-reply");
                emulator.addScript({step::expect(5), step::send(part), step::reset()});
                soak.read(scripted, resets, readCode, 3, part, "IPGetData reset mid-reply");
                // Garbage of the full length whose last byte is not its checksum.
                Bytes garbage(replyLength + 1);
                unsigned sum = 0;
                for (std::size_t j = 0; j < replyLength; ++j) sum += garbage[j] = static_cast<std::uint8_t>(rng());
                garbage.back() = static_cast<std::uint8_t>(sum + 1 + rng() % 255);
                emulator.addScript({step::expect(5), step::send(garbage), step::silent()});
                soak.read(scripted, 9, readCode, 4, garbage, "IPGetData garbage");
            }
            if (slowRound) soak.read(device, silent, quickReadCode, 2, {}, "IPGetData silence (1 s)");

            // --- one-shot write --------------------------------------------------
            {
                soak.write(device, sound, writeCode, 0, "IPSendData sound");
                soak.write(device, sound, quietWriteCode, 0, "IPSendData no ack awaited (B5)");
                soak.write(device, surplus, writeCode, 0, "IPSendData surplus after ack");
                soak.write(device, closes, writeCode, 1, "IPSendData close instead of ack");
                soak.write(device, resets, writeCode, 2, "IPSendData reset instead of ack");
                soak.write(device, oneByte, writeCode, 3, "IPSendData one byte of ack");
                soak.write(device, wrongAck, writeCode, 4, "IPSendData wrong ack 02 4E");
                soak.write(device, swappedAck, writeCode, 4, "IPSendData swapped ack 4F 02");
            }
            if (round % 10 == 1) soak.write(device, splitAck, writeCode, 3, "IPSendData split ack");
            if (slowRound) {
                soak.write(device, silent, writeCode, 3, "IPSendData silence (1 s)");
                soak.write(device, bigBlock, writeCode, 0, "IPSendData 1000-byte block, paced");
            }

            // --- black list ------------------------------------------------------
            {
                soak.black(device, sound, 0, "IPsendBlack sound", &emulator);
                soak.black(device, surplus, 0, "IPsendBlack surplus after ack");
                soak.black(device, closes, 1, "IPsendBlack close instead of ack");
                soak.black(device, resets, 1, "IPsendBlack reset instead of ack");
                soak.black(device, oneByte, 1, "IPsendBlack one byte of ack");
                soak.black(device, swappedAck, 1, "IPsendBlack swapped ack");
            }
            if (round % 10 == 2) soak.black(device, splitAck, 1, "IPsendBlack split ack");
            if (slowRound) soak.black(device, silent, 1, "IPsendBlack silence (1 s)");

            // --- refused ---------------------------------------------------------
            {
                std::uint8_t cmd[5] = {1, readCode, 0, 0, 0xEE};
                Bytes reply(replyLength + 1, 0xEE);
                const std::int32_t readResult = IPGetData(4, cmd, replyLength, reply.data(), nobody.c_str());
                soak.expect("IPGetData refused", readResult, 1,
                            cmd[4] == 0xEE && reply == Bytes(replyLength + 1, 0xEE));
                const std::int32_t writeResult = IPSendData(4, cmd, 4, reply.data(), nobody.c_str());
                soak.expect("IPSendData refused", writeResult, 1,
                            cmd[4] == 0xEE && reply == Bytes(replyLength + 1, 0xEE));
                const Bytes entries = entriesOf({5});
                soak.expect("IPsendBlack refused", IPsendBlack(1, 1, entries.data(), nobody.c_str()), 1);
                soak.expect("ipConnectDevice refused", ipConnectDevice(nobody.c_str(), 8000), -1);
            }

            // --- held connection, device face ------------------------------------
            {
                const std::int32_t sock = ipConnectDevice("127.0.0.1", heldPort);
                soak.expect("ipConnectDevice", sock == -1 ? -1 : 0, 0);
                if (sock == -1) continue;
                for (int i = 0; i < 10; ++i) {
                    for (const std::uint8_t dev : {sound, i == 0 ? bytewise : sound, badSum}) {
                        const Bytes frame = header(dev, readCode);
                        Bytes reply(replyLength + 1 + 8, 0xEE);
                        Bytes wanted = reply;
                        Bytes answer = soundReply(dev, readCode);
                        if (dev == badSum) answer.back() = static_cast<std::uint8_t>(answer.back() + 1);
                        std::copy(answer.begin(), answer.end(), wanted.begin());
                        // A small send behind an unanswered one waits for the
                        // device's delayed ACK (Nagle): the 00 00 of IPget and
                        // the host's own ack come every few turns only.
                        const bool zeros = i % 5 == 1;
                        const std::int32_t result =
                            zeros ? IPget(5, frame.data(), replyLength + 1, reply.data(), sock)
                                  : IPComm(5, frame.data(), replyLength + 1, reply.data(), 0, sock);
                        soak.expect(dev == sound      ? (zeros ? "IPget sound" : "IPComm sound")
                                    : dev == bytewise ? "IPComm/IPget one byte at a time"
                                                      : "IPComm/IPget bad checksum (taken as it is)",
                                    result, 0, reply == wanted);
                        if (i % 5 == 0 && dev == sound) {
                            const Bytes ack = {0x02, 0x4F};
                            soak.expect("IPsend host ack, no wait", IPsend(2, ack.data(), 0, 0, sock), 0);
                        }
                    }
                    // Surplus stays queued: the next receive reads it first.
                    const Bytes frame = header(surplus, readCode);
                    Bytes reply(replyLength + 1, 0);
                    const std::int32_t answered = IPComm(5, frame.data(), replyLength + 1, reply.data(), 0, sock);
                    soak.expect("IPComm surplus", answered, 0,
                                reply == soundReply(surplus, readCode));
                    Bytes rest(3 + 4, 0xEE);
                    const std::int32_t leftOver = IPComm(0, frame.data(), 3, rest.data(), 0, sock);
                    soak.expect("IPComm reads the surplus next", leftOver, 0,
                                rest == Bytes{0x55, 0x66, 0x77, 0xEE, 0xEE, 0xEE, 0xEE});

                    // Writes over the held connection: command, block, ack.
                    for (const std::uint8_t dev : {sound, oneByte, wrongAck, swappedAck}) {
                        Bytes frameW = header(dev, writeCode);
                        Bytes block(dataLength);
                        for (auto& b : block) b = static_cast<std::uint8_t>(rng());
                        block = morlune::sim::withSum(block);
                        frameW.insert(frameW.end(), block.begin(), block.end());
                        soak.expect(dev == sound ? "IPsend sound" : "IPsend wrong, swapped or partial ack",
                                    IPsend(static_cast<std::int32_t>(frameW.size()), frameW.data(),
                                           static_cast<std::int32_t>(dataLength), 0, sock),
                                    dev == sound ? 0 : 1);
                    }
                    if (i % 2 == 1) continue;  // the query spins 11 ms: every other time
                    std::uint8_t out[7 + 4];
                    std::memset(out, 0xEE, sizeof out);
                    const std::uint8_t who = static_cast<std::uint8_t>(20 + i);
                    const Bytes one = morlune::sim::presenceFirstReply(who);
                    const Bytes two = morlune::sim::presenceSecondReply(who);
                    const Bytes wantOut = {two[1], two[2], two[3], one[2], one[3], one[4], one[5], 0xEE, 0xEE, 0xEE, 0xEE};
                    const std::int32_t present = iPonNet(who, out, sock);
                    soak.expect("iPonNet sound", present, 0, Bytes(out, out + sizeof out) == wantOut);
                }
                if (slowRound) {
                    const Bytes frame = header(silent, quickReadCode);
                    Bytes reply(replyLength + 1, 0xEE);
                    const std::int32_t quiet = IPComm(5, frame.data(), replyLength + 1, reply.data(), 0, sock);
                    soak.expect("IPComm silence (2 s)", quiet, -2, reply == Bytes(replyLength + 1, 0xEE));
                }
                // The device closes or resets instead of answering: -2, and the
                // connection is of no further use.
                const std::uint8_t ending = round % 2 == 0 ? closes : resets;
                const Bytes frame = header(ending, readCode);
                Bytes reply(replyLength + 1, 0xEE);
                const std::int32_t ended = IPComm(5, frame.data(), replyLength + 1, reply.data(), 0, sock);
                soak.expect(ending == closes ? "IPComm close instead of reply" : "IPComm reset instead of reply",
                            ended, -2, reply == Bytes(replyLength + 1, 0xEE));
                soak.expect("ipCloseDevice", ipCloseDevice(sock), 0);
            }

            // --- held connection, scripted: mid-reply ends and garbage ------------
            for (int i = 0; i < 3; ++i) {
                const std::size_t k = 1 + rng() % 5;
                Bytes sent(6);
                for (auto& b : sent) b = static_cast<std::uint8_t>(rng());
                const Bytes part(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(k));
                const bool reset = i == 1;
                emulator.addScript({step::expect(5), step::send(part), reset ? step::reset() : step::close()});
                const std::int32_t sock = ipConnectDevice("127.0.0.1", heldScripted);
                if (sock == -1) {
                    soak.expect("ipConnectDevice", -1, 0);
                    continue;
                }
                Bytes reply(6 + 4, 0xEE);
                Bytes wanted = reply;
                std::copy(part.begin(), part.end(), wanted.begin());
                const Bytes frame = header(1, readCode);
                const std::int32_t result = i == 2 ? IPget(5, frame.data(), 6, reply.data(), sock)
                                                   : IPComm(5, frame.data(), 6, reply.data(), 0, sock);
                soak.expect(reset ? "IPComm reset mid-reply" : "IPComm/IPget close mid-reply", result, -2,
                            reply == wanted);
                soak.expect("ipCloseDevice", ipCloseDevice(sock), 0);
            }
            for (int i = 0; i < 2; ++i) {
                // Presence query answered with garbage: out is written only
                // when byte 1 of the second reply echoes the device number.
                Bytes one(8), two(6);
                for (auto& b : one) b = static_cast<std::uint8_t>(rng());
                for (auto& b : two) b = static_cast<std::uint8_t>(rng());
                const std::uint8_t who = static_cast<std::uint8_t>(rng());
                if (i == 0) two[1] = who;
                emulator.addScript({step::expect(5), step::sendPieces(one, {3}, Millis{0}), step::expect(5),
                                    step::send(two), step::silent()});
                const std::int32_t sock = ipConnectDevice("127.0.0.1", heldScripted);
                if (sock == -1) {
                    soak.expect("ipConnectDevice", -1, 0);
                    continue;
                }
                std::uint8_t out[7];
                std::memset(out, 0xEE, sizeof out);
                const Bytes wantOut = two[1] == who ? Bytes{two[1], two[2], two[3], one[2], one[3], one[4], one[5]}
                                                    : Bytes(7, 0xEE);
                const std::int32_t present = iPonNet(who, out, sock);
                soak.expect("iPonNet garbage replies", present, 0, Bytes(out, out + 7) == wantOut);
                const std::size_t index = emulator.connectionCount() - 1;
                ipCloseDevice(sock);
                const auto transcript = emulator.transcript(index, std::chrono::seconds(5));
                const Bytes first = header(who, 0xA0);
                Bytes wire = first;
                const Bytes second = {0x00, 0xB4, one[0], one[1], static_cast<std::uint8_t>(0xB4 + one[0] + one[1])};
                wire.insert(wire.end(), second.begin(), second.end());
                soak.expect("iPonNet headers on the wire", transcript.received == wire ? 0 : 1, 0);
            }
        }
        emulator.stop();
    }
}

TEST(SocketSoak, EveryFaultGivesItsResultAndNothingLeaks) {
    constexpr int workers = 4;  // the time goes in pauses and waits, not in work
    int rounds = 25;
    if (const char* r = std::getenv("MORLUNE_SOAK_ROUNDS")) rounds = std::max(1, std::atoi(r));
    const int before = openDescriptors();
    std::vector<Soak> soaks(workers);
    {
        std::vector<std::thread> pool;
        for (int w = 0; w < workers; ++w)
            pool.emplace_back([&soaks, w, rounds] { soakWorker(soaks[static_cast<std::size_t>(w)], w, rounds); });
        for (auto& t : pool) t.join();
    }
    const int leaked = openDescriptors() - before;
    Soak total;
    for (const Soak& s : soaks) total.add(s);
    total.report();
    std::cout << "leaked descriptors " << leaked << "\n";
    EXPECT_EQ(leaked, 0);
    EXPECT_EQ(total.unexpected(), 0);
}

}  // namespace
