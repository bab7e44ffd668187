// Loopback device peers for the benchmarks and the memory check. They are
// plain test fixtures: they use threads, the heap and blocking calls freely,
// and only ever bind to 127.0.0.0/8.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace morlune::bench {

// A listening TCP socket on ipText:port (port 0: any free port); -1 on failure.
int listenOn(const char* ipText, std::uint16_t port, int backlog);
std::uint16_t localPort(int fd);

// Blocking helpers on a blocking socket; false when the peer closed or failed.
bool readExact(int fd, std::uint8_t* bytes, std::size_t length);
bool writeAll(int fd, const std::uint8_t* bytes, std::size_t length);
// Reads until the other side closes (or `seconds` pass); the count discarded.
std::size_t drainUntilClosed(int fd, int seconds);

// A device on a one-shot connection that answers at once. It tells the
// transaction by the command code: 0x10 read (reply length in bytes 2 and 3;
// sends the reply and its checksum, reads the acknowledgement), 0x20 write
// (data length in bytes 2 and 3; reads the block, acknowledges), 0xA5 black
// list (reads the list block, acknowledges). Then waits for the close.
void servePromptDevice(int fd);

// A device on a held connection, until the host closes it: 0x30 gets 8
// bytes back (IPComm), 0x31 8 bytes and then reads the two zero bytes
// (IPget), 0x32 the acknowledgement (IPsend), 0xA0 the presence query's two
// stages, the second answer echoing the device number of the first header.
void serveHeldDevice(int fd);

// A plain client connection as a host would make it without the library:
// a non-blocking IPv4 stream socket, connected within 1 s. -1 on failure.
int connectPlain(const char* ipText, std::uint16_t port);

// The same exchange as IPComm with nothing but POSIX calls: one send of the
// command, then a 2 s poll before each recv until `replyLength` bytes are in.
// true when the whole reply arrived.
bool plainExchange(int fd, const std::uint8_t* command, int commandLength, std::uint8_t* reply,
                   int replyLength);

// Serves every connection on one epoll thread: each `commandLength` bytes
// received are answered with `replyLength` bytes at once. While silent it
// reads and drops what arrives and answers nothing. Holds thousands of
// connections.
class FixedReplyPeer {
public:
    FixedReplyPeer(const char* ipText, int commandLength, int replyLength);
    ~FixedReplyPeer();
    FixedReplyPeer(const FixedReplyPeer&) = delete;
    FixedReplyPeer& operator=(const FixedReplyPeer&) = delete;

    bool ok() const { return listener_ >= 0; }
    std::uint16_t port() const { return port_; }
    void setSilent(bool silent) { silent_.store(silent); }
    std::uint64_t answered() const { return answered_.load(); }

private:
    void run();

    int listener_ = -1;
    int epoll_ = -1;
    std::uint16_t port_ = 0;
    int commandLength_;
    int replyLength_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> silent_{false};
    std::atomic<std::uint64_t> answered_{0};
    std::thread thread_;
};

// Accepts one connection at a time and hands it, blocking, to `serve`; closes
// it when `serve` returns. For scripted one-shot transactions and held
// conversations.
class ScriptedPeer {
public:
    using Serve = std::function<void(int fd)>;
    ScriptedPeer(const char* ipText, std::uint16_t port, Serve serve);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool ok() const { return listener_ >= 0; }
    std::uint16_t port() const { return port_; }
    std::uint64_t served() const { return served_.load(); }

private:
    void run();

    int listener_ = -1;
    std::uint16_t port_ = 0;
    Serve serve_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> served_{0};
    std::thread thread_;
};

// A ScriptedPeer on port 8000 of 127.B.0.`slot`, with the first block B
// whose address is free (another run on the machine may hold the first).
// Null when none is.
std::unique_ptr<ScriptedPeer> devicePeerOnPort8000(int slot, ScriptedPeer::Serve serve, std::string* address);

}  // namespace morlune::bench
