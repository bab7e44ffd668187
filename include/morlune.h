/*
 * Morlune: talk to field devices over TCP/IPv4.
 *
 * Every export takes 32-bit values and returns a signed 32-bit result.
 * Nothing is validated beyond what each comment states: buffers must be at
 * least as long as their lengths say. The library keeps no state between
 * calls, starts no thread and takes no lock; calls on different threads run
 * side by side. A held connection is used by one call at a time.
 *
 * Time bounds: a connection attempt waits at most 1 s. Device waits are whole
 * seconds, each a wait for the socket to become readable; while bytes keep
 * arriving a receive may wait again, once per read.
 */
#ifndef MORLUNE_H
#define MORLUNE_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define MORLUNE_CALL __stdcall
#else
#define MORLUNE_CALL
#endif

/* On Windows the module-definition file exports the names undecorated. */
#if !defined(_WIN32) && defined(__GNUC__)
#define MORLUNE_API __attribute__((visibility("default")))
#else
#define MORLUNE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 1. Held connection: sends sendLen bytes of sendBuf unchanged in one send,
 * then receives exactly recvLen bytes into recvBuf (2 s wait before each read).
 *   0  sent whole, and recvLen is 0 or recvLen bytes arrived
 *  -1  send failed or was short (or sendLen < 0: nothing sent); recvBuf untouched
 *  -2  fewer than recvLen bytes arrived (silence for 2 s, peer closed, read
 *      error) or recvLen < 0; recvBuf holds what arrived, the rest untouched
 * Surplus bytes stay queued for the next call. reserved is never read. */
MORLUNE_API int32_t MORLUNE_CALL IPComm(int32_t sendLen, const uint8_t* sendBuf, int32_t recvLen,
                                         uint8_t* recvBuf, int32_t reserved, int32_t sock);

/* 2. One-shot read from port 8000 of ipText. cmd needs cmdLen + 1 bytes (the
 * library writes the command's checksum into cmd[cmdLen]); cmd[1] is the
 * command code. reply needs replyLen + 1 bytes: the reply and its checksum.
 *   0  done; reply holds replyLen bytes and their checksum (untouched when
 *      replyLen is 0), and the reply was acknowledged
 *   1  no connection in two attempts; cmd and reply untouched
 *   2  command not sent whole, or no reply byte arrived; reply untouched.
 *      Also for cmdLen < 0 or replyLen < 0 (or INT32_MAX): nothing is
 *      opened, sent or written
 *   3  reply stopped early: reply holds the bytes that arrived
 *   4  reply complete but its checksum is wrong: reply holds all it got
 * Blocks up to 2 s connecting, then up to T s per read, T = 1 s for command
 * codes 0xA1, 0xC1, 0xD1, else 2 + max(1, replyLen / 900) s; 100 ms after
 * the acknowledgement. */
MORLUNE_API int32_t MORLUNE_CALL IPGetData(int32_t cmdLen, uint8_t* cmd, int32_t replyLen,
                                            uint8_t* reply, const char* ipText);

/* 3. Always 1; reserved is never read. No other effect. */
MORLUNE_API int32_t MORLUNE_CALL IPSearch(int32_t reserved);

/* 4. One-shot write to port 8000 of ipText: the command (checksum written
 * into cmd[cmdLen]) and then the data block (checksum written into
 * data[dataLen]), paced in chunks of at most 1000 bytes.
 *   0  sent, and dataLen is 0, or the command code cmd[1] is 0xB5/0xB6, or
 *      the device acknowledged with 02 4F
 *   1  no connection (one attempt), or the device closed instead of answering
 *   2  command or a chunk not sent whole, or the acknowledgement read failed.
 *      Also for cmdLen < 0 or dataLen < 0 (or INT32_MAX): nothing is opened,
 *      sent or written
 *   3  no answer within the wait, or only one byte of it
 *   4  two bytes that are not 02 4F
 * Blocks up to 1 s connecting, 10 ms + (chunk + 300) ms per chunk when the
 * block with its checksum exceeds 20 bytes, then 1000 ms + 4 s (20 bytes or
 * more) or 1 s for the acknowledgement. */
