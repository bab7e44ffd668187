// Pure frame rules: checksums, headers, pauses and wait times.
#include <algorithm>

#include "link/link.h"

namespace morlune {

std::uint8_t ipChecksum(const std::uint8_t* bytes, std::int32_t length) {
    std::uint8_t sum = 0;
    for (std::int32_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    return sum;
}

void ipCompleteFrame(std::uint8_t* bytes, std::int32_t length) {
    bytes[length] = ipChecksum(bytes, length);
}

bool ipBlockSound(const std::uint8_t* block, std::int32_t length) {
    return ipChecksum(block, length) == block[length];
}

void ipBuildHeader(std::uint8_t header[headerLength], std::int32_t deviceNo, std::uint8_t code,
                   std::uint8_t first, std::uint8_t second) {
    header[0] = static_cast<std::uint8_t>(deviceNo);
    header[1] = code;
    header[2] = first;
    header[3] = second;
    ipCompleteFrame(header, 4);
}

std::uint32_t ipChunkPauseMs(std::int32_t chunkLength, std::int32_t blockLength) {
    return blockLength > 20 ? static_cast<std::uint32_t>(chunkLength) + 300 : 0;
}

std::int32_t ipReplyWaitSeconds(std::uint8_t commandCode, std::int32_t replyLen) {
    if (commandCode == 0xA1 || commandCode == 0xC1 || commandCode == 0xD1) return 1;
    return 2 + std::max(1, replyLen / 900);
}

std::uint32_t ipWriteAckPauseMs(std::int32_t blockLength) { return blockLength >= 20 ? 1000 : 0; }

std::int32_t ipWriteAckWaitSeconds(std::int32_t blockLength) { return blockLength >= 20 ? 4 : 1; }

std::int32_t ipSendAckWaitSeconds(std::int32_t dataLen) { return std::max(0, dataLen / 900 + 2); }

}  // namespace morlune
