// Scenario files as morlune-sim reads them, checked through the library.
#include "morlune_sim/scenario_json.h"

#include <stdexcept>

#include "support.h"

namespace loopback {
namespace {

using morlune::sim::hex;
using morlune::sim::parseScenarioFile;

TEST(ScenarioFile, DrivesTheDeviceModelAndTheScripts) {
    const auto file = parseScenarioFile(R"({
        "listen": ["127.0.0.1:0"],
        "devices": [
            {"device": 4, "code": "A1", "replyLength": 3, "reply": "0A 0B 0C", "pieces": [1], "gapMs": 10},
            {"device": "any", "code": 32, "dataLength": 2, "ack": "4F 02"}
        ],
        "scripts": [[{"expect": 2}, {"send": "C0 C1 C2", "pieces": [1, 1], "gapMs": 5}, {"close": true}]]
    })");
    ASSERT_EQ(file.listen.size(), 1u);
    ASSERT_EQ(file.scripts.size(), 1u);

    Emulator emulator{frameLog()};
    emulator.setScenario(file.scenario);
    emulator.addScript(file.scripts[0]);
    const std::string address = listenDevice(emulator, 60, Face::device);
    const std::uint16_t scriptPort = emulator.listen("127.0.0.1", 0, Face::scripted);
    emulator.start();

    Bytes read = morlune::sim::parseHex("04 A1 00 00 00");
    Guarded reply(4, 0x00);
    EXPECT_EQ(IPGetData(4, read.data(), 3, reply.data(), address.c_str()), 0);
    EXPECT_EQ(hex(reply.used()), "0A 0B 0C 21");

    Bytes write = morlune::sim::parseHex("09 20 00 00 00");
    Bytes data = morlune::sim::parseHex("01 02 00");
    EXPECT_EQ(IPSendData(4, write.data(), 2, data.data(), address.c_str()), 4);  // its ack is 4F 02

    const std::int32_t sock = ipConnectDevice("127.0.0.1", scriptPort);
    ASSERT_NE(sock, -1);
    const Bytes frame = morlune::sim::parseHex("AA BB");
    Guarded got(3, 0x00);
    EXPECT_EQ(IPComm(2, frame.data(), 3, got.data(), 0, sock), 0);
    EXPECT_EQ(hex(got.used()), "C0 C1 C2");
    ipCloseDevice(sock);
}

TEST(ScenarioFile, RejectsWhatItCannotRead) {
    const char* const broken[] = {
        R"({"devices": [{"device": 1, "code": "10", "replyLenght": 6}]})",  // misspelt field
        R"({"devices": [{"device": 1, "code": "10", "fault": "sometimes"}]})",
        R"({"devices": [{"device": 1, "code": "10", "reply": "1 2 3"}]})",  // odd hex
        R"({"devices": [{"device": 300, "code": "10"}]})",
        R"({"devices": [{"device": 1, "code": "10", "commandLength": 1}]})",
        R"({"devices": [{"code": "10"}]})",
        R"({"scripts": [[{"jump": 3}]]})",
        R"({"devices": [)",
    };
    for (const char* text : broken) EXPECT_THROW(parseScenarioFile(text), std::runtime_error) << text;
}

}  // namespace
}  // namespace loopback