MORLUNE_API int32_t MORLUNE_CALL IPSendData(int32_t cmdLen, uint8_t* cmd, int32_t dataLen,
                                             uint8_t* data, const char* ipText);

/* 5. Always 0; no argument is read. No other effect. */
MORLUNE_API int32_t MORLUNE_CALL IPSetIPAddr(int32_t reserved1, int32_t reserved2,
                                              int32_t reserved3);

/* 6. As IPComm; after a complete reply it also sends the two bytes 00 00
 * (whatever that send returns, the result stays 0). */
MORLUNE_API int32_t MORLUNE_CALL IPget(int32_t sendLen, const uint8_t* sendBuf, int32_t recvLen,
                                        uint8_t* recvBuf, int32_t sock);

/* 7. Held connection: sends sendLen bytes of sendBuf unchanged, then, unless
 * dataLen is 0, waits dataLen / 900 + 2 s once for the acknowledgement 02 4F
 * and reads at most 2 bytes (a negative wait is a mere readability check).
 *   0  sent, and dataLen is 0 or 02 4F arrived
 *  -1  send failed or was short (or sendLen < 0: nothing sent)
 *   1  no acknowledgement: silence, peer closed, read error, one byte, or
 *      other bytes. Anything unread stays queued. reserved is never read. */
MORLUNE_API int32_t MORLUNE_CALL IPsend(int32_t sendLen, const uint8_t* sendBuf, int32_t dataLen,
                                         int32_t reserved, int32_t sock);

/* 8. One-shot black-list download to port 8000 of ipText. entries holds
 * entryCount numbers of 3 bytes each (bit 16, bits 15-8, bits 7-0). One entry
 * goes as a single byte-and-bit; two or more as a bitmap of 1 up to the last
 * entry's number (capped at 130000), which must be strictly ascending.
 *   0  the device acknowledged with 02 4F
 *   1  no connection in two attempts, or no acknowledgement (silence for
 *      1 s, peer closed, read error, one byte, or two bytes other than 02 4F)
 *   2  the header or a chunk of the list was not sent whole
 *   6  entryCount is 0 or negative: nothing sent (checked after connecting)
 * entries is only read. Blocks up to 2 s connecting, up to about 21.4 s of
 * pacing for the largest list, and 1 s for the acknowledgement. */
MORLUNE_API int32_t MORLUNE_CALL IPsendBlack(int32_t deviceNo, int32_t entryCount,
                                              const uint8_t* entries, const char* ipText);

/* 9. Presence query on a held connection: sends [D, A0, 0, 0, sum], reads 8
 * bytes, spins just over 10 ms, sends [0, B4, r0, r1, sum], reads 6 bytes
 * (2 s wait before each read). out (7 bytes) is written only when byte 1 of
 * the second reply equals deviceNo % 256 (truncating, so negative numbers
 * that are not multiples of 256 never match).
 *   0  both stages done (out written or, on an echo mismatch, untouched)
 *  -1  a header send failed or was short
 *   3  a reply stayed short; out untouched */
MORLUNE_API int32_t MORLUNE_CALL iPonNet(int32_t deviceNo, uint8_t* out, int32_t sock);

/* 10. Closes a handle from ipConnectDevice. Always 0. Pass each handle once. */
MORLUNE_API int32_t MORLUNE_CALL ipCloseDevice(int32_t sock);

/* 11. Opens a held connection to ipText (dotted IPv4) and the low 16 bits of
 * port. Returns the socket handle, or -1 when no connection came within 1 s
 * (refused, unreachable, unreadable address text). */
MORLUNE_API int32_t MORLUNE_CALL ipConnectDevice(const char* ipText, int32_t port);

#ifdef __cplusplus
}
#endif

#endif
