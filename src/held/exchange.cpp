// Exchanges of the host's own frames over a held connection. The host's bytes
// go out unchanged; replies are taken as they arrive.
#include "link/link.h"
#include "morlune.h"

using namespace morlune;

namespace {

constexpr std::int32_t replyWaitSeconds = 2;

bool sendHostBytes(Handle sock, const uint8_t* sendBuf, int32_t sendLen) {
    return sendLen >= 0 && ipSendWhole(sock, sendBuf, sendLen);
}

}  // namespace

int32_t MORLUNE_CALL IPComm(int32_t sendLen, const uint8_t* sendBuf, int32_t recvLen,
                            uint8_t* recvBuf, int32_t /*reserved*/, int32_t sock) {
    if (!sendHostBytes(sock, sendBuf, sendLen)) return -1;
    if (recvLen == 0) return 0;
    if (recvLen < 0) return -2;
    if (ipReceive(sock, recvBuf, recvLen, replyWaitSeconds, noReadCap) != recvLen) return -2;
    return 0;
}

int32_t MORLUNE_CALL IPget(int32_t sendLen, const uint8_t* sendBuf, int32_t recvLen,
                           uint8_t* recvBuf, int32_t sock) {
    if (!sendHostBytes(sock, sendBuf, sendLen)) return -1;
    if (recvLen == 0) return 0;
    if (recvLen < 0) return -2;
    if (ipReceive(sock, recvBuf, recvLen, replyWaitSeconds, noReadCap) != recvLen) return -2;
    const uint8_t zeros[2] = {0x00, 0x00};
    ipSendWhole(sock, zeros, 2);  // the device is not expected to care; the result stays 0
    return 0;
}

int32_t MORLUNE_CALL IPsend(int32_t sendLen, const uint8_t* sendBuf, int32_t dataLen,
                            int32_t /*reserved*/, int32_t sock) {
    if (!sendHostBytes(sock, sendBuf, sendLen)) return -1;
    if (dataLen == 0) return 0;
    return ipAwaitAck(sock, ipSendAckWaitSeconds(dataLen)) == AckOutcome::acknowledged ? 0 : 1;
}
