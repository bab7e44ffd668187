// The one-shot write: command and paced data block out, acknowledgement in.
#include "morlune.h"
#include "oneshot/oneshot.h"

using namespace morlune;

namespace {

bool skipsAck(uint8_t commandCode) { return commandCode == 0xB5 || commandCode == 0xB6; }

int32_t writeResult(AckOutcome outcome) {
    switch (outcome) {
        case AckOutcome::acknowledged: return 0;
        case AckOutcome::closed: return 1;
        case AckOutcome::readError: return 2;
        case AckOutcome::silent:
        case AckOutcome::oneByte: return 3;
        case AckOutcome::otherBytes: return 4;
    }
    return 3;
}

}  // namespace

int32_t MORLUNE_CALL IPSendData(int32_t cmdLen, uint8_t* cmd, int32_t dataLen, uint8_t* data,
                                const char* ipText) {
    if (!ipLengthUsable(cmdLen) || !ipLengthUsable(dataLen)) return 2;

    Handle sock = platform::noSocket;
    if (!ipOpenDevice(&sock, ipText, 1)) return 1;

    ipCompleteFrame(cmd, cmdLen);
    if (!ipSendWhole(sock, cmd, cmdLen + 1)) return ipCloseWith(sock, 2);
    if (dataLen == 0) return ipCloseWith(sock, 0);

    ipCompleteFrame(data, dataLen);
    const int32_t blockLength = dataLen + 1;
    if (!ipSendPaced(sock, data, blockLength)) return ipCloseWith(sock, 2);
    if (skipsAck(cmd[1])) return ipCloseWith(sock, 0);

    if (const uint32_t pause = ipWriteAckPauseMs(blockLength)) platform::sleepMs(pause);
    const AckOutcome outcome = ipAwaitAck(sock, ipWriteAckWaitSeconds(blockLength));
    return ipCloseWith(sock, writeResult(outcome));
}
