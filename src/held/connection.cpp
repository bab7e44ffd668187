// Held connections: the host keeps the handle between calls.
#include "link/link.h"
#include "morlune.h"

using namespace morlune;

int32_t MORLUNE_CALL ipConnectDevice(const char* ipText, int32_t port) {
    Handle sock = platform::noSocket;
    if (ipOpenLink(&sock, ipText, port) != 0) return platform::noSocket;
    return sock;
}

int32_t MORLUNE_CALL ipCloseDevice(int32_t sock) {
    ipCloseLink(sock);
    return 0;
}
