// The one-shot transactions (read, write, black list) fed through the fake
// platform from the fuzz input, each checked against the reference model:
// result, every platform call, the bytes sent, the host's buffers, what the
// device leaves unread; no socket or start-up reference left behind.
#include <memory>

#include "fuzz_script.h"
#include "morlune.h"

namespace {

using Buffer = std::unique_ptr<std::uint8_t[]>;

Buffer copyOf(const fake::Bytes& bytes) {
    Buffer out = std::make_unique<std::uint8_t[]>(bytes.size() + 1);
    std::copy(bytes.begin(), bytes.end(), out.get());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int which = in.ConsumeIntegralInRange<int>(0, 2);
    soak::Plan plan;
    fuzzing::attempts(in, plan, which == 1 ? 1 : 2);
    fuzzing::sends(in, plan, which == 2 ? 4 : 3);
    const auto length = in.ConsumeIntegralInRange<std::int32_t>(-2, 2100);
    const auto cmdLen = in.ConsumeIntegralInRange<std::int32_t>(-1, 6);
    const auto code = in.ConsumeIntegral<std::uint8_t>();
    const auto deviceNo = in.ConsumeIntegral<std::int32_t>();
    fake::Bytes entries = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 60));
    fuzzing::device(in, plan);

    // Host buffers of exactly the size the contract asks for.
    const std::size_t cmdSize = static_cast<std::size_t>(std::max(cmdLen + 1, 2));
    const std::size_t dataSize = static_cast<std::size_t>(std::max(length + 1, 0));
    fake::Bytes cmd(cmdSize, 0x11), buffer(dataSize, 0x22);
    cmd[1] = code;
    soak::install(plan);
    soak::Model model(plan);
    fake::Bytes cmdModel = cmd, bufferModel = buffer;
    const Buffer cmdLib = copyOf(cmd), bufferLib = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(dataSize, 1));
    std::copy(buffer.begin(), buffer.end(), bufferLib.get());
    const char* ipText = "127.0.0.1";

    switch (which) {
        case 0: {
            const std::int32_t expected = model.getData(cmdLen, cmdModel.data(), length, bufferModel.data(), ipText);
            const std::int32_t result = IPGetData(cmdLen, cmdLib.get(), length, bufferLib.get(), ipText);
            fuzzing::agrees(result, expected, model, "IPGetData");
            break;
        }
        case 1: {
            const std::int32_t expected = model.sendData(cmdLen, cmdModel.data(), length, bufferModel.data(), ipText);
            const std::int32_t result = IPSendData(cmdLen, cmdLib.get(), length, bufferLib.get(), ipText);
            fuzzing::agrees(result, expected, model, "IPSendData");
            break;
        }
        default: {
            const auto count = static_cast<std::int32_t>(entries.size() / 3) - (length < 0 ? 1 : 0);
            const Buffer list = copyOf(entries);
            const std::int32_t expected = model.sendBlack(deviceNo, count, list.get(), ipText);
            const std::int32_t result = IPsendBlack(deviceNo, count, list.get(), ipText);
            fuzzing::agrees(result, expected, model, "IPsendBlack");
            fuzzing::require(std::equal(entries.begin(), entries.end(), list.get()), "entries changed");
        }
    }
    fuzzing::require(std::equal(cmdModel.begin(), cmdModel.end(), cmdLib.get()), "cmd differs");
    fuzzing::require(std::equal(bufferModel.begin(), bufferModel.end(), bufferLib.get()), "host buffer differs");
    fuzzing::balanced(0);
    return 0;
}
