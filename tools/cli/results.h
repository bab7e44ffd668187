// What each result code of each export means, in one line, and how a result
// becomes the client's exit status.
#pragma once

#include <cstdint>
#include <string>

namespace morlune::cli {

enum class Operation { read, write, blackList, comm, get, send, presence, connect };

// The plain message for a result code of one export; "unknown result N" for a
// code the export never returns.
std::string resultMessage(Operation operation, std::int32_t result);

// The client's own failures, outside the range of any export's results.
inline constexpr int exitUsage = 64;         // the command line or its input is wrong
inline constexpr int exitNoInput = 66;       // an input file cannot be read
inline constexpr int exitNotConnected = 69;  // ipConnectDevice returned -1

// An export's result as a process exit status: the result modulo 256, which is
// how a shell shows it (0..6 stay themselves, -1 becomes 255, -2 becomes 254).
inline int exitStatusOf(std::int32_t result) { return static_cast<int>(static_cast<std::uint32_t>(result) & 0xFFu); }

}  // namespace morlune::cli
