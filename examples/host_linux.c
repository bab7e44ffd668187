/* A Linux host: one read over a one-shot connection, then a held exchange.
 *
 *   host_linux ADDRESS PORT
 *
 * ADDRESS is the device's dotted IPv4 address (the read goes to its port
 * 8000); PORT is the port for the held connection. Build:
 *   cc host_linux.c $(pkg-config --cflags --libs morlune) -o host_linux
 */
#include <morlune.h>
#include <stdio.h>
#include <stdlib.h>

static void printHex(const char* label, const uint8_t* bytes, int count) {
    printf("%s", label);
    for (int i = 0; i < count; ++i) printf(" %02X", bytes[i]);
    printf("\n");
}

/* IPGetData: the command is 4 bytes, the buffer has a fifth, spare byte into
 * which the library writes the checksum. The reply buffer holds the 16 reply
 * bytes and their checksum. */
static int readOnce(const char* address) {
    uint8_t cmd[4 + 1] = {0x01, 0x10, 0x00, 0x00};
    uint8_t reply[16 + 1];
    int32_t result = IPGetData(4, cmd, 16, reply, address);
    printf("IPGetData -> %d\n", result);
    if (result != 0) return 0; /* 1 no connection, 2 nothing came, 3 short, 4 bad checksum */
    printHex("  reply:", reply, 16);
    return 1;
}

/* A held connection: the host sends complete frames of its own (the library
 * adds no checksum here) and checks the reply's checksum itself. */
static int heldExchange(const char* address, int32_t port) {
    int32_t sock = ipConnectDevice(address, port);
    if (sock == -1) {
        printf("ipConnectDevice -> -1 (no connection within 1 s)\n");
        return 0;
    }
    const uint8_t frame[5] = {0x01, 0x10, 0x00, 0x00, 0x11}; /* 0x11 = 0x01 + 0x10 */
    uint8_t reply[16 + 1];
    int32_t result = IPComm(5, frame, 17, reply, 0, sock);
    printf("IPComm -> %d\n", result);
    int good = 0;
    if (result == 0) {
        uint8_t sum = 0;
        for (int i = 0; i < 16; ++i) sum = (uint8_t)(sum + reply[i]);
        printHex("  reply:", reply, 16);
        if (sum == reply[16]) {
            const uint8_t ack[2] = {0x02, 0x4F};
            good = IPComm(2, ack, 0, NULL, 0, sock) == 0; /* recvLen 0: send only */
        } else {
            printf("  checksum %02X, expected %02X\n", reply[16], sum);
        }
    }
    ipCloseDevice(sock); /* on every outcome: the connection stays open until this */
    return good;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ADDRESS PORT\n", argv[0]);
        return 2;
    }
    const char* address = argv[1];
    int32_t port = (int32_t)strtol(argv[2], NULL, 10);
    int good = readOnce(address);
    good = heldExchange(address, port) && good;
    return good ? 0 : 1;
}
