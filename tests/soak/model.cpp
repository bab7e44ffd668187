#include "model.h"

#include <algorithm>
#include <climits>

namespace soak {

namespace {

const char* name(fake::Op op) {
    switch (op) {
        case fake::Op::startup: return "startup";
        case fake::Op::cleanup: return "cleanup";
        case fake::Op::socket: return "socket";
        case fake::Op::nonBlocking: return "nonblocking";
        case fake::Op::connect: return "connect";
        case fake::Op::waitConnected: return "connect-wait";
        case fake::Op::waitReadable: return "wait";
        case fake::Op::send: return "send";
        case fake::Op::receive: return "recv";
        case fake::Op::close: return "close";
        case fake::Op::sleep: return "sleep";
        case fake::Op::tick: return "tick";
    }
    return "?";
}

std::uint8_t sum(const std::uint8_t* bytes, std::int32_t length) {
    unsigned total = 0;
    for (std::int32_t i = 0; i < length; ++i) total += bytes[i];
    return static_cast<std::uint8_t>(total % 256);
}

std::int32_t number(const std::uint8_t* entry) {
    return ((entry[0] & 1) << 16) | (entry[1] << 8) | entry[2];
}

std::string describe(const std::deque<Arrival>& queue) {
    std::string out;
    for (const Arrival& a : queue) {
        switch (a.kind) {
            case Arrival::bytes:
                out += '[';
                out += fake::hex(a.data);
                out += ']';
                break;
            case Arrival::closed: out += "<closed>"; break;
            case Arrival::error: out += "<error>"; break;
            case Arrival::silence: out += "<silence>"; break;
        }
    }
    return out;
}

}  // namespace

bool succeeds(Attempt attempt) { return attempt == Attempt::now || attempt == Attempt::pending; }

void install(const Plan& plan) {
    fake::reset();
    fake::Script& s = fake::script;
    for (std::size_t i = 0; i < plan.attempts.size(); ++i) {
        const Attempt a = plan.attempts[i];
        s.startup.push_back(a != Attempt::startupFails);
        if (a == Attempt::startupFails) continue;
        s.socket.push_back(a == Attempt::socketFails ? -1 : plan.handles[i]);
        if (a == Attempt::socketFails) continue;
        s.connect.push_back(a == Attempt::now       ? fake::ConnectStart::connected
                            : a == Attempt::refused ? fake::ConnectStart::failed
                                                    : fake::ConnectStart::pending);
        if (a == Attempt::pending || a == Attempt::timesOut)
            s.waitConnected.push_back(a == Attempt::pending);
    }
    s.device = plan.device;
    s.send = plan.sends;
    s.ticks = plan.ticks;
}

std::string render(const fake::Event& e) {
    std::string line = name(e.op);
    line += ' ';
    line += std::to_string(e.sock);
    line += ' ';
    line += std::to_string(e.value);
    if (!e.text.empty()) {
        line += ' ';
        line += e.text;
    }
    return line;
}

std::vector<std::string> actualTrace() {
    std::vector<std::string> out;
    for (const fake::Event& e : fake::events) out.push_back(render(e));
    return out;
}

Model::Model(const Plan& plan)
    : device(plan.device),
      attempts_(plan.attempts.begin(), plan.attempts.end()),
      handles_(plan.handles.begin(), plan.handles.end()),
      sends_(plan.sends),
      ticks_(plan.ticks) {}

void Model::note(fake::Op op, Handle sock, std::int64_t value, const std::string& text) {
    trace.push_back(render(fake::Event{op, sock, value, text}));
}

// --- device connection --------------------------------------------------------

bool Model::open(Handle* sock, const char* ipText, std::int32_t port) {
    const Attempt a = attempts_.empty() ? Attempt::now : attempts_.front();
    if (!attempts_.empty()) attempts_.pop_front();
    const Handle h = handles_.empty() ? 100 : handles_.front();
    if (!handles_.empty()) handles_.pop_front();
    note(fake::Op::startup, -1, a == Attempt::startupFails ? 0 : 1);
    if (a == Attempt::startupFails) return false;
    if (a == Attempt::socketFails) {
        note(fake::Op::socket, -1, 0);
        note(fake::Op::cleanup, -1, 0);
        return false;
    }
    note(fake::Op::socket, h, 0);
    note(fake::Op::nonBlocking, h, 0);
    const auto wirePort = static_cast<std::uint16_t>(port);
    note(fake::Op::connect, h, wirePort, std::string(ipText) + ":" + std::to_string(wirePort));
    if (a == Attempt::pending || a == Attempt::timesOut) note(fake::Op::waitConnected, h, 1);
    if (succeeds(a)) {
        *sock = h;
        return true;
    }
    close(h);
    return false;
}

bool Model::openDevice(Handle* sock, const char* ipText, int attempts) {
    for (int i = 0; i < attempts; ++i)
        if (open(sock, ipText, 8000)) return true;
    return false;
}

void Model::close(Handle sock) {
    note(fake::Op::close, sock, 0);
    note(fake::Op::cleanup, -1, 0);
}

// --- transfers ------------------------------------------------------------------

bool Model::sendAll(Handle sock, const std::uint8_t* bytes, std::int32_t length) {
    note(fake::Op::send, sock, length);
    offered.emplace_back(bytes, bytes + length);
    std::int32_t accepted = length;
    if (!sends_.empty()) {
        accepted = sends_.front() < 0 ? sends_.front() : std::min(sends_.front(), length);
        sends_.pop_front();
    }
    if (accepted > 0) wire.insert(wire.end(), bytes, bytes + accepted);
    return accepted == length;
}

// 10 ms, then chunks of at most 1000 bytes; blocks of more than 20 bytes
// pause chunk + 300 ms after every chunk, the last included.
bool Model::sendPaced(Handle sock, const std::uint8_t* block, std::int32_t length) {
    sleep(10);
    for (std::int32_t offset = 0; offset < length;) {
        const std::int32_t chunk = std::min(1000, length - offset);
        if (!sendAll(sock, block + offset, chunk)) return false;
        offset += chunk;
        if (length > 20) sleep(static_cast<std::uint32_t>(chunk + 300));
    }
    return true;
}

bool Model::readable(Handle sock, std::int32_t seconds) {
    note(fake::Op::waitReadable, sock, seconds);
    if (device.empty()) return false;
    if (device.front().kind == Arrival::silence) {
        device.pop_front();
        return false;
    }
    return true;
}

std::int32_t Model::read(Handle sock, std::uint8_t* bytes, std::int32_t length) {
    note(fake::Op::receive, sock, length);
    Arrival& next = device.front();
    if (next.kind == Arrival::closed) return 0;
    if (next.kind == Arrival::error) {
        device.pop_front();
        return -1;
    }
    const auto n = static_cast<std::int32_t>(
        std::min<std::size_t>(static_cast<std::size_t>(length), next.data.size()));
    std::copy_n(next.data.begin(), n, bytes);
    next.data.erase(next.data.begin(), next.data.begin() + n);
    if (next.data.empty()) device.pop_front();
    return n;
}

std::int32_t Model::receive(Handle sock, std::uint8_t* buffer, std::int32_t wanted,
                            std::int32_t seconds, std::int32_t cap) {
    std::int32_t count = 0;
    while (count < wanted && readable(sock, seconds)) {
        const std::int32_t got = read(sock, buffer + count, std::min(wanted - count, cap));
        if (got <= 0) break;
        count += got;
    }
    return count;
}

Model::Ack Model::awaitAck(Handle sock, std::int32_t seconds) {
    if (!readable(sock, seconds)) return Ack::silent;
    std::uint8_t two[2] = {};
    const std::int32_t got = read(sock, two, 2);
    if (got < 0) return Ack::readError;
    if (got == 0) return Ack::closed;
    if (got == 1) return Ack::oneByte;
    return two[0] == 0x02 && two[1] == 0x4F ? Ack::acknowledged : Ack::otherBytes;
}

void Model::sleep(std::uint32_t ms) { note(fake::Op::sleep, -1, ms); }

std::uint32_t Model::tick() {
    std::uint32_t reading = lastTick_ + 1;
    if (!ticks_.empty()) {
        reading = ticks_.front();
        ticks_.pop_front();
    }
    lastTick_ = reading;
    note(fake::Op::tick, -1, reading);
    return reading;
}

// --- one-shot transactions --------------------------------------------------------

std::int32_t Model::getData(std::int32_t cmdLen, std::uint8_t* cmd, std::int32_t replyLen,
                            std::uint8_t* reply, const char* ipText) {
    if (cmdLen < 0 || replyLen < 0 || cmdLen == INT32_MAX || replyLen == INT32_MAX) return 2;
    Handle sock = -1;
    if (!openDevice(&sock, ipText, 2)) return 1;
    cmd[cmdLen] = sum(cmd, cmdLen);
    std::int32_t result = 0;
    if (!sendAll(sock, cmd, cmdLen + 1)) {
        result = 2;
    } else if (replyLen > 0) {
        const std::uint8_t code = cmd[1];
        const bool quick = code == 0xA1 || code == 0xC1 || code == 0xD1;
        const std::int32_t wait = quick ? 1 : 2 + std::max(1, replyLen / 900);
        const std::int32_t got = receive(sock, reply, replyLen + 1, wait, 1000);
        if (got == 0) {
            result = 2;
        } else if (got <= replyLen) {
            result = 3;
        } else if (sum(reply, replyLen) != reply[replyLen]) {
            result = 4;
        } else {
            const std::uint8_t ack[2] = {0x02, 0x4F};
            sendAll(sock, ack, 2);
            sleep(100);
        }
    }
    close(sock);
    return result;
}

std::int32_t Model::sendData(std::int32_t cmdLen, std::uint8_t* cmd, std::int32_t dataLen,
                             std::uint8_t* data, const char* ipText) {
    if (cmdLen < 0 || dataLen < 0 || cmdLen == INT32_MAX || dataLen == INT32_MAX) return 2;
    Handle sock = -1;
    if (!openDevice(&sock, ipText, 1)) return 1;
    cmd[cmdLen] = sum(cmd, cmdLen);
    std::int32_t result = 0;
    if (!sendAll(sock, cmd, cmdLen + 1)) {
        result = 2;
    } else if (dataLen > 0) {
        data[dataLen] = sum(data, dataLen);
        const std::int32_t block = dataLen + 1;
        if (!sendPaced(sock, data, block)) {
            result = 2;
        } else if (cmd[1] != 0xB5 && cmd[1] != 0xB6) {
            if (block >= 20) sleep(1000);
            switch (awaitAck(sock, block >= 20 ? 4 : 1)) {
                case Ack::acknowledged: result = 0; break;
                case Ack::closed: result = 1; break;
                case Ack::readError: result = 2; break;
                case Ack::silent:
                case Ack::oneByte: result = 3; break;
                case Ack::otherBytes: result = 4; break;
            }
        }
    }
    close(sock);
    return result;
}

std::int32_t Model::sendBlack(std::int32_t deviceNo, std::int32_t entryCount,
                              const std::uint8_t* entries, const char* ipText) {
    Handle sock = -1;
    if (!openDevice(&sock, ipText, 2)) return 1;
    if (entryCount <= 0) {
        close(sock);
        return 6;
    }
    const auto d = static_cast<std::uint8_t>(deviceNo & 0xFF);
    const std::uint8_t header[5] = {d, 0xA5, 0x00, 0x00,
                                    static_cast<std::uint8_t>((d + 0xA5) % 256)};
    Bytes block = referenceListBlock(entries, entryCount);
    block.push_back(sum(block.data(), static_cast<std::int32_t>(block.size())));
    std::int32_t result = 2;
    if (sendAll(sock, header, 5) &&
        sendPaced(sock, block.data(), static_cast<std::int32_t>(block.size())))
        result = awaitAck(sock, 1) == Ack::acknowledged ? 0 : 1;
    close(sock);
    return result;
}

// --- held connections ----------------------------------------------------------------

std::int32_t Model::connectDevice(const char* ipText, std::int32_t port) {
    Handle sock = -1;
    return open(&sock, ipText, port) ? sock : -1;
}

std::int32_t Model::closeDevice(Handle sock) {
    close(sock);
    return 0;
}

std::int32_t Model::comm(std::int32_t sendLen, const std::uint8_t* sendBuf, std::int32_t recvLen,
                         std::uint8_t* recvBuf, Handle sock) {
    if (sendLen < 0 || !sendAll(sock, sendBuf, sendLen)) return -1;
    if (recvLen == 0) return 0;
    if (recvLen < 0) return -2;
    return receive(sock, recvBuf, recvLen, 2, INT32_MAX) == recvLen ? 0 : -2;
}

std::int32_t Model::get(std::int32_t sendLen, const std::uint8_t* sendBuf, std::int32_t recvLen,
                        std::uint8_t* recvBuf, Handle sock) {
    const std::int32_t result = comm(sendLen, sendBuf, recvLen, recvBuf, sock);
    if (result == 0 && recvLen > 0) {
        const std::uint8_t zeros[2] = {0, 0};
        sendAll(sock, zeros, 2);
    }
    return result;
}

std::int32_t Model::send(std::int32_t sendLen, const std::uint8_t* sendBuf, std::int32_t dataLen,
                         Handle sock) {
    if (sendLen < 0 || !sendAll(sock, sendBuf, sendLen)) return -1;
    if (dataLen == 0) return 0;
    const std::int32_t wait = std::max(0, dataLen / 900 + 2);
    return awaitAck(sock, wait) == Ack::acknowledged ? 0 : 1;
}

std::int32_t Model::onNet(std::int32_t deviceNo, std::uint8_t* out, Handle sock) {
    const std::int32_t echo = deviceNo % 256;
    const auto d = static_cast<std::uint8_t>(echo & 0xFF);
    const std::uint8_t first[5] = {d, 0xA0, 0, 0, static_cast<std::uint8_t>((d + 0xA0) % 256)};
    if (!sendAll(sock, first, 5)) return -1;
    std::uint8_t one[8] = {};
    if (receive(sock, one, 8, 2, INT32_MAX) != 8) return 3;
    const std::uint32_t start = tick();
    while (tick() - start <= 10) {
    }
    const std::uint8_t second[5] = {0, 0xB4, one[0], one[1],
                                    static_cast<std::uint8_t>((0xB4 + one[0] + one[1]) % 256)};
    if (!sendAll(sock, second, 5)) return -1;
    std::uint8_t two[6] = {};
    if (receive(sock, two, 6, 2, INT32_MAX) != 6) return 3;
    if (static_cast<std::int32_t>(two[1]) == echo) {
        const std::uint8_t answer[7] = {two[1], two[2], two[3], one[2], one[3], one[4], one[5]};
        std::copy_n(answer, 7, out);
    }
    return 0;
}

// --- comparison ----------------------------------------------------------------------

std::string Model::differences() const {
    const std::vector<std::string> actual = actualTrace();
    for (std::size_t i = 0; i < std::max(actual.size(), trace.size()); ++i) {
        const std::string a = i < actual.size() ? actual[i] : "(nothing)";
        const std::string e = i < trace.size() ? trace[i] : "(nothing)";
        if (a != e)
            return "platform call " + std::to_string(i) + ": library made '" + a +
                   "', expected '" + e + "'";
    }
    for (std::size_t i = 0; i < std::min(offered.size(), fake::sends.size()); ++i)
        if (offered[i] != fake::sends[i])
            return "send " + std::to_string(i) + ": library offered " + fake::hex(fake::sends[i]) +
                   ", expected " + fake::hex(offered[i]);
    if (wire != fake::wire) return "bytes on the wire differ from the expected ones";
    if (describe(device) != describe(fake::script.device))
        return "left unread: " + describe(fake::script.device) + ", expected " + describe(device);
    return {};
}

// --- list block -------------------------------------------------------------------------

// Single entry: the data byte (n - 1) / 8 split as (index / 128, index % 128),
// except that the first seven numbers of each further 1024 name offset 128 of
// the page before; 0 names page 0, offset 255, bit 7. Bitmap: the longest
// strictly ascending run of entries from the first, starting at 1 or more and
// within the bytes that the last entry's number (capped at 130000) spans.
Bytes referenceListBlock(const std::uint8_t* entries, std::int32_t entryCount) {
    if (entryCount == 1) {
        const std::int32_t n = number(entries);
        std::int32_t page = 0;
        std::int32_t offset = 255;
        std::uint8_t mask = 0x80;
        if (n > 0) {
            const std::int32_t index = (n - 1) / 8;
            page = index / 128;
            offset = index % 128;
            mask = static_cast<std::uint8_t>(1u << ((n - 1) % 8));
            if (offset == 0 && page > 0 && n % 8 != 0) {
                page -= 1;
                offset = 128;
            }
        }
        return {0, 0, 1, 0, static_cast<std::uint8_t>(page), static_cast<std::uint8_t>(offset),
                mask};
    }
    const std::int32_t extent = std::min(number(entries + 3 * (entryCount - 1)), 130000);
    const std::int32_t dataLength = (extent + 7) / 8;
    Bytes block = {0, 0, static_cast<std::uint8_t>(dataLength % 256),
                   static_cast<std::uint8_t>(dataLength / 256), 0, 0};
    block.resize(6 + static_cast<std::size_t>(dataLength), 0);
    std::int32_t previous = 0;
    for (std::int32_t i = 0; i < entryCount; ++i) {
        const std::int32_t n = number(entries + 3 * i);
        if (n <= previous || n > 8 * dataLength) break;
        block[6 + static_cast<std::size_t>((n - 1) / 8)] |= static_cast<std::uint8_t>(1u << ((n - 1) % 8));
        previous = n;
    }
    return block;
}

}  // namespace soak
