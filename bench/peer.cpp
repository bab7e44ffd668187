#include "peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace morlune::bench {

namespace {

sockaddr_in addressOf(const char* ipText, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = ::inet_addr(ipText);
    return address;
}

bool waitFor(int fd, short events, int milliseconds) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, milliseconds);
        if (ready >= 0) return ready > 0;
        if (errno != EINTR) return false;
    }
}

}  // namespace

int listenOn(const char* ipText, std::uint16_t port, int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in address = addressOf(ipText, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t localPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool readExact(int fd, std::uint8_t* bytes, std::size_t length) {
    std::size_t got = 0;
    while (got < length) {
        if (!waitFor(fd, POLLIN, 10000)) return false;
        const ssize_t r = ::recv(fd, bytes + got, length - got, 0);
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t length) {
    std::size_t put = 0;
    while (put < length) {
        const ssize_t r = ::send(fd, bytes + put, length - put, MSG_NOSIGNAL);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, 10000)) return false;
            continue;
        }
        if (r <= 0) return false;
        put += static_cast<std::size_t>(r);
    }
    return true;
}

std::size_t drainUntilClosed(int fd, int seconds) {
    std::size_t dropped = 0;
    std::uint8_t sink[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!waitFor(fd, POLLIN, 100)) continue;
        const ssize_t r = ::recv(fd, sink, sizeof sink, 0);
        if (r <= 0) break;
        dropped += static_cast<std::size_t>(r);
    }
    return dropped;
}

int connectPlain(const char* ipText, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    const sockaddr_in address = addressOf(ipText, port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    int error = errno;
    if (error == EINPROGRESS && waitFor(fd, POLLOUT, 1000)) {
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) return fd;
    }
    ::close(fd);
    return -1;
}

bool plainExchange(int fd, const std::uint8_t* command, int commandLength, std::uint8_t* reply,
                   int replyLength) {
    if (::send(fd, command, static_cast<std::size_t>(commandLength), MSG_NOSIGNAL) != commandLength)
        return false;
    int got = 0;
    pollfd entry{fd, POLLIN, 0};
    while (got < replyLength) {
        entry.revents = 0;
        if (::poll(&entry, 1, 2000) <= 0) return false;
        const ssize_t r = ::recv(fd, reply + got, static_cast<std::size_t>(replyLength - got), 0);
        if (r <= 0) return false;
        got += static_cast<int>(r);
    }
    return true;
}

// --- FixedReplyPeer ------------------------------------------------------------

FixedReplyPeer::FixedReplyPeer(const char* ipText, int commandLength, int replyLength)
    : commandLength_(commandLength), replyLength_(replyLength) {
    listener_ = listenOn(ipText, 0, 8192);
    if (listener_ < 0) return;
    port_ = localPort(listener_);
    ::fcntl(listener_, F_SETFL, ::fcntl(listener_, F_GETFL, 0) | O_NONBLOCK);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener_;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &event);
    thread_ = std::thread([this] { run(); });
}

FixedReplyPeer::~FixedReplyPeer() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (epoll_ >= 0) ::close(epoll_);
    if (listener_ >= 0) ::close(listener_);
}

void FixedReplyPeer::run() {
    std::vector<std::uint8_t> reply(static_cast<std::size_t>(replyLength_));
    for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<std::uint8_t>(i * 7 + 1);
    std::vector<int> pending;  // bytes of an incomplete command, by descriptor
    std::vector<int> open;
    std::vector<std::uint8_t> sink(1 << 16);
    epoll_event events[256];
    while (!stop_.load()) {
        const int ready = ::epoll_wait(epoll_, events, 256, 50);
        for (int e = 0; e < ready; ++e) {
            const int fd = events[e].data.fd;
            if (fd == listener_) {
                for (;;) {
                    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client < 0) break;
                    if (static_cast<std::size_t>(client) >= pending.size())
                        pending.resize(static_cast<std::size_t>(client) + 1024, 0);
                    pending[static_cast<std::size_t>(client)] = 0;
                    open.push_back(client);
                    epoll_event event{};
                    event.events = EPOLLIN;
                    event.data.fd = client;
                    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, client, &event);
                }
                continue;
            }
            for (;;) {
                const ssize_t r = ::recv(fd, sink.data(), sink.size(), 0);
                if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
                    ::close(fd);
                    std::erase(open, fd);
                    break;
                }
                if (r < 0) break;
                int& count = pending[static_cast<std::size_t>(fd)];
                count += static_cast<int>(r);
                while (count >= commandLength_) {
                    count -= commandLength_;
                    if (silent_.load()) continue;
                    if (writeAll(fd, reply.data(), reply.size())) answered_.fetch_add(1);
                }
                if (static_cast<std::size_t>(r) < sink.size()) break;
            }
        }
    }
    for (const int fd : open) ::close(fd);
}

