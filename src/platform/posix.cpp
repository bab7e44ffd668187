// The platform seam on POSIX: BSD sockets, poll(), a monotonic clock.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace morlune::platform {

namespace {

using Clock = std::chrono::steady_clock;

// poll() instead of select(): select() cannot watch descriptors of 1024 and
// above, which hosts holding many connections reach. A signal does not end
// the wait: it goes on for the rest of its time.
short waitFor(Handle sock, short events, std::int32_t seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    pollfd entry{};
    entry.fd = sock;
    entry.events = events;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 1 << 30));
        entry.revents = 0;
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0) return entry.revents;
        if (ready < 0 && errno != EINTR) return POLLERR;
        if (ready == 0 && left.count() <= (1 << 30)) return 0;
    }
}

}  // namespace

// POSIX sockets need no start-up: a device connection holds no reference.
bool startup() { return true; }
void cleanup() {}

Handle openStream() {
    // Close-on-exec: a program the host starts must not hold a device
    // connection open after the host has closed it.
    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return sock < 0 ? noSocket : sock;
}

void setNonBlocking(Handle sock) {
    const int flags = ::fcntl(sock, F_GETFL, 0);
    ::fcntl(sock, F_SETFL, flags | O_NONBLOCK);
}

ConnectStart connectIPv4(Handle sock, const char* ipText, std::uint16_t port) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = ::inet_addr(ipText);
    if (::connect(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0)
        return ConnectStart::connected;
    return errno == EINPROGRESS ? ConnectStart::pending : ConnectStart::failed;
}

// A refused or failed attempt is reported writable too; SO_ERROR tells the
// two apart, so a refusal ends the wait as soon as it is known.
bool waitConnected(Handle sock, std::int32_t seconds) {
    if ((waitFor(sock, POLLOUT, seconds) & POLLOUT) == 0) return false;
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

bool waitReadable(Handle sock, std::int32_t seconds) {
    return (waitFor(sock, POLLIN, seconds) & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// MSG_NOSIGNAL: a device that has gone away gives a failed send, not SIGPIPE.
std::int32_t sendOnce(Handle sock, const std::uint8_t* bytes, std::int32_t length) {
    const ssize_t sent = ::send(sock, bytes, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    return sent < 0 ? -1 : static_cast<std::int32_t>(sent);
}

std::int32_t receiveOnce(Handle sock, std::uint8_t* bytes, std::int32_t length) {
    const ssize_t got = ::recv(sock, bytes, static_cast<std::size_t>(length), 0);
    return got < 0 ? -1 : static_cast<std::int32_t>(got);
}

void closeSocket(Handle sock) { ::close(sock); }

void sleepMs(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint32_t tickMs() {
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
        Clock::now().time_since_epoch());
    return static_cast<std::uint32_t>(since.count());
}

}  // namespace morlune::platform
