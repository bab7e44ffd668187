// Opening and closing a device connection.
#include "link/link.h"

namespace morlune {

inline constexpr std::int32_t connectWaitSeconds = 1;

std::uint8_t ipOpenLink(Handle* sock, const char* ipText, std::int32_t port) {
    if (!platform::startup()) return 1;
    *sock = platform::openStream();
    if (*sock == platform::noSocket) {
        platform::cleanup();
        return 1;
    }
    platform::setNonBlocking(*sock);
    switch (platform::connectIPv4(*sock, ipText, static_cast<std::uint16_t>(port))) {
        case platform::ConnectStart::connected: return 0;
        case platform::ConnectStart::pending:
            if (platform::waitConnected(*sock, connectWaitSeconds)) return 0;
            break;
        case platform::ConnectStart::failed: break;
    }
    ipCloseLink(*sock);
    return 1;
}

void ipCloseLink(Handle sock) {
    platform::closeSocket(sock);
    platform::cleanup();
}

}  // namespace morlune
