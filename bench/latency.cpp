// Round-trip latency of IPComm on loopback against the physical limit: the
// identical exchange (one send of 5 bytes, then poll and recv until the reply
// is in) written with plain POSIX calls, to the same peer in the same run.
// The two alternate in blocks so that drift of the machine hits both alike.
//
//   morlune_bench_latency [--rounds=40] [--per-round=250] [--json=FILE]
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "morlune.h"
#include "peer.h"
#include "report.h"

using namespace morlune::bench;

namespace {

struct Row {
    int replyLength;
    double libMedian, libP99, plainMedian, plainP99;
    long failures;
};

Row measure(int replyLength, long rounds, long perRound) {
    Row row{replyLength, 0, 0, 0, 0, 0};
    FixedReplyPeer peer("127.0.0.1", 5, replyLength);
    if (!peer.ok()) {
        row.failures = -1;
        return row;
    }
    const std::int32_t held = ipConnectDevice("127.0.0.1", peer.port());
    const int plain = connectPlain("127.0.0.1", peer.port());
    if (held < 0 || plain < 0) {
        row.failures = -1;
        return row;
    }
    const std::uint8_t command[5] = {0x01, 0x30, 0x00, 0x00, 0x31};
    std::vector<std::uint8_t> reply(static_cast<std::size_t>(replyLength));
    std::vector<double> lib, raw;
    lib.reserve(static_cast<std::size_t>(rounds * perRound));
    raw.reserve(static_cast<std::size_t>(rounds * perRound));

    auto libCall = [&] {
        return IPComm(5, command, replyLength, reply.data(), 0, held) == 0;
    };
    auto plainCall = [&] { return plainExchange(plain, command, 5, reply.data(), replyLength); };

    for (int i = 0; i < 200; ++i) {  // warm up caches, branch predictors, the peer
        row.failures += !libCall();
        row.failures += !plainCall();
    }
    for (long r = 0; r < rounds; ++r) {
        // Alternate which side goes first, so neither always follows the other.
        for (int side = 0; side < 2; ++side) {
            const bool library = (side == 0) == (r % 2 == 0);
            for (long i = 0; i < perRound; ++i) {
                const auto start = Clock::now();
                const bool ok = library ? libCall() : plainCall();
                const double micros = microsSince(start);
                row.failures += !ok;
                (library ? lib : raw).push_back(micros);
            }
        }
    }
    ipCloseDevice(held);
    ::close(plain);
    row.libMedian = percentile(lib, 50);
    row.libP99 = percentile(lib, 99);
    row.plainMedian = percentile(raw, 50);
    row.plainP99 = percentile(raw, 99);
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = optionNumber(argc, argv, "rounds", 40);
    const long perRound = optionNumber(argc, argv, "per-round", 250);
    const std::string json = option(argc, argv, "json", "");

    std::vector<Row> rows;
    for (const int replyLength : {8, 256, 4096}) rows.push_back(measure(replyLength, rounds, perRound));

    std::printf("IPComm round trip on loopback, 5-byte command, %ld calls per side and size\n",
                rounds * perRound);
    std::printf("%-8s | %-24s | %-24s | %-15s | %s\n", "reply", "IPComm median / p99 (us)",
                "plain median / p99 (us)", "ratio med / p99", "failures");
    bool failed = false;
    for (const Row& row : rows) {
        std::printf("%-8d | %10.2f / %-11.2f | %10.2f / %-11.2f | %6.3f / %-6.3f | %ld\n",
                    row.replyLength, row.libMedian, row.libP99, row.plainMedian, row.plainP99,
                    row.libMedian / row.plainMedian, row.libP99 / row.plainP99, row.failures);
        failed |= row.failures != 0;
    }
    if (!json.empty()) {
        std::ofstream out(json);
        out << "{\"latency\": [";
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Row& r = rows[i];
            out << (i ? ", " : "") << "{\"reply\": " << r.replyLength << ", \"lib_median_us\": " << r.libMedian
                << ", \"lib_p99_us\": " << r.libP99 << ", \"plain_median_us\": " << r.plainMedian
                << ", \"plain_p99_us\": " << r.plainP99 << ", \"ratio_median\": " << r.libMedian / r.plainMedian
                << ", \"ratio_p99\": " << r.libP99 / r.plainP99 << ", \"failures\": " << r.failures << "}";
        }
        out << "]}\n";
    }
    return failed ? 1 : 0;
}
