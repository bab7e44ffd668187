// What the one-shot transactions cost beyond their fixed pauses. Each call is
// timed against a prompt loopback device on port 8000 and the pauses that the
// call must spend whatever the device does are taken off; the device answers
// at once, so no wait for it lasts. What is left is the library's own work
// (socket, connect, sends, polls, reads, close), the loopback, and how late
// the system wakes a sleeping thread. The same transaction written with plain
// POSIX calls and the same sleeps, to the same device in the same run, shows
// how much of it is the system's: the two alternate call by call.
//
//   morlune_bench_oneshot [--quick=1] [--warm-up=0] [--peer=own|sim] [--json=FILE]
//
// --peer=sim serves the transactions with the project's device emulator
// instead of the small scripted peer of bench/peer.cpp (where it is built).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "morlune.h"
#include "peer.h"
#include "report.h"

#ifdef MORLUNE_BENCH_WITH_SIM
#include <system_error>

#include "morlune_sim/emulator.h"
#endif

using namespace morlune::bench;

namespace {

constexpr int deviceSlot = 200;  // port 8000 on 127.B.0.200, the first B that is free
constexpr std::uint16_t devicePort = 8000;
std::string deviceText;
const char* deviceAddress = nullptr;

// The pauses of a paced block of `blockLength` bytes: 10 ms first, then, for
// blocks over 20 bytes, chunk + 300 ms after each chunk of at most 1000.
double pacedPauseMs(int blockLength) {
    double ms = 10;
    if (blockLength > 20)
        for (int left = blockLength; left > 0; left -= 1000) ms += std::min(left, 1000) + 300;
    return ms;
}

std::uint8_t checksum(const std::uint8_t* bytes, std::size_t length) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

// --- the host's buffers, made before the clock starts ---------------------------

struct Buffers {
    std::uint8_t cmd[5];
    std::vector<std::uint8_t> payload;  // reply room, data block, or list entries
    std::int32_t count = 0;             // list entries
};

Buffers readBuffers(int replyLen) {
    Buffers b{{0x01, 0x10, static_cast<std::uint8_t>(replyLen >> 8), static_cast<std::uint8_t>(replyLen), 0}, {}};
    b.payload.resize(static_cast<std::size_t>(replyLen) + 1);
    return b;
}

Buffers writeBuffers(int dataLen) {
    Buffers b{{0x01, 0x20, static_cast<std::uint8_t>(dataLen >> 8), static_cast<std::uint8_t>(dataLen), 0}, {}};
    b.payload.assign(static_cast<std::size_t>(dataLen) + 1, 0x5A);
    return b;
}

// A list ending at `last`: one entry when last is 1, else every third number and last.
Buffers listBuffers(int last) {
    Buffers b{{}, {}};
    auto add = [&](int n) {
        for (const int shift : {16, 8, 0}) b.payload.push_back(static_cast<std::uint8_t>(n >> shift));
    };
    if (last == 1) {
        add(4242);
    } else {
        for (int n = 3; n < last; n += 3) add(n);
        add(last);
    }
    b.count = static_cast<std::int32_t>(b.payload.size() / 3);
    return b;
}

// --- the library --------------------------------------------------------------

std::int32_t libraryRead(Buffers& b) {
    return IPGetData(4, b.cmd, b.cmd[2] * 256 + b.cmd[3], b.payload.data(), deviceAddress);
}
std::int32_t libraryWrite(Buffers& b) {
    return IPSendData(4, b.cmd, b.cmd[2] * 256 + b.cmd[3], b.payload.data(), deviceAddress);
}
std::int32_t libraryList(Buffers& b) { return IPsendBlack(7, b.count, b.payload.data(), deviceAddress); }

// --- the same transactions in plain POSIX calls --------------------------------

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool readable(int fd, int seconds) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, seconds * 1000) > 0;
}

bool sendWhole(int fd, const std::uint8_t* bytes, int length) {
    return ::send(fd, bytes, static_cast<std::size_t>(length), MSG_NOSIGNAL) == length;
}

bool sendPaced(int fd, const std::uint8_t* block, int length) {
    pause(10);
    for (int offset = 0; offset < length;) {
        const int chunk = std::min(1000, length - offset);
        if (!sendWhole(fd, block + offset, chunk)) return false;
        offset += chunk;
        if (length > 20) pause(chunk + 300);
    }
    return true;
}

bool acknowledged(int fd, int seconds) {
    std::uint8_t answer[2];
    return readable(fd, seconds) && ::recv(fd, answer, 2, 0) == 2 && answer[0] == 0x02 && answer[1] == 0x4F;
}

