#include "commands.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "hostio.h"
#include "morlune.h"
#include "progress.h"
#include "report.h"

namespace morlune::cli {

namespace {

// A buffer for a one-shot command: the bytes, the spare byte for the checksum,
// and at least two bytes in all, since the library reads byte 1 as the command code.
Bytes commandBuffer(const Bytes& command) {
    Bytes buffer(std::max<std::size_t>(command.size() + 1, 2), 0);
    std::copy(command.begin(), command.end(), buffer.begin());
    return buffer;
}

// The command code the library will read: byte 1 of the command once its
// checksum has been written (for a one-byte command, that is the checksum).
std::uint8_t commandCode(const Bytes& command) {
    if (command.size() >= 2) return command[1];
    if (command.size() == 1) return command[0];
    return 0;
}

// The command as it goes on the wire: its bytes and their checksum.
Bytes withChecksum(Bytes bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
    bytes.push_back(sum);
    return bytes;
}

std::int32_t length(const Bytes& bytes) { return static_cast<std::int32_t>(bytes.size()); }

bool readFile(const std::string& path, std::string& contents) {
    if (path == "-") {
        contents.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

int runRead(const ReadArgs& args, const Output& output) {
    const auto command = parseHex(args.command);
    if (!command.value) return usageError("--cmd: " + command.error);
    Bytes cmd = commandBuffer(*command.value);
    Bytes reply(static_cast<std::size_t>(args.replyLen) + 1, 0);

    const std::int32_t cmdLen = length(*command.value);
    const std::int32_t result = IPGetData(cmdLen, cmd.data(), args.replyLen, reply.data(), args.address.c_str());

    Report report(output.json, "read");
    report.text("address", args.address + ":8000");
    report.text("frame", formatHex(withChecksum(*command.value)));
    if ((result == 0 && args.replyLen > 0) || result == 4) {
        report.text("reply", formatHex(reply.data(), static_cast<std::size_t>(args.replyLen)));
        report.text("checksum", formatHex(&reply[static_cast<std::size_t>(args.replyLen)], 1));
    }
    return report.finish(Operation::read, result);
}

int runWrite(const WriteArgs& args, const Output& output) {
    const auto command = parseHex(args.command);
    if (!command.value) return usageError("--cmd: " + command.error);
    Bytes payload;
    if (!args.dataFile.empty()) {
        std::string contents;
        if (!readFile(args.dataFile, contents)) {
            std::cerr << "morlune: cannot read " << args.dataFile << '\n';
            return exitNoInput;
        }
        payload.assign(contents.begin(), contents.end());
    } else {
        const auto data = parseHex(args.data);
        if (!data.value) return usageError("--data: " + data.error);
        payload = *data.value;
    }
    Bytes cmd = commandBuffer(*command.value);
    Bytes data(payload.size() + 1, 0);
    std::copy(payload.begin(), payload.end(), data.begin());

    const std::int32_t cmdLen = length(*command.value);
    const std::int32_t dataLen = length(payload);
    std::int32_t result;
    {
        Progress progress("writing " + std::to_string(dataLen) + " bytes",
                          writeEstimate(dataLen, commandCode(*command.value)));
        result = IPSendData(cmdLen, cmd.data(), dataLen, data.data(), args.address.c_str());
    }

    Report report(output.json, "write");
    report.text("address", args.address + ":8000");
    report.text("frame", formatHex(withChecksum(*command.value)));
    report.field("data_length", dataLen);
    if (dataLen > 0) report.text("data_checksum", formatHex(Bytes{withChecksum(payload).back()}));
    return report.finish(Operation::write, result);
}

int runBlackList(const BlackListArgs& args, const Output& output) {
    std::string text;
    for (const auto& item : args.numbers) text += item + "\n";
    if (!args.file.empty()) {
        std::string contents;
        if (!readFile(args.file, contents)) {
            std::cerr << "morlune: cannot read " << args.file << '\n';
            return exitNoInput;
        }
        text += contents;
    }
    const auto numbers = parseNumbers(text);
    if (!numbers.value) return usageError(numbers.error);
    const auto list = prepareBlackList(*numbers.value);
    if (!list.value) return usageError(list.error);

    const Bytes entries = encodeEntries(*list.value);
    const auto count = static_cast<std::int32_t>(list.value->size());
    std::int32_t result;
    {
        Progress progress("sending " + std::to_string(count) + " numbers", blackListEstimate(*list.value));
        // An empty list still needs a valid pointer.
        static const std::uint8_t none[3] = {};
        result = IPsendBlack(args.device, count, count > 0 ? entries.data() : none, args.address.c_str());
    }

    Report report(output.json, "blacklist");
    report.text("address", args.address + ":8000");
    report.field("device", args.device);
    report.field("numbers", count);
    if (count > 0) {
        report.text("range", std::to_string(list.value->front()) + "-" + std::to_string(list.value->back()));
        report.text("form", count == 1 ? "single entry" : "bitmap");
        report.field("block_length", blackListBlockLength(*list.value));
    }
    return report.finish(Operation::blackList, result);
}

int runPresence(const PresenceArgs& args, const Output& output) {
    Report report(output.json, "presence");
    report.text("address", args.address + ":" + std::to_string(args.port & 0xFFFF));
    const std::int32_t sock = ipConnectDevice(args.address.c_str(), args.port);
    if (sock == -1) return report.notConnected();

    // out is written only when the device echoes its number; a first byte that
    // cannot be the echo tells the two cases apart.
    const auto deviceByte = static_cast<std::uint8_t>(args.device);
    std::uint8_t out[7] = {static_cast<std::uint8_t>(deviceByte ^ 0xFF)};
    const std::int32_t result = iPonNet(args.device, out, sock);
    ipCloseDevice(sock);

    report.field("device", args.device);
    if (result == 0) {
        const bool echoed = out[0] == deviceByte && args.device % 256 >= 0;
        report.field("echoed", echoed);
        if (echoed) report.text("answer", formatHex(out, 7));
    }
    return report.finish(Operation::presence, result);
}

int runRaw(const RawArgs& args, const Output& output) {
    const auto sendBytes = parseHex(args.send);
    if (!sendBytes.value) return usageError("--send: " + sendBytes.error);
    Operation operation;
    if (args.operation == "comm") operation = Operation::comm;
    else if (args.operation == "get") operation = Operation::get;
    else if (args.operation == "send") operation = Operation::send;
    else return usageError("--op must be comm, get or send");

    Report report(output.json, "raw");
    report.text("address", args.address + ":" + std::to_string(args.port & 0xFFFF));
    report.text("op", args.operation);
    const std::int32_t sock = ipConnectDevice(args.address.c_str(), args.port);
    if (sock == -1) return report.notConnected();

    const Bytes& bytes = *sendBytes.value;
    const std::int32_t sendLen = length(bytes);
    Bytes reply(static_cast<std::size_t>(std::max(args.recvLen, 0)) + 1, 0);
    std::int32_t result = 0;
    std::int32_t dataLen = args.dataLen < 0 ? sendLen : args.dataLen;
    switch (operation) {
        case Operation::comm: result = IPComm(sendLen, bytes.data(), args.recvLen, reply.data(), 0, sock); break;
        case Operation::get: result = IPget(sendLen, bytes.data(), args.recvLen, reply.data(), sock); break;
        default: result = IPsend(sendLen, bytes.data(), dataLen, 0, sock); break;
    }
    ipCloseDevice(sock);

    report.text("sent", formatHex(bytes));
    if (operation == Operation::send) report.field("data_length", dataLen);
    else if (result == 0) report.text("reply", formatHex(reply.data(), static_cast<std::size_t>(args.recvLen)));
    return report.finish(operation, result);
}

}  // namespace morlune::cli
