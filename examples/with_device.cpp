// Runs an example host against an emulated device, for the tests:
//
//   with_device ADDRESS -- PROGRAM ARGS...
//
// starts the emulator on ADDRESS (port 8000 and a free port for held
// connections), runs PROGRAM ARGS... ADDRESS HELD_PORT, and then checks what
// the device received on each connection: the read command with its checksum
// and the host's acknowledgement. Exits with the host's status, or 1 when the
// device saw something else.
#include <spawn.h>
#include <sys/wait.h>

#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "morlune_sim/emulator.h"

extern char** environ;

namespace sim = morlune::sim;

int main(int argc, char** argv) {
    if (argc < 4 || std::string(argv[2]) != "--") {
        std::cerr << "usage: with_device ADDRESS -- PROGRAM ARGS...\n";
        return 2;
    }
    const std::string address = argv[1];

    sim::Emulator emulator(sim::streamSink(std::cout));
    sim::Reaction read;
    read.commandLength = 4;
    read.replyLength = 16;
    for (std::uint8_t i = 0; i < 16; ++i) read.reply.push_back(static_cast<std::uint8_t>(0x30 + i));
    sim::Scenario scenario;
    scenario.set(0x01, 0x10, read);
    emulator.setScenario(scenario);

    std::uint16_t heldPort = 0;
    try {
        emulator.listen(address, 8000, sim::Face::device);
        heldPort = emulator.listen(address, 0, sim::Face::device);
    } catch (const std::system_error& error) {
        std::cerr << "with_device: cannot listen on " << address << ": " << error.what() << '\n';
        return 1;
    }
    emulator.start();

    std::vector<std::string> words(argv + 3, argv + argc);
    words.push_back(address);
    words.push_back(std::to_string(heldPort));
    std::vector<char*> arguments;
    for (auto& word : words) arguments.push_back(word.data());
    arguments.push_back(nullptr);

    std::cout.flush();
    pid_t child = 0;
    if (posix_spawnp(&child, arguments[0], nullptr, nullptr, arguments.data(), environ) != 0) {
        std::cerr << "with_device: cannot start " << arguments[0] << '\n';
        return 1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    const int hostStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 1;

    // One connection for the read, one for the held exchange; the device must
    // have received the same bytes on both.
    const sim::Bytes expected{0x01, 0x10, 0x00, 0x00, 0x11, 0x02, 0x4F};
    int problems = 0;
    const std::size_t connections = emulator.connectionCount();
    if (connections != 2) {
        std::cerr << "with_device: " << connections << " connections, expected 2\n";
        ++problems;
    }
    for (std::size_t i = 0; i < connections; ++i) {
        const sim::Transcript transcript = emulator.transcript(i);
        if (transcript.received != expected) {
            std::cerr << "with_device: connection " << i << " (" << transcript.local << ") received "
                      << sim::hex(transcript.received) << ", expected " << sim::hex(expected) << '\n';
            ++problems;
        }
    }
    emulator.stop();
    if (hostStatus != 0) {
        std::cerr << "with_device: the host exited with " << hostStatus << '\n';
        return hostStatus;
    }
    return problems == 0 ? 0 : 1;
}