std::int32_t plainRead(Buffers& b) {
    const int fd = connectPlain(deviceAddress, devicePort);
    if (fd < 0) return 1;
    const int replyLen = b.cmd[2] * 256 + b.cmd[3];
    b.cmd[4] = checksum(b.cmd, 4);
    std::int32_t result = 2;
    if (sendWhole(fd, b.cmd, 5)) {
        int got = 0;
        while (got < replyLen + 1 && readable(fd, 3)) {
            const auto r = ::recv(fd, b.payload.data() + got, static_cast<std::size_t>(std::min(1000, replyLen + 1 - got)), 0);
            if (r <= 0) break;
            got += static_cast<int>(r);
        }
        if (got == replyLen + 1 && checksum(b.payload.data(), static_cast<std::size_t>(replyLen)) == b.payload[static_cast<std::size_t>(replyLen)]) {
            const std::uint8_t ack[2] = {0x02, 0x4F};
            sendWhole(fd, ack, 2);
            pause(100);
            result = 0;
        }
    }
    ::close(fd);
    return result;
}

std::int32_t plainWrite(Buffers& b) {
    const int fd = connectPlain(deviceAddress, devicePort);
    if (fd < 0) return 1;
    const int dataLen = b.cmd[2] * 256 + b.cmd[3];
    b.cmd[4] = checksum(b.cmd, 4);
    b.payload[static_cast<std::size_t>(dataLen)] = checksum(b.payload.data(), static_cast<std::size_t>(dataLen));
    const int block = dataLen + 1;
    std::int32_t result = 2;
    if (sendWhole(fd, b.cmd, 5) && sendPaced(fd, b.payload.data(), block)) {
        if (block >= 20) pause(1000);
        result = acknowledged(fd, block >= 20 ? 4 : 1) ? 0 : 3;
    }
    ::close(fd);
    return result;
}

std::int32_t plainList(Buffers& b) {
    const int fd = connectPlain(deviceAddress, devicePort);
    if (fd < 0) return 1;
    std::uint8_t header[5] = {7, 0xA5, 0, 0, 0};
    header[4] = checksum(header, 4);
    // The bytes matter little here, their number does: a 7-byte single entry,
    // or the 6-byte prefix and one bit per number up to the last.
    const int last = b.count == 1 ? 0 : (b.payload[b.payload.size() - 2] << 8) + b.payload.back();
    const int dataLength = b.count == 1 ? 1 : (last + 7) / 8;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(6 + dataLength + 1), 0);
    block[2] = static_cast<std::uint8_t>(dataLength);
    block[3] = static_cast<std::uint8_t>(dataLength >> 8);
    block.back() = checksum(block.data(), block.size() - 1);
    std::int32_t result = 2;
    if (sendWhole(fd, header, 5) && sendPaced(fd, block.data(), static_cast<int>(block.size())))
        result = acknowledged(fd, 1) ? 0 : 1;
    ::close(fd);
    return result;
}

struct Case {
    const char* name;
    std::uint8_t device;  // the emulator answers each case by its device number
    double pauseMs;  // the fixed pauses the call spends, even with a prompt device
    int repeats;
    Buffers (*buffers)(int size);
    int size;
    std::int32_t (*library)(Buffers&);
    std::int32_t (*plain)(Buffers&);
};

struct Row {
    const Case* c;
    int repeats;
    double libMedian, libMax, plainMedian, plainMax;
    long failures;
};

