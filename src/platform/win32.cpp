// The platform seam on Windows: Winsock through wsock32, select(), Sleep and
// GetTickCount.
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

namespace morlune::platform {

namespace {

// The handle crosses the exports as a signed 32-bit value. Widening through
// intptr_t keeps -1 as INVALID_SOCKET on 64-bit builds as well.
SOCKET native(Handle sock) { return static_cast<SOCKET>(static_cast<std::intptr_t>(sock)); }

timeval wholeSeconds(std::int32_t seconds) {
    timeval limit{};
    limit.tv_sec = seconds < 0 ? 0 : seconds;
    limit.tv_usec = 0;
    return limit;
}

}  // namespace

// The granted version is not looked at: every Winsock that starts will do.
bool startup() {
    WSADATA granted;
    return ::WSAStartup(MAKEWORD(2, 2), &granted) == 0;
}

void cleanup() { ::WSACleanup(); }

Handle openStream() {
    const SOCKET sock = ::socket(AF_INET, SOCK_STREAM, 0);
    return sock == INVALID_SOCKET ? noSocket : static_cast<Handle>(sock);
}

void setNonBlocking(Handle sock) {
    u_long on = 1;
    ::ioctlsocket(native(sock), static_cast<long>(FIONBIO), &on);
}

ConnectStart connectIPv4(Handle sock, const char* ipText, std::uint16_t port) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = ::htons(port);
    peer.sin_addr.s_addr = ::inet_addr(ipText);
    if (::connect(native(sock), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) !=
        SOCKET_ERROR)
        return ConnectStart::connected;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStart::pending : ConnectStart::failed;
}

// Only the write set is watched: Winsock reports a refused attempt in the
// exception set alone, so a refusal ends when the time runs out, like silence.
bool waitConnected(Handle sock, std::int32_t seconds) {
    fd_set writeSet;
    FD_ZERO(&writeSet);
    FD_SET(native(sock), &writeSet);
    timeval limit = wholeSeconds(seconds);
    return ::select(64, nullptr, &writeSet, nullptr, &limit) == 1;
}

// Readable is what the set says afterwards: a wait that runs out empties it,
// and a failing wait leaves it as it was, so the read that follows reports
// the failure.
bool waitReadable(Handle sock, std::int32_t seconds) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(native(sock), &readSet);
    timeval limit = wholeSeconds(seconds);
    ::select(0, &readSet, nullptr, nullptr, &limit);
    return FD_ISSET(native(sock), &readSet) != 0;
}

std::int32_t sendOnce(Handle sock, const std::uint8_t* bytes, std::int32_t length) {
    const int sent = ::send(native(sock), reinterpret_cast<const char*>(bytes), length, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

std::int32_t receiveOnce(Handle sock, std::uint8_t* bytes, std::int32_t length) {
    const int got = ::recv(native(sock), reinterpret_cast<char*>(bytes), length, 0);
    return got == SOCKET_ERROR ? -1 : got;
}

void closeSocket(Handle sock) { ::closesocket(native(sock)); }

void sleepMs(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint32_t tickMs() { return ::GetTickCount(); }

}  // namespace morlune::platform
