// The one-shot black-list download: header, paced list block, acknowledgement.
#include "morlune.h"
#include "oneshot/listcode.h"
#include "oneshot/oneshot.h"

using namespace morlune;

namespace {

constexpr uint8_t blackListCode = 0xA5;
constexpr int32_t ackWaitSeconds = 1;

}  // namespace

int32_t MORLUNE_CALL IPsendBlack(int32_t deviceNo, int32_t entryCount, const uint8_t* entries,
                                 const char* ipText) {
    Handle sock = platform::noSocket;
    if (!ipOpenDevice(&sock, ipText, 2)) return 1;

    uint8_t header[headerLength];
    ipBuildHeader(header, deviceNo, blackListCode, 0x00, 0x00);
    if (entryCount <= 0) return ipCloseWith(sock, 6);

    uint8_t block[listBlockCapacity];
    const int32_t length = entryCount == 1 ? ipEncodeSingle(block, ipEntryNumber(entries))
                                           : ipEncodeBitmap(block, entries, entryCount);
    ipCompleteFrame(block, length);

    if (!ipSendWhole(sock, header, headerLength)) return ipCloseWith(sock, 2);
    if (!ipSendPaced(sock, block, length + 1)) return ipCloseWith(sock, 2);
    const AckOutcome outcome = ipAwaitAck(sock, ackWaitSeconds);
    return ipCloseWith(sock, outcome == AckOutcome::acknowledged ? 0 : 1);
}
