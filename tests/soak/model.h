// A reference model of what every export does against the scripted fake
// platform: from the same script it predicts the result code, every call the
// library makes of the platform (in order, with its socket and length), the
// bytes offered and accepted, what the host's buffers hold afterwards and
// what the device leaves unread. The randomized soak and the fuzz targets run
// the library and the model side by side and compare the two.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fake_platform.h"

namespace soak {

using fake::Arrival;
using fake::Bytes;
using Handle = morlune::platform::Handle;

// How one connection attempt goes.
enum class Attempt { now, pending, startupFails, socketFails, refused, timesOut };
bool succeeds(Attempt attempt);

// Everything a script decides. install() hands it to the fake; the model
// keeps its own copy.
struct Plan {
    std::vector<Attempt> attempts;  // every attempt that is reached, in order
    std::vector<Handle> handles;    // the socket each attempt creates
    std::deque<Arrival> device;     // what the device does, in order
    std::deque<std::int32_t> sends; // per send call: bytes accepted (capped), or -1
    std::deque<std::uint32_t> ticks;
};

void install(const Plan& plan);

// One platform call, rendered alike for the fake's record and the model.
std::string render(const fake::Event& event);
std::vector<std::string> actualTrace();

class Model {
public:
    explicit Model(const Plan& plan);

    // The exports, run on the model's copy of the script and on the
    // expected copies of the host's buffers.
    std::int32_t getData(std::int32_t cmdLen, std::uint8_t* cmd, std::int32_t replyLen,
                         std::uint8_t* reply, const char* ipText);
    std::int32_t sendData(std::int32_t cmdLen, std::uint8_t* cmd, std::int32_t dataLen,
                          std::uint8_t* data, const char* ipText);
    std::int32_t sendBlack(std::int32_t deviceNo, std::int32_t entryCount,
                           const std::uint8_t* entries, const char* ipText);
    std::int32_t connectDevice(const char* ipText, std::int32_t port);
    std::int32_t closeDevice(Handle sock);
    std::int32_t comm(std::int32_t sendLen, const std::uint8_t* sendBuf, std::int32_t recvLen,
                      std::uint8_t* recvBuf, Handle sock);
    std::int32_t get(std::int32_t sendLen, const std::uint8_t* sendBuf, std::int32_t recvLen,
                     std::uint8_t* recvBuf, Handle sock);
    std::int32_t send(std::int32_t sendLen, const std::uint8_t* sendBuf, std::int32_t dataLen,
                      Handle sock);
    std::int32_t onNet(std::int32_t deviceNo, std::uint8_t* out, Handle sock);

    // Compares the fake's record with the model's; empty when they agree,
    // else the first difference in words.
    std::string differences() const;

    std::vector<std::string> trace;
    std::vector<Bytes> offered;
    Bytes wire;
    std::deque<Arrival> device;

private:
    enum class Ack { silent, readError, closed, oneByte, acknowledged, otherBytes };

    void note(fake::Op op, Handle sock, std::int64_t value, const std::string& text = {});
    bool open(Handle* sock, const char* ipText, std::int32_t port);
    bool openDevice(Handle* sock, const char* ipText, int attempts);
    void close(Handle sock);
    bool sendAll(Handle sock, const std::uint8_t* bytes, std::int32_t length);
    bool sendPaced(Handle sock, const std::uint8_t* block, std::int32_t length);
    bool readable(Handle sock, std::int32_t seconds);
    std::int32_t read(Handle sock, std::uint8_t* bytes, std::int32_t length);
    std::int32_t receive(Handle sock, std::uint8_t* buffer, std::int32_t wanted,
                         std::int32_t seconds, std::int32_t cap);
    Ack awaitAck(Handle sock, std::int32_t seconds);
    void sleep(std::uint32_t ms);
    std::uint32_t tick();

    std::deque<Attempt> attempts_;
    std::deque<Handle> handles_;
    std::deque<std::int32_t> sends_;
    std::deque<std::uint32_t> ticks_;
    std::uint32_t lastTick_ = 0;
};

// The list block (without its checksum) as the device expects it, written
// independently of the library's encoder.
Bytes referenceListBlock(const std::uint8_t* entries, std::int32_t entryCount);

}  // namespace soak
