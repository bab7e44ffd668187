#include "results.h"

namespace morlune::cli {

std::string resultMessage(Operation operation, std::int32_t result) {
    switch (operation) {
        case Operation::read:
            switch (result) {
                case 0: return "done: the reply arrived with a correct checksum and was acknowledged (or no reply was asked for)";
                case 1: return "no connection to port 8000 in two attempts";
                case 2: return "the command was not sent whole, or not one byte of the reply arrived";
                case 3: return "the reply stopped early: some bytes arrived, but not all";
                case 4: return "the reply arrived whole, but its last byte is not the checksum of the others";
            }
            break;
        case Operation::write:
            switch (result) {
                case 0: return "done: the device acknowledged with 02 4F (or no acknowledgement was due)";
                case 1: return "no connection to port 8000 (one attempt), or the device closed the connection instead of answering";
                case 2: return "the command or a chunk of the data was not sent whole, or reading the answer failed";
                case 3: return "no answer within the wait, or only one byte of it";
                case 4: return "the device answered with two bytes that are not 02 4F";
            }
            break;
        case Operation::blackList:
            switch (result) {
                case 0: return "done: the device acknowledged the list with 02 4F";
                case 1: return "no connection to port 8000 in two attempts, or no acknowledgement (silence for 1 s, the device closed, one byte, or other bytes)";
                case 2: return "the header or a chunk of the list was not sent whole";
                case 6: return "the list is empty: the connection was opened and closed, nothing was sent";
            }
            break;
        case Operation::comm:
        case Operation::get:
            switch (result) {
                case 0: return operation == Operation::get
                               ? "done: the reply arrived whole, and 00 00 was sent after it"
                               : "done: the reply arrived whole (or none was asked for)";
                case -1: return "the bytes were not sent whole; nothing was received";
                case -2: return "fewer reply bytes arrived than asked for (silence for 2 s, the device closed, or a read error)";
            }
            break;
        case Operation::send:
            switch (result) {
                case 0: return "done: the device acknowledged with 02 4F (or no acknowledgement was awaited)";
                case -1: return "the bytes were not sent whole";
                case 1: return "no acknowledgement: silence, the device closed, a read error, one byte, or other bytes";
            }
            break;
        case Operation::presence:
            switch (result) {
                case 0: return "done: both stages answered";
                case -1: return "a query header was not sent whole";
                case 3: return "a reply stayed short of its 8 or 6 bytes";
            }
            break;
        case Operation::connect:
            if (result == -1) return "no connection within 1 s (refused, unreachable, or unreadable address)";
            return "connected";
    }
    return "unknown result " + std::to_string(result);
}

}  // namespace morlune::cli
