// What the one-shot transactions share.
#pragma once

#include <cstdint>

#include "link/link.h"

namespace morlune {

// A host length is usable when it is not negative and one spare byte after it
// can still be counted.
inline bool ipLengthUsable(std::int32_t length) { return length >= 0 && length < INT32_MAX; }

// ipOpenLink to the device port, with a second attempt at once when `attempts` is 2.
inline bool ipOpenDevice(Handle* sock, const char* ipText, int attempts) {
    for (int i = 0; i < attempts; ++i)
        if (ipOpenLink(sock, ipText, devicePort) == 0) return true;
    return false;
}

// Closes the transaction's connection and hands back its result.
inline std::int32_t ipCloseWith(Handle sock, std::int32_t result) {
    ipCloseLink(sock);
    return result;
}

}  // namespace morlune
