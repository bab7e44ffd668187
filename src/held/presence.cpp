// The two-stage presence query over a held connection.
#include "link/link.h"
#include "morlune.h"

using namespace morlune;

namespace {

constexpr std::int32_t replyWaitSeconds = 2;
constexpr std::uint32_t stagePauseMs = 10;

// Spins on the tick counter until it has moved on by more than `ms`; the
// unsigned difference survives a wrap of the counter.
void spinPast(std::uint32_t ms) {
    const std::uint32_t start = platform::tickMs();
    while (static_cast<std::uint32_t>(platform::tickMs() - start) <= ms) {
    }
}

}  // namespace

int32_t MORLUNE_CALL iPonNet(int32_t deviceNo, uint8_t* out, int32_t sock) {
    const int32_t echo = deviceNo % 256;  // signed: negative numbers keep their sign

    uint8_t header[headerLength];
    ipBuildHeader(header, echo, 0xA0, 0x00, 0x00);
    if (!ipSendWhole(sock, header, headerLength)) return -1;
    uint8_t first[8];
    if (ipReceive(sock, first, 8, replyWaitSeconds, noReadCap) != 8) return 3;

    spinPast(stagePauseMs);

    ipBuildHeader(header, 0, 0xB4, first[0], first[1]);
    if (!ipSendWhole(sock, header, headerLength)) return -1;
    uint8_t second[6];
    if (ipReceive(sock, second, 6, replyWaitSeconds, noReadCap) != 6) return 3;

    if (second[1] != echo) return 0;  // not this device: nothing to report
    const uint8_t answer[7] = {second[1], second[2], second[3], first[2], first[3], first[4], first[5]};
    for (int i = 0; i < 7; ++i) out[i] = answer[i];
    return 0;
}
