#include "fake_platform.h"

#include <algorithm>
#include <stdexcept>

namespace fake {

Script script;
std::vector<Event> events;
std::vector<Bytes> sends;
Bytes wire;

namespace {

Handle nextHandle = 100;
std::uint32_t lastTick = 0;

void note(Op op, Handle sock, std::int64_t value, std::string text = {}) {
    events.push_back(Event{op, sock, value, std::move(text)});
}

template <typename T>
bool take(std::deque<T>& queue, T& value) {
    if (queue.empty()) return false;
    value = queue.front();
    queue.pop_front();
    return true;
}

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("not a hex digit");
}

}  // namespace

Bytes hex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (const char c : text) {
        if (c == ' ') continue;
        if (high < 0) {
            high = nibble(c);
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + nibble(c)));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits");
    return out;
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

void reset() {
    script = Script{};
    events.clear();
    sends.clear();
    wire.clear();
    nextHandle = 100;
    lastTick = 0;
}

void arrive(const Bytes& piece) { script.device.push_back({Arrival::bytes, piece}); }
void arrive(std::initializer_list<Bytes> pieces) {
    for (const Bytes& piece : pieces) arrive(piece);
}
void closeByPeer() { script.device.push_back({Arrival::closed, {}}); }
void readError() { script.device.push_back({Arrival::error, {}}); }
void silence() { script.device.push_back({Arrival::silence, {}}); }

Bytes unread() {
    Bytes out;
    for (const Arrival& a : script.device)
        if (a.kind == Arrival::bytes) out.insert(out.end(), a.data.begin(), a.data.end());
    return out;
}

std::vector<std::string> trace() {
    std::vector<std::string> lines;
    for (const Event& e : events) {
        const std::string v = std::to_string(e.value);
        switch (e.op) {
            case Op::startup: lines.push_back(e.value ? "startup" : "startup fails"); break;
            case Op::cleanup: lines.push_back("cleanup"); break;
            case Op::socket:
                lines.push_back(e.sock == -1 ? "socket fails" : "socket " + std::to_string(e.sock));
                break;
            case Op::nonBlocking: lines.push_back("nonblocking " + std::to_string(e.sock)); break;
            case Op::connect: lines.push_back("connect " + e.text); break;
            case Op::waitConnected: lines.push_back("connect wait " + v + "s"); break;
            case Op::waitReadable: lines.push_back("wait " + v + "s"); break;
            case Op::send: lines.push_back("send " + v); break;
            case Op::receive: lines.push_back("recv " + v); break;
            case Op::close: lines.push_back("close " + std::to_string(e.sock)); break;
            case Op::sleep: lines.push_back("sleep " + v); break;
            case Op::tick: lines.push_back("tick"); break;
        }
    }
    return lines;
}

std::vector<std::int64_t> values(Op op) {
    std::vector<std::int64_t> out;
    for (const Event& e : events)
        if (e.op == op) out.push_back(e.value);
    return out;
}

std::vector<std::int64_t> sendSizes() { return values(Op::send); }

int openSockets() {
    int open = 0;
    for (const Event& e : events) {
        if (e.op == Op::socket && e.sock != -1) ++open;
        if (e.op == Op::close) --open;
    }
    return open;
}

int startupReferences() {
    int refs = 0;
    for (const Event& e : events) {
        if (e.op == Op::startup && e.value) ++refs;
        if (e.op == Op::cleanup) --refs;
    }
    return refs;
}

int closesOf(Handle sock) {
    return static_cast<int>(std::count_if(events.begin(), events.end(), [sock](const Event& e) {
        return e.op == Op::close && e.sock == sock;
    }));
}

Handle sendSocket() {
    for (const Event& e : events)
        if (e.op == Op::send) return e.sock;
    return -1;
}

}  // namespace fake

// --- the seam -----------------------------------------------------------------

namespace morlune::platform {

using fake::Arrival;
using fake::Op;

bool startup() {
    bool ok = true;
    fake::take(fake::script.startup, ok);
    fake::note(Op::startup, -1, ok ? 1 : 0);
    return ok;
}

void cleanup() { fake::note(Op::cleanup, -1, 0); }

Handle openStream() {
    Handle sock = fake::nextHandle++;
    fake::take(fake::script.socket, sock);
    fake::note(Op::socket, sock, 0);
    return sock;
}

void setNonBlocking(Handle sock) { fake::note(Op::nonBlocking, sock, 0); }

ConnectStart connectIPv4(Handle sock, const char* ipText, std::uint16_t port) {
    ConnectStart start = ConnectStart::connected;
    fake::take(fake::script.connect, start);
    fake::note(Op::connect, sock, port, std::string(ipText) + ":" + std::to_string(port));
    return start;
}

bool waitConnected(Handle sock, std::int32_t seconds) {
    bool ok = true;
    fake::take(fake::script.waitConnected, ok);
    fake::note(Op::waitConnected, sock, seconds);
    return ok;
}

bool waitReadable(Handle sock, std::int32_t seconds) {
    fake::note(Op::waitReadable, sock, seconds);
    auto& device = fake::script.device;
    if (device.empty()) return false;
    if (device.front().kind == Arrival::silence) {
        device.pop_front();
        return false;
    }
    return true;
}

std::int32_t sendOnce(Handle sock, const std::uint8_t* bytes, std::int32_t length) {
    fake::note(Op::send, sock, length);
    fake::sends.emplace_back(bytes, bytes + length);
    std::int32_t accepted = length;
    if (fake::take(fake::script.send, accepted) && accepted >= 0)
        accepted = std::min(accepted, length);
    if (accepted > 0) fake::wire.insert(fake::wire.end(), bytes, bytes + accepted);
    return accepted;
}

std::int32_t receiveOnce(Handle sock, std::uint8_t* bytes, std::int32_t length) {
    fake::note(Op::receive, sock, length);
    auto& device = fake::script.device;
    if (device.empty() || device.front().kind == Arrival::silence) return -1;  // nothing readable
    Arrival& next = device.front();
    switch (next.kind) {
        case Arrival::closed: return 0;
        case Arrival::error: device.pop_front(); return -1;
        default: break;
    }
    const auto n = std::min<std::size_t>(static_cast<std::size_t>(length), next.data.size());
    std::copy_n(next.data.begin(), n, bytes);
    next.data.erase(next.data.begin(), next.data.begin() + static_cast<std::ptrdiff_t>(n));
    if (next.data.empty()) device.pop_front();
    return static_cast<std::int32_t>(n);
}

void closeSocket(Handle sock) { fake::note(Op::close, sock, 0); }

void sleepMs(std::uint32_t milliseconds) { fake::note(Op::sleep, -1, milliseconds); }

std::uint32_t tickMs() {
    std::uint32_t reading = fake::lastTick + 1;
    fake::take(fake::script.ticks, reading);
    fake::lastTick = reading;
    fake::note(Op::tick, -1, reading);
    return reading;
}

}  // namespace morlune::platform
