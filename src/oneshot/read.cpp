// The one-shot read: command out, verified reply in, acknowledged.
#include "morlune.h"
#include "oneshot/oneshot.h"

using namespace morlune;

namespace {

constexpr std::uint32_t afterAckPauseMs = 100;

}  // namespace

int32_t MORLUNE_CALL IPGetData(int32_t cmdLen, uint8_t* cmd, int32_t replyLen, uint8_t* reply,
                               const char* ipText) {
    if (!ipLengthUsable(cmdLen) || !ipLengthUsable(replyLen)) return 2;

    Handle sock = platform::noSocket;
    if (!ipOpenDevice(&sock, ipText, 2)) return 1;

    ipCompleteFrame(cmd, cmdLen);
    if (!ipSendWhole(sock, cmd, cmdLen + 1)) return ipCloseWith(sock, 2);
    if (replyLen == 0) return ipCloseWith(sock, 0);

    const int32_t wanted = replyLen + 1;
    const int32_t received = ipReceive(sock, reply, wanted, ipReplyWaitSeconds(cmd[1], replyLen),
                                       pacedChunkLimit);
    if (received == 0) return ipCloseWith(sock, 2);
    if (received < wanted) return ipCloseWith(sock, 3);
    if (!ipBlockSound(reply, replyLen)) return ipCloseWith(sock, 4);

    const uint8_t ack[2] = {ackFirst, ackSecond};
    ipSendWhole(sock, ack, 2);  // the reply is already ours; a lost ack is the device's concern
    platform::sleepMs(afterAckPauseMs);
    return ipCloseWith(sock, 0);
}