// --- ScriptedPeer --------------------------------------------------------------

ScriptedPeer::ScriptedPeer(const char* ipText, std::uint16_t port, Serve serve)
    : serve_(std::move(serve)) {
    listener_ = listenOn(ipText, port, 64);
    if (listener_ < 0) return;
    port_ = localPort(listener_);
    thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
}

void ScriptedPeer::run() {
    while (!stop_.load()) {
        if (!waitFor(listener_, POLLIN, 50)) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serve_(fd);
        ::close(fd);
        served_.fetch_add(1);
    }
}

}  // namespace morlune::bench

// --- scripted devices ----------------------------------------------------------

namespace morlune::bench {

namespace {

const std::uint8_t acknowledgement[2] = {0x02, 0x4F};

std::uint8_t checksumOf(const std::uint8_t* bytes, std::size_t length) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

}  // namespace

void servePromptDevice(int fd) {
    std::uint8_t header[5];
    if (!readExact(fd, header, 5)) return;
    std::vector<std::uint8_t> block(20000);
    const std::size_t length = header[2] * 256u + header[3];
    switch (header[1]) {
        case 0x10: {
            for (std::size_t i = 0; i < length; ++i) block[i] = static_cast<std::uint8_t>(i);
            block[length] = checksumOf(block.data(), length);
            if (!writeAll(fd, block.data(), length + 1)) return;
            std::uint8_t answer[2];
            readExact(fd, answer, 2);
            break;
        }
        case 0x20:
            if (!readExact(fd, block.data(), length + 1)) return;
            writeAll(fd, acknowledgement, 2);
            break;
        case 0xA5: {
            if (!readExact(fd, block.data(), 6)) return;
            const std::size_t dataLength = block[2] + block[3] * 256u;
            if (!readExact(fd, block.data() + 6, dataLength + 1)) return;
            writeAll(fd, acknowledgement, 2);
            break;
        }
        default: break;
    }
    drainUntilClosed(fd, 10);
}

std::unique_ptr<ScriptedPeer> devicePeerOnPort8000(int slot, ScriptedPeer::Serve serve, std::string* address) {
    for (int block = 0; block < 64; ++block) {
        *address = "127." + std::to_string(block) + ".0." + std::to_string(slot);
        auto peer = std::make_unique<ScriptedPeer>(address->c_str(), 8000, serve);
        if (peer->ok()) return peer;
    }
    return nullptr;
}

void serveHeldDevice(int fd) {
    std::uint8_t header[5];
    std::uint8_t answer[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    while (readExact(fd, header, 5)) {
        switch (header[1]) {
            case 0x30: writeAll(fd, answer, 8); break;
            case 0x31: {
                writeAll(fd, answer, 8);
                std::uint8_t zeros[2];
                readExact(fd, zeros, 2);
                break;
            }
            case 0x32: writeAll(fd, acknowledgement, 2); break;
            case 0xA0: {
                const std::uint8_t device = header[0];
                writeAll(fd, answer, 8);
                if (!readExact(fd, header, 5)) return;
                const std::uint8_t second[6] = {0x00, device, 0x01, 0x02, 0x03, 0x04};
                writeAll(fd, second, 6);
                break;
            }
            default: return;
        }
    }
}

}  // namespace morlune::bench
