// What the emulated devices do: a reaction per device number and command
// code for the device face, and a list of steps per connection for the
// scripted face.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "morlune_sim/wire.h"

namespace morlune::sim {

using Millis = std::chrono::milliseconds;

// How an answer goes wrong. badChecksum spoils the checksum of a read reply.
enum class Fault { none, silence, close, reset, badChecksum };

// What a device does with one command. A command with a reply length is a
// read (reply block + checksum, then the host's 02 4F); one with a data length
// is a write (the device takes the data block + checksum and acknowledges);
// with neither, the device takes the command and says nothing.
// The presence query (A0, B4) and the black-list download (A5) are known
// without a reaction; a reaction for them changes only the answer.
struct Reaction {
    std::size_t commandLength = 4;   // command bytes before the checksum, at least 2
    std::size_t replyLength = 0;     // read: reply bytes before the checksum
    Bytes reply;                     // read/presence: reply bytes; a short one is padded
    std::size_t dataLength = 0;      // write: data bytes before the checksum
    std::optional<Bytes> ack;        // write/black list: default 02 4F (none for B5, B6)
    Millis delay{0};                 // before the answer
    std::vector<std::size_t> pieces; // answer split into pieces of these sizes
    Millis gap{30};                  // between pieces
    Fault fault = Fault::none;
    Bytes surplus;                   // sent right after the answer
};

class Scenario {
public:
    static constexpr int anyDevice = -1;
    // Adds or replaces the reaction for a device number (or anyDevice) and a code.
    Reaction& on(int device, std::uint8_t code);
    void set(int device, std::uint8_t code, Reaction reaction) { on(device, code) = std::move(reaction); }
    // The device's own reaction, else the one for any device, else none.
    std::optional<Reaction> find(std::uint8_t device, std::uint8_t code) const;
    bool empty() const { return reactions_.empty(); }

private:
    std::map<std::pair<int, std::uint8_t>, Reaction> reactions_;
};

// Default answers of the presence query for a device number.
Bytes presenceFirstReply(std::uint8_t device);
Bytes presenceSecondReply(std::uint8_t device);
// A read reply padded to `length` with a pattern that differs per device and code.
Bytes paddedReply(const Bytes& reply, std::size_t length, std::uint8_t device, std::uint8_t code);

// One step of a scripted connection.
struct Step {
    enum class Kind { expect, send, pause, silent, close, reset };
    Kind kind = Kind::silent;
    std::size_t count = 0;           // expect: bytes to take
    Bytes bytes;                     // send
    std::vector<std::size_t> pieces; // send: sizes of the pieces (the rest goes last)
    Millis gap{0};                   // send: between pieces; pause: how long
};

namespace step {
// Take exactly `count` bytes from the host (the session ends if it closes first).
Step expect(std::size_t count);
Step send(Bytes bytes);
Step sendPieces(Bytes bytes, std::vector<std::size_t> pieces, Millis gap = Millis{40});
Step pause(Millis duration);
// Send nothing more; take whatever comes until the host closes.
Step silent();
Step close();
// Close with a reset instead of an orderly close.
Step reset();
}  // namespace step

using Script = std::vector<Step>;

}  // namespace morlune::sim
