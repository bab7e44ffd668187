// One host holding N connections at once, one host thread per connection
// running IPComm in a loop: a 5-byte read command out, the 8-byte reply and
// its checksum back, against a loopback peer that serves all N on one thread.
// For each N: throughput, latency, failures, and the processor time of the
// whole process while every device is silent and every thread sits in its
// 2 s wait. The same loop written with plain POSIX calls runs as the physical
// limit, against the same peer.
//
//   morlune_bench_scale [--n=1,10,100,1000,4000] [--millis=3000] [--repeat=1] [--plain=1]
//                       [--peer=sim|own] [--json=FILE]
// --peer=sim (the default where the tools are built): the project's device
// emulator, one for the whole program, answers with its device model; for the
// silent part the hosts switch to a command code whose reaction is silence.
// --peer=own: the benchmark's own epoll peer, silenced by a switch.
// With --repeat=R each side runs R times per N: throughput over all its runs,
// p50 and p99 the median of the runs' own, silent processor time the largest.
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "morlune.h"
#include "peer.h"
#include "report.h"

#ifdef MORLUNE_BENCH_WITH_SIM
#include "morlune_sim/emulator.h"
#endif

using namespace morlune::bench;

namespace {

constexpr int commandLength = 5;
constexpr int replyLength = 9;  // 8 reply bytes and their checksum
constexpr std::size_t threadStack = 128 * 1024;

// Device 1; the load reads code 30, the silent call code 31, which the
// emulator's scenario leaves unanswered. Neither is 02 4F, so the device
// model takes each as the next command straight after a reply.
constexpr std::uint8_t loadCommand[commandLength] = {0x01, 0x30, 0x00, 0x00, 0x31};
constexpr std::uint8_t silentCommand[commandLength] = {0x01, 0x31, 0x00, 0x00, 0x32};

// Where the connections go, and the reply every load exchange must bring.
class Peer {
public:
    virtual ~Peer() = default;
    virtual bool ok() const = 0;
    virtual std::uint16_t port() const = 0;
    // Every device stops answering (the emulator needs nothing: the silent
    // command does it).
    virtual void silence() {}
    std::uint8_t expected[replyLength] = {};
};

class OwnPeer final : public Peer {
public:
    OwnPeer() : peer_("127.0.0.1", commandLength, replyLength) {
        for (int i = 0; i < replyLength; ++i) expected[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    bool ok() const override { return peer_.ok(); }
    std::uint16_t port() const override { return peer_.port(); }
    void silence() override { peer_.setSilent(true); }

private:
    FixedReplyPeer peer_;
};

#ifdef MORLUNE_BENCH_WITH_SIM
class SimPeer final : public Peer {
public:
    SimPeer() : emulator_() {  // no frame sink: nothing is logged
        namespace sim = morlune::sim;
        sim::Scenario scenario;
        scenario.on(loadCommand[0], loadCommand[1]).replyLength = replyLength - 1;
        sim::Reaction& quiet = scenario.on(silentCommand[0], silentCommand[1]);
        quiet.replyLength = replyLength - 1;
        quiet.fault = sim::Fault::silence;
        emulator_.keepRecords(false);  // millions of exchanges: keep no transcripts
        emulator_.setScenario(scenario);
        const sim::Bytes reply =
            sim::withSum(sim::paddedReply({}, replyLength - 1, loadCommand[0], loadCommand[1]));
        std::memcpy(expected, reply.data(), replyLength);
        try {
            port_ = emulator_.listen("127.0.0.1", 0, sim::Face::device);
        } catch (const std::system_error&) {
            return;
        }
        emulator_.start();
    }
    bool ok() const override { return port_ != 0; }
    std::uint16_t port() const override { return port_; }

private:
    morlune::sim::Emulator emulator_;
    std::uint16_t port_ = 0;
};
#endif

struct Row {
    const char* client;
    long n;
    long connected = 0;
    double seconds = 0;
    std::uint64_t exchanges = 0;
    std::uint64_t failures = 0;
    double p50 = 0, p99 = 0;
    double loadCpuUsPerExchange = 0;
    double silentCpuMsPerS = 0;  // processor ms per wall second, whole process
    long silentWaiting = 0;      // threads seen inside their wait over the window
    std::uint64_t silentWrong = 0;  // silent-phase calls that did not end in -2 / false
};

struct Worker {
    int sock = -1;
    bool library = true;
    const std::uint8_t* expected = nullptr;  // the reply every load exchange must bring
    std::vector<double> samples;
    std::size_t sampleCap = 0;
    std::uint64_t exchanges = 0;
    std::uint64_t failures = 0;
    std::uint64_t silentWrong = 0;
};

struct Shared {
    std::atomic<int> phase{0};  // 0 wait, 1 load, 2 stop loading, 3 silent call
    std::atomic<long> inSilentCall{0};
    std::atomic<long> leftSilentCall{0};
};

struct ThreadArgs {
    Worker* worker;
    Shared* shared;
};

bool exchange(const Worker& w, const std::uint8_t* command, std::uint8_t* reply) {
    if (w.library) return IPComm(commandLength, command, replyLength, reply, 0, w.sock) == 0;
    return plainExchange(w.sock, command, commandLength, reply, replyLength);
}

void* workerMain(void* raw) {
    auto* args = static_cast<ThreadArgs*>(raw);
    Worker& w = *args->worker;
    Shared& s = *args->shared;
    std::uint8_t reply[replyLength];
    s.phase.wait(0);
    while (s.phase.load(std::memory_order_relaxed) == 1) {
        const auto start = Clock::now();
        const bool ok = exchange(w, loadCommand, reply) && std::memcmp(reply, w.expected, replyLength) == 0;
        const double micros = microsSince(start);
        ++w.exchanges;
        w.failures += !ok;
        if (w.samples.size() < w.sampleCap) w.samples.push_back(micros);
    }
    for (int p = s.phase.load(); p != 3; p = s.phase.load()) s.phase.wait(p);
    s.inSilentCall.fetch_add(1);
    w.silentWrong += exchange(w, silentCommand, reply);  // the device is silent: this must come back empty
    s.leftSilentCall.fetch_add(1);
    return nullptr;
}

double cpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

Row run(long n, bool library, double seconds, Peer* sharedPeer) {
    Row row{library ? "IPComm" : "plain", n};
    // The own peer is fresh for every run; the emulator serves them all.
    std::unique_ptr<Peer> own;
    if (sharedPeer == nullptr) own = std::make_unique<OwnPeer>();
    Peer& peer = sharedPeer != nullptr ? *sharedPeer : *own;
    if (!peer.ok()) {
        row.failures = static_cast<std::uint64_t>(n);
        return row;
    }
    std::vector<Worker> workers(static_cast<std::size_t>(n));
    for (Worker& w : workers) {
        w.library = library;
        w.expected = peer.expected;
        w.sock = library ? ipConnectDevice("127.0.0.1", peer.port()) : connectPlain("127.0.0.1", peer.port());
        if (w.sock >= 0) ++row.connected;
        w.sampleCap = static_cast<std::size_t>(std::max<long>(2000, 2000000 / n));
        w.samples.reserve(w.sampleCap);
    }
    Shared shared;
    std::vector<ThreadArgs> args(workers.size());
    std::vector<pthread_t> threads;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, threadStack);
    for (std::size_t i = 0; i < workers.size(); ++i) {
        if (workers[i].sock < 0) continue;
        args[i] = {&workers[i], &shared};
        pthread_t t;
        if (pthread_create(&t, &attr, workerMain, &args[i]) == 0) threads.push_back(t);
    }
    pthread_attr_destroy(&attr);
    const long running = static_cast<long>(threads.size());

    // Load.
    const double cpuBefore = cpuMs();
    const auto start = Clock::now();
    shared.phase.store(1);
    shared.phase.notify_all();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    shared.phase.store(2);
    // Every thread finishes its exchange in flight before it stops (each is
    // bounded by the 2 s wait).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    row.seconds = microsSince(start) / 1e6;
    const double loadCpu = cpuMs() - cpuBefore;

    // Silence: every thread makes one call that the device leaves unanswered.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    peer.silence();
    shared.phase.store(3);
    shared.phase.notify_all();
    const auto entering = Clock::now();
    while (shared.inSilentCall.load() < running && microsSince(entering) < 1.5e6)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Let the last threads get from their send into the wait, then measure
    // well inside the 2 s that every wait lasts.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double silentBefore = cpuMs();
    const auto silentStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const double silentCpu = cpuMs() - silentBefore;
    const double silentWall = microsSince(silentStart) / 1e6;
    row.silentWaiting = shared.inSilentCall.load() - shared.leftSilentCall.load();
    row.silentCpuMsPerS = silentCpu / silentWall;

    for (const pthread_t t : threads) pthread_join(t, nullptr);
    std::vector<double> all;
    for (Worker& w : workers) {
        row.exchanges += w.exchanges;
        row.failures += w.failures;
        row.silentWrong += w.silentWrong;
        all.insert(all.end(), w.samples.begin(), w.samples.end());
        if (w.sock >= 0) library ? static_cast<void>(ipCloseDevice(w.sock)) : static_cast<void>(::close(w.sock));
    }
    // A connection that could not be opened, or got no thread, is a failure too.
    row.failures += static_cast<std::uint64_t>(n - running);
    row.p50 = percentile(all, 50);
    row.p99 = percentile(all, 99);
    row.loadCpuUsPerExchange = row.exchanges ? loadCpu * 1e3 / static_cast<double>(row.exchanges) : 0;
    return row;
}

void raiseDescriptorLimit(long n) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t wanted = static_cast<rlim_t>(2 * n + 256);
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<long> counts = optionList(argc, argv, "n", "1,10,100,1000,4000");
    const double seconds = static_cast<double>(optionNumber(argc, argv, "millis", 3000)) / 1000.0;
    const bool plainToo = optionNumber(argc, argv, "plain", 1) != 0;
    const long repeats = std::max(1L, optionNumber(argc, argv, "repeat", 1));
    const std::string json = option(argc, argv, "json", "");
#ifdef MORLUNE_BENCH_WITH_SIM
    const std::string peerName = option(argc, argv, "peer", "sim");
#else
    const std::string peerName = option(argc, argv, "peer", "own");
#endif

