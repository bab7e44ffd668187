// The device emulator: listeners on loopback (or any local) addresses, served
// by one background thread, each connection either answered by the device
// model or driven by a script. Every frame is logged and every connection's
// bytes are recorded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "morlune_sim/scenario.h"
#include "morlune_sim/wire.h"

namespace morlune::sim {

enum class Direction { fromHost, toHost, note };

struct FrameEvent {
    std::chrono::system_clock::time_point at;
    std::size_t connection = 0;  // index in accept order, from 0
    std::string local;           // "127.0.0.2:8000"
    Direction direction = Direction::note;
    Bytes bytes;
    std::string meaning;
};
using FrameSink = std::function<void(const FrameEvent&)>;

// "12:00:01.250 #3 127.0.0.2:8000 <- 01 10 00 00 11  read command, device 1, code 10"
std::string formatEvent(const FrameEvent& event);
// A sink that writes one formatted line per event to `out` (serialised).
FrameSink streamSink(std::ostream& out);

// Everything one connection carried, in order of arrival.
struct Transcript {
    std::string local;
    Bytes received;          // all the host sent, as the emulator took it
    Bytes sent;              // all the emulator sent
    bool hostClosed = false; // the host closed (or reset) its side
    bool finished = false;   // the session is over
};

struct BlackListRecord {
    std::uint8_t device = 0;
    Bytes header;   // the 5 header bytes
    Bytes block;    // the list block with its checksum
    ListBlock list;
};

struct WriteRecord {
    std::uint8_t device = 0;
    std::uint8_t code = 0;
    Bytes command;  // with its checksum
    Bytes data;     // data block with its checksum
    bool sound = false;
};

enum class Face { device, scripted };

class Emulator {
public:
    explicit Emulator(FrameSink sink = {});
    ~Emulator();
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Listens on address:port (port 0: any free port) and returns the bound
    // port. Throws std::system_error when the address cannot be bound.
    std::uint16_t listen(const std::string& address, std::uint16_t port, Face face);
    // A listener whose accept queue is full and is never served: connection
    // attempts to it neither complete nor fail. Returns the bound port.
    std::uint16_t listenUnanswered(const std::string& address, std::uint16_t port);

    // The device face's reactions; may be changed while running.
    void setScenario(Scenario scenario);
    // Scripted connections take the scripts in the order added; one that
    // finds none left stays silent and records.
    void addScript(Script script);

    // Whether every connection's bytes, black lists and writes are kept for
    // transcript(), blackLists() and writes() (the default, for tests). An
    // emulator that runs for days turns this off, before start(), so that its
    // memory does not grow with every connection.
    void keepRecords(bool keep);

    // Serves on a background thread until stop() or destruction.
    void start();
    void stop();

    std::size_t connectionCount() const;
    // Waits until connection `index` has been accepted and its session is
    // over (at most `timeout`), and returns what it carried. A transcript
    // with finished == false means the wait ran out.
    Transcript transcript(std::size_t index, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::vector<BlackListRecord> blackLists() const;
    std::vector<WriteRecord> writes() const;

    struct Impl;  // opaque: the network side

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace morlune::sim
