// morlune demo: an emulated device on a loopback address, and the five host
// jobs run against it through the library, with every frame shown.
#include <algorithm>
#include <functional>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>

#include "commands.h"
#include "hostio.h"
#include "morlune.h"
#include "morlune_sim/emulator.h"

namespace morlune::cli {

namespace {

namespace sim = morlune::sim;

constexpr std::uint8_t demoDevice = 1;
constexpr std::uint8_t readCode = 0x10;
constexpr std::uint8_t writeCode = 0x20;
constexpr std::int32_t readLength = 16;

// The device's frames, collected as the emulator reports them and shown per
// job once the job's connections are over, so they never interleave with
// the host's lines.
class FrameLog {
public:
    sim::FrameSink sink() {
        return [this](const sim::FrameEvent& event) {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
        };
    }
    std::vector<sim::FrameEvent> of(std::size_t firstConnection, std::size_t endConnection) {
        std::lock_guard lock(mutex_);
        std::vector<sim::FrameEvent> picked;
        for (const auto& event : events_)
            if (event.connection >= firstConnection && event.connection < endConnection) picked.push_back(event);
        return picked;
    }

private:
    std::mutex mutex_;
    std::vector<sim::FrameEvent> events_;
};

struct Job {
    std::string name;
    std::string call;           // how the host called the library
    std::vector<std::string> lines;  // what came back, beyond the result
    Operation operation = Operation::read;
    std::int32_t result = 0;
    std::string problem;        // empty when all went as expected
};

Bytes readReply() {
    Bytes reply;
    for (std::int32_t i = 0; i < readLength; ++i) reply.push_back(static_cast<std::uint8_t>(0x30 + i));
    return reply;
}

sim::Scenario demoScenario() {
    sim::Scenario scenario;
    sim::Reaction read;
    read.commandLength = 4;
    read.replyLength = readLength;
    read.reply = readReply();
    scenario.set(demoDevice, readCode, read);

    sim::Reaction write;
    write.commandLength = 4;
    write.dataLength = 4;
    scenario.set(demoDevice, writeCode, write);
    return scenario;
}

std::uint8_t sum(const Bytes& bytes) {
    std::uint8_t total = 0;
    for (std::uint8_t b : bytes) total = static_cast<std::uint8_t>(total + b);
    return total;
}

void expect(Job& job, bool holds, const std::string& what) {
    if (!holds && job.problem.empty()) job.problem = what;
}

Job readJob(const std::string& address) {
    Job job{"read", "IPGetData(4, \"01 10 00 00 __\", 16, reply, \"" + address + "\")", {}, Operation::read, 0, {}};
    std::uint8_t cmd[5] = {demoDevice, readCode, 0x00, 0x00, 0x00};
    std::uint8_t reply[readLength + 1] = {};
    job.result = IPGetData(4, cmd, readLength, reply, address.c_str());
    job.lines.push_back("reply: " + formatHex(reply, readLength) + "  checksum " + formatHex(reply + readLength, 1));
    expect(job, job.result == 0, "result " + std::to_string(job.result) + ", expected 0");
    expect(job, Bytes(reply, reply + readLength) == readReply(), "the reply differs from the device's");
    return job;
}

Job writeJob(const std::string& address, sim::Emulator& emulator) {
    Job job{"write", "IPSendData(4, \"01 20 00 00 __\", 4, \"DE AD BE EF __\", \"" + address + "\")", {},
            Operation::write, 0, {}};
    std::uint8_t cmd[5] = {demoDevice, writeCode, 0x00, 0x00, 0x00};
    std::uint8_t data[5] = {0xDE, 0xAD, 0xBE, 0xEF, 0x00};
    job.result = IPSendData(4, cmd, 4, data, address.c_str());
    expect(job, job.result == 0, "result " + std::to_string(job.result) + ", expected 0");
    const auto writes = emulator.writes();
    expect(job, !writes.empty() && writes.back().sound &&
                    writes.back().data == Bytes{0xDE, 0xAD, 0xBE, 0xEF, data[4]},
           "the device did not take the data block whole");
    if (!writes.empty()) job.lines.push_back("the device took: " + formatHex(writes.back().data));
    return job;
}

Job blackListJob(const std::string& address, sim::Emulator& emulator) {
    std::vector<std::int32_t> numbers;
    for (std::int32_t n = 100; n <= 200; ++n) numbers.push_back(n);
    numbers.insert(numbers.end(), {250, 1024, 4000});
    const Bytes entries = encodeEntries(numbers);
    Job job{"black list",
            "IPsendBlack(1, " + std::to_string(numbers.size()) + " entries: 100-200 250 1024 4000, \"" + address +
                "\")",
            {},
            Operation::blackList, 0, {}};
    job.result = IPsendBlack(demoDevice, static_cast<std::int32_t>(numbers.size()), entries.data(), address.c_str());
    expect(job, job.result == 0, "result " + std::to_string(job.result) + ", expected 0");
    const auto lists = emulator.blackLists();
    std::vector<std::uint32_t> sent(numbers.begin(), numbers.end());
    expect(job, !lists.empty() && lists.back().list.sound && lists.back().list.numbers == sent,
           "the device did not decode the same numbers");
    if (!lists.empty())
        job.lines.push_back("the device decoded " + std::to_string(lists.back().list.numbers.size()) +
                            " numbers from a bitmap of " + std::to_string(lists.back().list.dataLength) + " bytes");
    return job;
}

Job heldJob(const std::string& address, std::uint16_t port) {
    Job job{"held exchange",
            "ipConnectDevice(\"" + address + "\", " + std::to_string(port) +
                "); IPComm(5, \"01 10 00 00 11\", 17, ...); IPComm(2, \"02 4F\", 0, ...); ipCloseDevice",
            {},
            Operation::comm, 0, {}};
    const std::int32_t sock = ipConnectDevice(address.c_str(), port);
    if (sock == -1) {
        job.result = -1;
        job.problem = "ipConnectDevice returned -1";
        return job;
    }
    // The host builds the frame itself: held exchanges add no checksum.
    const std::uint8_t frame[5] = {demoDevice, readCode, 0x00, 0x00,
                                   static_cast<std::uint8_t>(demoDevice + readCode)};
    std::uint8_t reply[readLength + 1] = {};
    job.result = IPComm(5, frame, readLength + 1, reply, 0, sock);
    const Bytes body(reply, reply + readLength);
    if (job.result == 0) {
        job.lines.push_back("reply: " + formatHex(reply, readLength) + "  checksum " + formatHex(reply + readLength, 1) +
                            (sum(body) == reply[readLength] ? " (the host checked it: correct)" : " (wrong)"));
        const std::uint8_t ack[2] = {0x02, 0x4F};
        const std::int32_t acked = IPComm(2, ack, 0, nullptr, 0, sock);
        expect(job, acked == 0, "the acknowledgement was not sent whole");
    }
    ipCloseDevice(sock);
    expect(job, job.result == 0, "result " + std::to_string(job.result) + ", expected 0");
    expect(job, body == readReply() && sum(body) == reply[readLength], "the reply differs from the device's");
    return job;
}

Job presenceJob(const std::string& address, std::uint16_t port) {
    constexpr std::int32_t device = 5;
    Job job{"presence query",
            "ipConnectDevice(\"" + address + "\", " + std::to_string(port) + "); iPonNet(5, out, sock); ipCloseDevice",
            {},
            Operation::presence, 0, {}};
    const std::int32_t sock = ipConnectDevice(address.c_str(), port);
    if (sock == -1) {
        job.result = -1;
        job.problem = "ipConnectDevice returned -1";
        return job;
    }
    std::uint8_t out[7] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    job.result = iPonNet(device, out, sock);
    ipCloseDevice(sock);
    job.lines.push_back("out: " + formatHex(out, 7));
    const Bytes first = sim::presenceFirstReply(device);
    const Bytes second = sim::presenceSecondReply(device);
    const Bytes expected{second[1], second[2], second[3], first[2], first[3], first[4], first[5]};
    expect(job, job.result == 0, "result " + std::to_string(job.result) + ", expected 0");
    expect(job, Bytes(out, out + 7) == expected, "out differs from the device's answers");
    return job;
}

}  // namespace

int runDemo(const DemoArgs& args, const Output& output) {
    FrameLog log;
    sim::Emulator emulator(log.sink());
    std::uint16_t heldPort = 0;
    try {
        emulator.listen(args.address, 8000, sim::Face::device);
        heldPort = emulator.listen(args.address, 0, sim::Face::device);
    } catch (const std::system_error& error) {
        std::cerr << "morlune demo: cannot listen on " << args.address << ": " << error.what()
                  << " (choose another loopback address with --address)\n";
        return 1;
    }
    emulator.setScenario(demoScenario());
    emulator.start();

    if (!output.json)
        std::cout << "An emulated device listens on " << args.address << ": port 8000 for the one-shot calls, port "
                  << heldPort << " for held connections.\n";

    const std::vector<std::function<Job()>> runs = {
        [&] { return readJob(args.address); },
        [&] { return writeJob(args.address, emulator); },
        [&] { return blackListJob(args.address, emulator); },
        [&] { return heldJob(args.address, heldPort); },
        [&] { return presenceJob(args.address, heldPort); },
    };

    nlohmann::ordered_json jobs = nlohmann::ordered_json::array();
    int good = 0;
    int number = 0;
    for (const auto& run : runs) {
        const std::size_t before = emulator.connectionCount();
        Job job = run();
        const std::size_t after = emulator.connectionCount();
        for (std::size_t i = before; i < after; ++i) emulator.transcript(i);  // until the device saw it all
        const auto frames = log.of(before, after);
        const bool ok = job.problem.empty();
        good += ok ? 1 : 0;
        ++number;

        if (output.json) {
            nlohmann::ordered_json entry;
            entry["job"] = job.name;
            entry["call"] = job.call;
            entry["result"] = job.result;
            entry["message"] = resultMessage(job.operation, job.result);
            entry["ok"] = ok;
            if (!ok) entry["problem"] = job.problem;
            entry["details"] = job.lines;
            auto& list = entry["frames"] = nlohmann::ordered_json::array();
            for (const auto& frame : frames) list.push_back(sim::formatEvent(frame));
            jobs.push_back(entry);
            continue;
        }
        std::cout << '\n' << number << ". " << job.name << ": " << job.call << '\n';
        for (const auto& frame : frames) std::cout << "   " << sim::formatEvent(frame) << '\n';
        for (const auto& line : job.lines) std::cout << "   " << line << '\n';
        std::cout << "   result " << job.result << ": " << resultMessage(job.operation, job.result) << '\n';
        std::cout << "   " << (ok ? "as expected" : "NOT as expected: " + job.problem) << '\n';
    }
    emulator.stop();

    const bool allGood = good == static_cast<int>(runs.size());
    if (output.json) {
        nlohmann::ordered_json doc;
        doc["command"] = "demo";
        doc["address"] = args.address;
        doc["held_port"] = heldPort;
        doc["jobs"] = jobs;
        doc["ok"] = allGood;
        std::cout << doc.dump(2) << '\n';
    } else {
        std::cout << '\n' << good << " of " << runs.size() << " jobs went as expected.\n";
    }
    return allGood ? 0 : 1;
}

}  // namespace morlune::cli