Row measure(const Case& c, int repeats, bool warmUp) {
    Row row{&c, repeats, 0, 0, 0, 0, 0};
    std::vector<double> lib, raw;
    // One untimed call of each side first, so that neither pays alone for a
    // cold start (the loader binding symbols, the first connection).
    if (warmUp && c.pauseMs < 1000) {
        for (auto side : {c.library, c.plain}) {
            Buffers b = c.buffers(c.size);
            b.cmd[0] = c.device;
            row.failures += side(b) != 0;
        }
    }
    for (int i = 0; i < 2 * repeats; ++i) {
        const bool library = (i % 4 == 0 || i % 4 == 3);  // L P P L: neither always goes first
        Buffers b = c.buffers(c.size);
        b.cmd[0] = c.device;
        const auto start = Clock::now();
        const std::int32_t result = library ? c.library(b) : c.plain(b);
        (library ? lib : raw).push_back(microsSince(start) / 1000.0 - c.pauseMs);
        row.failures += result != 0;
    }
    row.libMedian = percentile(lib, 50);
    row.libMax = percentile(lib, 100);
    row.plainMedian = percentile(raw, 50);
    row.plainMax = percentile(raw, 100);
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = optionNumber(argc, argv, "quick", 0) != 0;
    const bool warmUp = optionNumber(argc, argv, "warm-up", 1) != 0;
    const std::string json = option(argc, argv, "json", "");

    // A write pauses 1000 ms before its acknowledgement wait when the block is 20 bytes or more.
    const std::vector<Case> cases = {
        {"IPGetData reply 16", 1, 100, 30, readBuffers, 16, libraryRead, plainRead},
        {"IPGetData reply 4000", 2, 100, 30, readBuffers, 4000, libraryRead, plainRead},
        {"IPSendData data 10", 3, pacedPauseMs(11), 30, writeBuffers, 10, libraryWrite, plainWrite},
        {"IPSendData data 100", 4, pacedPauseMs(101) + 1000, 5, writeBuffers, 100, libraryWrite, plainWrite},
        {"IPSendData data 2500", 5, pacedPauseMs(2501) + 1000, 3, writeBuffers, 2500, libraryWrite, plainWrite},
        {"IPsendBlack 1 entry", 7, pacedPauseMs(8), 30, listBuffers, 1, libraryList, plainList},
        {"IPsendBlack bitmap to 150", 7, pacedPauseMs(6 + 19 + 1), 5, listBuffers, 150, libraryList, plainList},
    };

    const std::string peerName = option(argc, argv, "peer", "own");
    std::unique_ptr<ScriptedPeer> own;
#ifdef MORLUNE_BENCH_WITH_SIM
    std::unique_ptr<morlune::sim::Emulator> emulator;
#endif
    if (peerName == "own") {
        own = devicePeerOnPort8000(deviceSlot, servePromptDevice, &deviceText);
    } else if (peerName == "sim") {
#ifdef MORLUNE_BENCH_WITH_SIM
        morlune::sim::Scenario scenario;
        for (const Case& c : cases) {
            if (c.buffers == readBuffers) scenario.on(c.device, 0x10).replyLength = static_cast<std::size_t>(c.size);
            if (c.buffers == writeBuffers) scenario.on(c.device, 0x20).dataLength = static_cast<std::size_t>(c.size);
        }
        emulator = std::make_unique<morlune::sim::Emulator>();
        emulator->keepRecords(false);
        emulator->setScenario(scenario);
        for (int block = 0; block < 64 && deviceText.empty(); ++block) {
            const std::string address = "127." + std::to_string(block) + ".0." + std::to_string(deviceSlot);
            try {
                emulator->listen(address, devicePort, morlune::sim::Face::device);
                deviceText = address;
            } catch (const std::system_error&) {
            }
        }
        emulator->start();
#else
        std::fprintf(stderr, "this build has no device emulator: --peer=sim is not available\n");
        return 2;
#endif
    }
    if (deviceText.empty()) {
        std::fprintf(stderr, "cannot listen on port %u of any 127.B.0.%d\n", devicePort, deviceSlot);
        return 1;
    }
    deviceAddress = deviceText.c_str();

    std::vector<Row> rows;
    for (const Case& c : cases) {
        if (quick && c.pauseMs > 2000) continue;
        rows.push_back(measure(c, quick ? 1 : c.repeats, warmUp));
    }

    std::printf("One-shot overhead on loopback (%s:%u, %s peer): time of the call minus its fixed pauses, ms\n",
                deviceAddress, devicePort, peerName == "sim" ? "emulator" : "own");
    std::printf("%-26s | %5s | %7s | %-19s | %-19s | %8s | %s\n", "call", "calls", "pauses", "library median / max",
                "plain median / max", "lib-plain", "failures");
    bool failed = false;
    for (const Row& r : rows) {
        std::printf("%-26s | %5d | %7.0f | %8.3f / %-8.3f | %8.3f / %-8.3f | %8.3f | %ld\n", r.c->name, r.repeats,
                    r.c->pauseMs, r.libMedian, r.libMax, r.plainMedian, r.plainMax, r.libMedian - r.plainMedian,
                    r.failures);
        failed |= r.failures != 0;
    }
    if (!json.empty()) {
        std::ofstream out(json);
        out << "{\"peer\": \"" << peerName << "\", \"oneshot\": [";
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Row& r = rows[i];
            out << (i ? ", " : "") << "{\"call\": \"" << r.c->name << "\", \"calls\": " << r.repeats
                << ", \"pauses_ms\": " << r.c->pauseMs << ", \"lib_overhead_median_ms\": " << r.libMedian
                << ", \"lib_overhead_max_ms\": " << r.libMax << ", \"plain_overhead_median_ms\": " << r.plainMedian
                << ", \"plain_overhead_max_ms\": " << r.plainMax << ", \"failures\": " << r.failures << "}";
        }
        out << "]}\n";
    }
    return failed ? 1 : 0;
}
