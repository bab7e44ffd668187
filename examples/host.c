/*
 * A host program that loads Morlune.dll at run time, as legacy hosts do:
 * it resolves every export by name and by ordinal, checks that both reach the
 * same function, and runs one exchange of each family against a device.
 *
 *   host ADDRESS HELDPORT [CLOSEDPORT]
 *
 * ADDRESS is the device's dotted IPv4 address (the one-shot transactions use
 * its port 8000), HELDPORT the port of a held connection. With CLOSEDPORT, a
 * port where nothing listens, it also checks that a held connection to it
 * fails. The device is expected to answer as the messages below say.
 * Exit status 0 when every check held; otherwise each failed check is named.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "morlune.h"

typedef int32_t(MORLUNE_CALL* IPCommFn)(int32_t, const uint8_t*, int32_t, uint8_t*, int32_t,
                                        int32_t);
typedef int32_t(MORLUNE_CALL* IPGetDataFn)(int32_t, uint8_t*, int32_t, uint8_t*, const char*);
typedef int32_t(MORLUNE_CALL* IPSearchFn)(int32_t);
typedef int32_t(MORLUNE_CALL* IPSendDataFn)(int32_t, uint8_t*, int32_t, uint8_t*, const char*);
typedef int32_t(MORLUNE_CALL* IPSetIPAddrFn)(int32_t, int32_t, int32_t);
typedef int32_t(MORLUNE_CALL* IPgetFn)(int32_t, const uint8_t*, int32_t, uint8_t*, int32_t);
typedef int32_t(MORLUNE_CALL* IPsendFn)(int32_t, const uint8_t*, int32_t, int32_t, int32_t);
typedef int32_t(MORLUNE_CALL* IPsendBlackFn)(int32_t, int32_t, const uint8_t*, const char*);
typedef int32_t(MORLUNE_CALL* iPonNetFn)(int32_t, uint8_t*, int32_t);
typedef int32_t(MORLUNE_CALL* ipCloseDeviceFn)(int32_t);
typedef int32_t(MORLUNE_CALL* ipConnectDeviceFn)(const char*, int32_t);

enum { exportCount = 11 };

typedef struct {
    const char* name;
    WORD ordinal;
} ExportRow;

typedef struct {
    IPCommFn IPComm;
    IPGetDataFn IPGetData;
    IPSearchFn IPSearch;
    IPSendDataFn IPSendData;
    IPSetIPAddrFn IPSetIPAddr;
    IPgetFn IPget;
    IPsendFn IPsend;
    IPsendBlackFn IPsendBlack;
    iPonNetFn iPonNet;
    ipCloseDeviceFn ipCloseDevice;
    ipConnectDeviceFn ipConnectDevice;
} Morlune;

static int failures = 0;

static void check(int holds, const char* what) {
    if (!holds) {
        ++failures;
        printf("FAILED: %s\n", what);
    } else {
        printf("ok: %s\n", what);
    }
}

static void checkResult(int32_t got, int32_t expected, const char* what) {
    char line[160];
    snprintf(line, sizeof line, "%s returns %ld (got %ld)", what, (long)expected, (long)got);
    check(got == expected, line);
}

static void checkBytes(const uint8_t* got, const uint8_t* expected, size_t length,
                       const char* what) {
    check(memcmp(got, expected, length) == 0, what);
}

/* Function pointers of different types do not convert into each other
 * directly; through a generic one they do, with no warning. */
typedef void (*AnyFn)(void);

static int resolve(HMODULE dll, AnyFn resolved[exportCount]) {
    static const ExportRow rows[exportCount] = {
        {"IPComm", 1},   {"IPGetData", 2},   {"IPSearch", 3},      {"IPSendData", 4},
        {"IPSetIPAddr", 5}, {"IPget", 6},    {"IPsend", 7},        {"IPsendBlack", 8},
        {"iPonNet", 9},  {"ipCloseDevice", 10}, {"ipConnectDevice", 11},
    };
    int all = 1;
    for (int i = 0; i < exportCount; ++i) {
        AnyFn byName = (AnyFn)GetProcAddress(dll, rows[i].name);
        AnyFn byOrdinal = (AnyFn)GetProcAddress(dll, MAKEINTRESOURCEA(rows[i].ordinal));
        char line[96];
        snprintf(line, sizeof line, "%s by name and by ordinal %u is one function",
                 rows[i].name, (unsigned)rows[i].ordinal);
        check(byName != NULL && byName == byOrdinal, line);
        all = all && byName != NULL && byName == byOrdinal;
        resolved[i] = byName;
    }
    return all;
}

static uint8_t sum(const uint8_t* bytes, size_t length) {
    unsigned total = 0;
    for (size_t i = 0; i < length; ++i) total += bytes[i];
    return (uint8_t)total;
}

static void fixedValues(const Morlune* m) {
    checkResult(m->IPSetIPAddr(1, -2, 0x7fffffff), 0, "IPSetIPAddr");
    checkResult(m->IPSearch(-1), 1, "IPSearch");
}

