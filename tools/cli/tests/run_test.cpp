// The client run as a host would run it, against an emulated device on a
// loopback address of each test's own: exit statuses, --json output, and what
// the device received.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "morlune_sim/emulator.h"

namespace sim = morlune::sim;
using nlohmann::json;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    json doc;  // the --json object, when the output was one
};

Outcome morlune(const std::vector<std::string>& words) {
    std::string line = MORLUNE_CLI;
    for (const auto& word : words) line += " '" + word + "'";
    line += " 2>/dev/null";
    Outcome run;
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) run.out.append(chunk, n);
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.doc = json::parse(run.out, nullptr, false);
    return run;
}

sim::Bytes counting(std::size_t length) {
    sim::Bytes bytes;
    for (std::size_t i = 0; i < length; ++i) bytes.push_back(static_cast<std::uint8_t>(0x30 + i));
    return bytes;
}

// A device answering reads of code 10 (16 bytes), 11 (bad checksum) and
// 12 (closes instead), and writes of code 20 (4 data bytes).
class Device : public ::testing::Test {
protected:
    void open(const std::string& address) {
        address_ = address;
        sim::Scenario scenario;
        sim::Reaction read;
        read.replyLength = 16;
        read.reply = counting(16);
        scenario.set(sim::Scenario::anyDevice, 0x10, read);
        read.fault = sim::Fault::badChecksum;
        scenario.set(sim::Scenario::anyDevice, 0x11, read);
        read.fault = sim::Fault::close;
        scenario.set(sim::Scenario::anyDevice, 0x12, read);
        sim::Reaction write;
        write.dataLength = 4;
        scenario.set(sim::Scenario::anyDevice, 0x20, write);
        emulator_.setScenario(scenario);
        emulator_.listen(address, 8000, sim::Face::device);
        heldPort_ = std::to_string(emulator_.listen(address, 0, sim::Face::device));
        emulator_.start();
    }

    sim::Emulator emulator_;
    std::string address_;
    std::string heldPort_;
};

TEST_F(Device, ReadResultsBecomeExitStatusesAndJson) {
    open("127.0.0.90");
    const struct {
        std::string cmd;
        int status;
        bool replyShown;
    } cases[] = {
        {"01 10 00 00", 0, true},   // reply, checksum correct, acknowledged
        {"01 11 00 00", 4, true},   // whole reply, wrong checksum: shown as it came
        {"01 12 00 00", 2, false},  // the device closes without a byte
    };
    for (const auto& c : cases) {
        const Outcome run = morlune({"--json", "read", address_, "--cmd", c.cmd, "--reply-len", "16"});
        ASSERT_TRUE(run.doc.is_object()) << run.out;
        EXPECT_EQ(run.status, c.status) << c.cmd;
        EXPECT_EQ(run.doc["result"], c.status) << c.cmd;
        EXPECT_EQ(run.doc["exit"], c.status) << c.cmd;
        EXPECT_EQ(run.doc.contains("reply"), c.replyShown) << c.cmd;
    }
    const Outcome good = morlune({"--json", "read", address_, "--cmd", "01 10 00 00", "--reply-len", "16"});
    EXPECT_EQ(good.doc["frame"], "01 10 00 00 11");
    EXPECT_EQ(good.doc["reply"], "30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F");
    EXPECT_EQ(good.doc["checksum"], "78");

    const Outcome text = morlune({"read", address_, "--cmd", "01 10 00 00", "--reply-len", "16"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("result 0: done"), std::string::npos) << text.out;
}

TEST_F(Device, NoDeviceAtTheAddress) {
    open("127.0.0.91");
    // Nothing listens on 127.0.0.92: refused at once, two attempts, result 1.
    const Outcome read = morlune({"--json", "read", "127.0.0.92", "--cmd", "01 10 00 00", "--reply-len", "4"});
    EXPECT_EQ(read.status, 1);
    EXPECT_EQ(read.doc["result"], 1);
    // A held connection that does not open is the client's own status 69.
    const Outcome presence = morlune({"--json", "presence", "127.0.0.92", "9", "--device", "5"});
    EXPECT_EQ(presence.status, 69);
    EXPECT_TRUE(presence.doc["result"].is_null());
    EXPECT_EQ(morlune({"raw", "127.0.0.92", "9", "--send", "00"}).status, 69);
}

TEST_F(Device, WriteDeliversTheDataBlock) {
    open("127.0.0.93");
    const Outcome run = morlune({"--json", "write", address_, "--cmd", "01 20 00 00", "--data", "DEADBEEF"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.doc["frame"], "01 20 00 00 21");
    EXPECT_EQ(run.doc["data_checksum"], "38");
    const auto writes = emulator_.writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_TRUE(writes[0].sound);
    EXPECT_EQ(writes[0].data, (sim::Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x38}));
}

TEST_F(Device, BlackListArrivesSortedAndWhole) {
    open("127.0.0.94");
    const std::string file = ::testing::TempDir() + "/cli_numbers.txt";
    std::ofstream(file) << "# more numbers\n101 5000\n2-3\n";

    const Outcome run = morlune({"--json", "blacklist", address_, "--device", "7", "300", "100-102", "--file", file});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.doc["numbers"], 7);
    EXPECT_EQ(run.doc["form"], "bitmap");
    auto lists = emulator_.blackLists();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].device, 7);
    EXPECT_TRUE(lists[0].list.sound);
    EXPECT_EQ(lists[0].list.numbers, (std::vector<std::uint32_t>{2, 3, 100, 101, 102, 300, 5000}));

    const Outcome single = morlune({"--json", "blacklist", address_, "--device", "7", "131071"});
    EXPECT_EQ(single.status, 0) << single.out;
    EXPECT_EQ(single.doc["form"], "single entry");

    // An empty list reaches the library, which answers 6.
    EXPECT_EQ(morlune({"blacklist", address_, "--device", "7"}).status, 6);

    // Lists the device could not take whole never leave the client.
    const std::size_t before = emulator_.connectionCount();
    for (const char* bad : {"0", "130001", "131072", "5-2"})
        EXPECT_EQ(morlune({"blacklist", address_, "--device", "7", "1", bad}).status, 64) << bad;
    EXPECT_EQ(emulator_.connectionCount(), before);
    lists = emulator_.blackLists();
    EXPECT_EQ(lists.size(), 2u);
}

