// The framing rules that touch the connection: sends, waits and receives.
#include <algorithm>

#include "link/link.h"

namespace morlune {

bool ipSendWhole(Handle sock, const std::uint8_t* bytes, std::int32_t length) {
    return platform::sendOnce(sock, bytes, length) == length;
}

bool ipSendPaced(Handle sock, const std::uint8_t* block, std::int32_t length) {
    platform::sleepMs(pacedLeadPauseMs);
    for (std::int32_t offset = 0; offset < length;) {
        const std::int32_t chunk = std::min(pacedChunkLimit, length - offset);
        if (!ipSendWhole(sock, block + offset, chunk)) return false;
        offset += chunk;
        if (const std::uint32_t pause = ipChunkPauseMs(chunk, length)) platform::sleepMs(pause);
    }
    return true;
}

std::int32_t ipReceive(Handle sock, std::uint8_t* buffer, std::int32_t wanted,
                       std::int32_t seconds, std::int32_t readCap) {
    std::int32_t received = 0;
    while (received < wanted) {
        if (!platform::waitReadable(sock, seconds)) break;
        const std::int32_t ask = std::min(wanted - received, readCap);
        const std::int32_t got = platform::receiveOnce(sock, buffer + received, ask);
        if (got <= 0) break;
        received += got;
    }
    return received;
}

AckOutcome ipAwaitAck(Handle sock, std::int32_t seconds) {
    if (!platform::waitReadable(sock, seconds)) return AckOutcome::silent;
    std::uint8_t answer[2] = {};
    switch (platform::receiveOnce(sock, answer, 2)) {
        case 0: return AckOutcome::closed;
        case 1: return AckOutcome::oneByte;
        case 2:
            return answer[0] == ackFirst && answer[1] == ackSecond ? AckOutcome::acknowledged
                                                                   : AckOutcome::otherBytes;
        default: return AckOutcome::readError;
    }
}

}  // namespace morlune
