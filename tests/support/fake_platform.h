// A scripted stand-in for the platform seam. Each test says what the calls
// return (and what the device sends, piece by piece) and then reads back what
// the library did, in order. Nothing here sleeps or touches a network.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

using morlune::platform::ConnectStart;
using morlune::platform::Handle;
using Bytes = std::vector<std::uint8_t>;

// "01 a5 00" -> {0x01, 0xA5, 0x00}; spaces are optional.
Bytes hex(const std::string& text);
std::string hex(const Bytes& bytes);

// What the device side does next, as seen by waitReadable/receiveOnce.
struct Arrival {
    enum Kind { bytes, closed, error, silence } kind;
    Bytes data;
};

struct Script {
    std::deque<bool> startup;            // empty: starts
    std::deque<Handle> socket;           // empty: 100, 101, ... in order of creation
    std::deque<ConnectStart> connect;    // empty: connected at once
    std::deque<bool> waitConnected;      // empty: connects within the wait
    // Per send call: how many bytes it accepts (capped at the length), or -1.
    // Empty: every byte is accepted.
    std::deque<std::int32_t> send;
    // Inbound, in order. A bytes piece is read across as many receives as it
    // takes (each gets at most what it asked for); a close stays queued and
    // reads as 0 forever; an error reads as -1 once; a silence makes exactly
    // one readability wait time out. Nothing queued: every wait times out.
    std::deque<Arrival> device;
    // Tick readings in order; once used up, each reading is one more than the last.
    std::deque<std::uint32_t> ticks;
};

enum class Op {
    startup, cleanup, socket, nonBlocking, connect, waitConnected, waitReadable, send, receive,
    close, sleep, tick
};

struct Event {
    Op op;
    Handle sock;         // the socket the call was about, or -1
    std::int64_t value;  // seconds, length offered/asked, ms, tick reading, result
    std::string text;    // connect: "address:port"
};

extern Script script;
extern std::vector<Event> events;
extern std::vector<Bytes> sends;  // the bytes offered to each send call
extern Bytes wire;                // the bytes the device accepted, in order

void reset();

// Device script helpers.
void arrive(const Bytes& piece);
void arrive(std::initializer_list<Bytes> pieces);
void closeByPeer();
void readError();
void silence();
// Bytes still queued for the next receive (closes and errors not counted).
Bytes unread();

// One readable line per event, e.g. "send 5", "wait 2s", "recv 8", "sleep 10".
std::vector<std::string> trace();
// The values of every event of one kind: sleep lengths, receive sizes, ...
std::vector<std::int64_t> values(Op op);
// Lengths offered to the send calls.
std::vector<std::int64_t> sendSizes();
// Sockets that are open, and start-up references taken but not released.
int openSockets();
int startupReferences();
// How often `sock` was closed.
int closesOf(Handle sock);
// The socket of the first send call, or -1.
Handle sendSocket();

}  // namespace fake