    long largest = 0;
    for (const long n : counts) largest = std::max(largest, n);
    raiseDescriptorLimit(largest);

    std::unique_ptr<Peer> emulator;
    if (peerName == "sim") {
#ifdef MORLUNE_BENCH_WITH_SIM
        emulator = std::make_unique<SimPeer>();
        if (!emulator->ok()) {
            std::fprintf(stderr, "the emulator cannot listen on 127.0.0.1\n");
            return 1;
        }
#else
        std::fprintf(stderr, "this build has no device emulator: --peer=sim is not available\n");
        return 2;
#endif
    } else if (peerName != "own") {
        std::fprintf(stderr, "--peer is sim or own\n");
        return 2;
    }

    std::vector<Row> rows;
    std::printf("Held connections on loopback (%s peer): N threads, each IPComm 5 -> 8 + 1 bytes in a loop for %.1f s, "
                "%ld run(s)\n", peerName == "sim" ? "emulator" : "own", seconds, repeats);
    std::printf("%-7s %6s | %10s | %9s | %9s | %8s | %8s | %15s | %s\n", "client", "N", "exchanges/s",
                "p50 us", "p99 us", "failures", "cpu us/x", "silent cpu ms/s", "waiting / wrong");
    for (const long n : counts) {
        // Library and plain runs alternate (L P, then P L, ...), so that
        // neither always runs first; the figures of a side combine its runs.
        Row sides[2];
        std::vector<double> p50[2], p99[2];
        for (long rep = 0; rep < repeats; ++rep) {
            for (int k = 0; k < (plainToo ? 2 : 1); ++k) {
                const int side = plainToo && rep % 2 == 1 ? 1 - k : k;
                const Row r = run(n, side == 0, seconds, emulator.get());
                Row& total = sides[side];
                if (rep == 0) {  // names and counts from the first run, sums from zero
                    total = Row{r.client, r.n};
                    total.connected = r.connected;
                    total.silentWaiting = r.silentWaiting;
                }
                total.exchanges += r.exchanges;
                total.failures += r.failures;
                total.silentWrong += r.silentWrong;
                total.seconds += r.seconds;
                total.connected = std::min(total.connected, r.connected);
                total.silentWaiting = std::min(total.silentWaiting, r.silentWaiting);
                total.silentCpuMsPerS = std::max(total.silentCpuMsPerS, r.silentCpuMsPerS);
                total.loadCpuUsPerExchange += r.loadCpuUsPerExchange / static_cast<double>(repeats);
                p50[side].push_back(r.p50);
                p99[side].push_back(r.p99);
            }
        }
        for (int side = 0; side < (plainToo ? 2 : 1); ++side) {
            Row& r = sides[side];
            r.p50 = percentile(p50[side], 50);
            r.p99 = percentile(p99[side], 50);
            std::printf("%-7s %6ld | %10.0f | %9.1f | %9.1f | %8llu | %8.2f | %15.3f | %ld / %llu\n", r.client, r.n,
                        static_cast<double>(r.exchanges) / r.seconds, r.p50, r.p99,
                        static_cast<unsigned long long>(r.failures), r.loadCpuUsPerExchange, r.silentCpuMsPerS,
                        r.silentWaiting, static_cast<unsigned long long>(r.silentWrong));
            std::fflush(stdout);
            rows.push_back(r);
        }
    }
    bool failed = false;
    std::ofstream out;
    if (!json.empty()) out.open(json), out << "{\"peer\": \"" << peerName << "\", \"scale\": [";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        failed |= r.failures != 0 || r.silentWrong != 0;
        if (out.is_open())
            out << (i ? ", " : "") << "{\"client\": \"" << r.client << "\", \"n\": " << r.n
                << ", \"connected\": " << r.connected << ", \"seconds\": " << r.seconds
                << ", \"exchanges\": " << r.exchanges << ", \"throughput\": " << static_cast<double>(r.exchanges) / r.seconds
                << ", \"p50_us\": " << r.p50 << ", \"p99_us\": " << r.p99 << ", \"failures\": " << r.failures
                << ", \"cpu_us_per_exchange\": " << r.loadCpuUsPerExchange
                << ", \"silent_cpu_ms_per_s\": " << r.silentCpuMsPerS << ", \"silent_waiting\": " << r.silentWaiting
                << ", \"silent_wrong\": " << r.silentWrong << "}";
    }
    if (out.is_open()) out << "]}\n";
    return failed ? 1 : 0;
}
