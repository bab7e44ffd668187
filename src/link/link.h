// The device link: opening and closing a device connection, and the framing
// rules every operation shares.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace morlune {

using platform::Handle;

inline constexpr std::int32_t devicePort = 8000;
inline constexpr std::uint8_t ackFirst = 0x02;
inline constexpr std::uint8_t ackSecond = 0x4F;
inline constexpr std::int32_t headerLength = 5;

// --- device connection -------------------------------------------------------

// 0: connected, *sock holds an open non-blocking socket and one start-up
// reference; 1: not connected, nothing is held.
std::uint8_t ipOpenLink(Handle* sock, const char* ipText, std::int32_t port);
void ipCloseLink(Handle sock);

// --- pure frame rules --------------------------------------------------------

// Sum of the bytes modulo 256; 0 for an empty run.
std::uint8_t ipChecksum(const std::uint8_t* bytes, std::int32_t length);
// Writes the checksum of bytes[0..length) into bytes[length].
void ipCompleteFrame(std::uint8_t* bytes, std::int32_t length);
// A block of length + 1 bytes whose last byte is the checksum of the others.
bool ipBlockSound(const std::uint8_t* block, std::int32_t length);
// [device, code, first, second, checksum of the four].
void ipBuildHeader(std::uint8_t header[headerLength], std::int32_t deviceNo, std::uint8_t code,
                   std::uint8_t first, std::uint8_t second);

// Pause after a chunk of a paced block of `blockLength` bytes: 0 for blocks of
// 20 bytes or less, else chunk + 300 ms.
inline constexpr std::int32_t pacedChunkLimit = 1000;
inline constexpr std::uint32_t pacedLeadPauseMs = 10;
std::uint32_t ipChunkPauseMs(std::int32_t chunkLength, std::int32_t blockLength);

// Wait-time rules, in whole seconds.
// IPGetData: 1 s for command codes A1, C1, D1, else 2 + max(1, replyLen / 900).
std::int32_t ipReplyWaitSeconds(std::uint8_t commandCode, std::int32_t replyLen);
// IPSendData: blocks of 20 bytes or more get a 1000 ms pause and 4 s, others 1 s.
std::uint32_t ipWriteAckPauseMs(std::int32_t blockLength);
std::int32_t ipWriteAckWaitSeconds(std::int32_t blockLength);
// IPsend: dataLen / 900 + 2, truncating; a negative result is a 0 s look.
std::int32_t ipSendAckWaitSeconds(std::int32_t dataLen);

// --- transfers ---------------------------------------------------------------

inline constexpr std::int32_t noReadCap = INT32_MAX;

// One send call that must take all `length` bytes.
bool ipSendWhole(Handle sock, const std::uint8_t* bytes, std::int32_t length);
// 10 ms, then chunks of at most 1000 bytes, each followed by its pause.
bool ipSendPaced(Handle sock, const std::uint8_t* block, std::int32_t length);
// Reads up to `wanted` bytes into buffer, waiting `seconds` before each read;
// returns how many arrived. Never reads beyond `wanted`.
std::int32_t ipReceive(Handle sock, std::uint8_t* buffer, std::int32_t wanted,
                       std::int32_t seconds, std::int32_t readCap);

enum class AckOutcome { silent, readError, closed, oneByte, acknowledged, otherBytes };
// One wait of `seconds`, then at most one read of up to 2 bytes.
AckOutcome ipAwaitAck(Handle sock, std::int32_t seconds);

}  // namespace morlune