/* Device: takes [07 A1 01 02 sum], answers 10 20 30 40 A0, expects 02 4F. */
static void readTransaction(const Morlune* m, const char* address) {
    uint8_t cmd[5] = {0x07, 0xA1, 0x01, 0x02, 0xEE};
    uint8_t reply[5] = {0};
    const uint8_t expected[5] = {0x10, 0x20, 0x30, 0x40, 0xA0};
    checkResult(m->IPGetData(4, cmd, 4, reply, address), 0, "IPGetData");
    check(cmd[4] == sum(cmd, 4), "IPGetData completes the command with its checksum");
    checkBytes(reply, expected, sizeof expected, "IPGetData reply and checksum");
}

/* Device: takes [07 31 00 00 38] and [01 02 03 04 05 0F], answers 02 4F. */
static void writeTransaction(const Morlune* m, const char* address) {
    uint8_t cmd[5] = {0x07, 0x31, 0x00, 0x00, 0xEE};
    uint8_t data[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0xEE};
    checkResult(m->IPSendData(4, cmd, 5, data, address), 0, "IPSendData");
    check(data[5] == 0x0F, "IPSendData completes the data block with its checksum");
}

/* Device: takes [07 A5 00 00 AC] and the single-entry block for number 10,
 * answers 02 4F. */
static void blackList(const Morlune* m, const char* address) {
    const uint8_t entry[3] = {0x00, 0x00, 0x0A};
    checkResult(m->IPsendBlack(7, 1, entry, address), 0, "IPsendBlack");
}

/* Device, on one connection: takes 51 52 53, answers 61 62 63 64; takes
 * 71 72, answers 81 82 83, takes 00 00; takes 91 92 93 94, answers 02 4F;
 * then the presence query of device 7 (see below). */
static void heldConnection(const Morlune* m, const char* address, int32_t port) {
    const int32_t sock = m->ipConnectDevice(address, port);
    check(sock != -1, "ipConnectDevice to a listening device gives a handle");
    if (sock == -1) return;

    const uint8_t comm[3] = {0x51, 0x52, 0x53};
    const uint8_t commReply[4] = {0x61, 0x62, 0x63, 0x64};
    uint8_t got[8] = {0};
    checkResult(m->IPComm(3, comm, 4, got, 0, sock), 0, "IPComm");
    checkBytes(got, commReply, 4, "IPComm reply");

    const uint8_t get[2] = {0x71, 0x72};
    const uint8_t getReply[3] = {0x81, 0x82, 0x83};
    memset(got, 0, sizeof got);
    checkResult(m->IPget(2, get, 3, got, sock), 0, "IPget");
    checkBytes(got, getReply, 3, "IPget reply");

    const uint8_t send[4] = {0x91, 0x92, 0x93, 0x94};
    checkResult(m->IPsend(4, send, 1, 0, sock), 0, "IPsend");

    /* First reply 11 22 33 44 55 66 77 88, second 00 07 AA BB 00 00. */
    const uint8_t presence[7] = {0x07, 0xAA, 0xBB, 0x33, 0x44, 0x55, 0x66};
    uint8_t out[7] = {0};
    checkResult(m->iPonNet(7, out, sock), 0, "iPonNet");
    checkBytes(out, presence, sizeof presence, "iPonNet output");

    checkResult(m->ipCloseDevice(sock), 0, "ipCloseDevice");
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s ADDRESS HELDPORT [CLOSEDPORT]\n", argv[0]);
        return 2;
    }
    const char* address = argv[1];
    setvbuf(stdout, NULL, _IONBF, 0);

    HMODULE dll = LoadLibraryA("Morlune.dll");
    check(dll != NULL, "Morlune.dll loads");
    if (dll == NULL) return 1;

    AnyFn f[exportCount];
    if (!resolve(dll, f)) return 1;
    Morlune m;
    m.IPComm = (IPCommFn)f[0];
    m.IPGetData = (IPGetDataFn)f[1];
    m.IPSearch = (IPSearchFn)f[2];
    m.IPSendData = (IPSendDataFn)f[3];
    m.IPSetIPAddr = (IPSetIPAddrFn)f[4];
    m.IPget = (IPgetFn)f[5];
    m.IPsend = (IPsendFn)f[6];
    m.IPsendBlack = (IPsendBlackFn)f[7];
    m.iPonNet = (iPonNetFn)f[8];
    m.ipCloseDevice = (ipCloseDeviceFn)f[9];
    m.ipConnectDevice = (ipConnectDeviceFn)f[10];

    fixedValues(&m);
    readTransaction(&m, address);
    writeTransaction(&m, address);
    blackList(&m, address);
    heldConnection(&m, address, atoi(argv[2]));
    if (argc > 3)
        checkResult(m.ipConnectDevice(address, atoi(argv[3])), -1,
                    "ipConnectDevice where nothing listens");

    check(FreeLibrary(dll) != 0, "Morlune.dll unloads");
    printf("%d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