TEST_F(Device, HeldConnectionJobs) {
    open("127.0.0.95");
    const Outcome presence = morlune({"--json", "presence", address_, heldPort_, "--device", "5"});
    EXPECT_EQ(presence.status, 0) << presence.out;
    EXPECT_EQ(presence.doc["echoed"], true);
    const sim::Bytes first = sim::presenceFirstReply(5);
    const sim::Bytes second = sim::presenceSecondReply(5);
    EXPECT_EQ(presence.doc["answer"],
              sim::hex(sim::Bytes{second[1], second[2], second[3], first[2], first[3], first[4], first[5]}));

    // -1 goes out as device FF, but the echo is compared with -1 % 256 = -1,
    // so out is never written: the result is still 0, and the client says so.
    const Outcome mismatch = morlune({"--json", "presence", address_, heldPort_, "--device=-1"});
    EXPECT_EQ(mismatch.status, 0) << mismatch.out;
    EXPECT_EQ(mismatch.doc["echoed"], false);
    EXPECT_FALSE(mismatch.doc.contains("answer"));

    const std::size_t before = emulator_.connectionCount();
    const Outcome get = morlune({"--json", "raw", address_, heldPort_, "--op", "get", "--send", "01 10 00 00 11",
                             "--recv-len", "17"});
    EXPECT_EQ(get.status, 0) << get.out;
    EXPECT_EQ(get.doc["reply"], "30 31 32 33 34 35 36 37 38 39 3A 3B 3C 3D 3E 3F 78");
    EXPECT_EQ(emulator_.transcript(before).received,
              (sim::Bytes{0x01, 0x10, 0x00, 0x00, 0x11, 0x00, 0x00}));

    // send: a whole write frame in one piece, answered with 02 4F.
    const Outcome send = morlune({"--json", "raw", address_, heldPort_, "--op", "send", "--send",
                                  "01 20 00 00 21 DE AD BE EF 38", "--data-len", "4"});
    EXPECT_EQ(send.status, 0) << send.out;
    EXPECT_EQ(send.doc["data_length"], 4);

    // A reply shorter than asked for: -2 after the 2 s wait, exit status 254.
    const Outcome short_ = morlune({"--json", "raw", address_, heldPort_, "--send", "01 10 00 00 11", "--recv-len", "20"});
    EXPECT_EQ(short_.status, 254);
    EXPECT_EQ(short_.doc["result"], -2);
}

TEST(Usage, MistakesAreStatus64AndHelpShowsTheMapping) {
    EXPECT_EQ(morlune({"read", "127.0.0.96", "--cmd", "01 2x", "--reply-len", "4"}).status, 64);
    EXPECT_EQ(morlune({"read", "127.0.0.96", "--cmd", "01 20"}).status, 64);
    EXPECT_EQ(morlune({"raw", "127.0.0.96", "9", "--op", "poke", "--send", "00"}).status, 64);
    EXPECT_EQ(morlune({}).status, 64);
    EXPECT_EQ(morlune({"write", "127.0.0.96", "--cmd", "01", "--data-file", "/nonexistent/file"}).status, 66);
    const Outcome help = morlune({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);
    EXPECT_NE(help.out.find("morlune demo"), std::string::npos);
}

}  // namespace
