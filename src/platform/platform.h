// The seam between the library and the operating system: every call the
// library makes of the platform goes through these functions. Exactly one
// implementation is linked into each binary (POSIX, Winsock, or the scripted
// fake of the unit tests).
#pragma once

#include <cstdint>

namespace morlune::platform {

// A socket handle as it crosses the exported interface; -1 is no socket.
using Handle = std::int32_t;
inline constexpr Handle noSocket = -1;

enum class ConnectStart { connected, pending, failed };

// One start-up reference on the socket library per device connection.
// Returns false when the socket library does not start.
bool startup();
void cleanup();

Handle openStream();
void setNonBlocking(Handle sock);
// Builds the IPv4 peer from the address text as the platform reads it (text
// it cannot read becomes the all-ones address) and the port, and starts the
// connection.
ConnectStart connectIPv4(Handle sock, const char* ipText, std::uint16_t port);
// Waits at most `seconds` for a pending connection; true when it is established.
bool waitConnected(Handle sock, std::int32_t seconds);
// Waits at most `seconds` (0: just looks) for the socket to become readable.
bool waitReadable(Handle sock, std::int32_t seconds);
// One send call of `length` (>= 0) bytes: the count accepted, or -1.
std::int32_t sendOnce(Handle sock, const std::uint8_t* bytes, std::int32_t length);
// One receive call of at most `length` (> 0) bytes: the count, 0 when the
// peer has closed, or -1.
std::int32_t receiveOnce(Handle sock, std::uint8_t* bytes, std::int32_t length);
void closeSocket(Handle sock);

void sleepMs(std::uint32_t milliseconds);
std::uint32_t tickMs();

}  // namespace morlune::platform
