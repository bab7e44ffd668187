/* Binds every export through the import library, as a host built with the
 * header and Morlune.lib does. Never run: the check reads what it imports. */
#include "morlune.h"

int main(int argc, char** argv) {
    (void)argv;
    if (argc >= 0) return 0;
    uint8_t bytes[8] = {0};
    int32_t sum = IPComm(0, bytes, 0, bytes, 0, -1) + IPGetData(0, bytes, 0, bytes, "") +
                  IPSearch(0) + IPSendData(0, bytes, 0, bytes, "") + IPSetIPAddr(0, 0, 0) +
                  IPget(0, bytes, 0, bytes, -1) + IPsend(0, bytes, 0, 0, -1) +
                  IPsendBlack(0, 0, bytes, "") + iPonNet(0, bytes, -1) + ipCloseDevice(-1) +
                  ipConnectDevice("", 0);
    return (int)sum;
}
