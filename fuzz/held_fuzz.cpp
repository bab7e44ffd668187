// The held-connection receive paths (IPComm, IPget, IPsend's acknowledgement,
// iPonNet's two replies) fed through the fake platform from the fuzz input:
// several calls on one connection, what one leaves unread the next reads;
// each call checked against the reference model, host buffers exactly as
// large as their lengths say.
#include <memory>

#include "fuzz_script.h"
#include "morlune.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    soak::Plan plan;
    plan.attempts.push_back(soak::Attempt::now);
    plan.handles.push_back(7);
    fuzzing::sends(in, plan, 8);
    struct Call {
        int kind;
        std::int32_t a, b;
    };
    Call calls[4];
    const int count = in.ConsumeIntegralInRange<int>(1, 4);
    for (int i = 0; i < count; ++i)
        calls[i] = {in.ConsumeIntegralInRange<int>(0, 3), in.ConsumeIntegralInRange<std::int32_t>(-1, 24),
                    in.ConsumeIntegralInRange<std::int32_t>(-1000, 2000)};
    for (int i = 0; i < 3 && in.remaining_bytes() > 0; ++i)
        plan.ticks.push_back(in.ConsumeIntegral<std::uint32_t>());
    fuzzing::device(in, plan);

    soak::install(plan);
    soak::Model model(plan);
    const std::int32_t sock = ipConnectDevice("127.0.0.1", 4000);
    fuzzing::agrees(sock, model.connectDevice("127.0.0.1", 4000), model, "ipConnectDevice");
    static const char* const names[] = {"IPComm", "IPget", "IPsend", "iPonNet"};
    for (int i = 0; i < count; ++i) {
        const Call& c = calls[i];
        const std::int32_t sendLen = c.a;
        const fake::Bytes outgoing(static_cast<std::size_t>(std::max(sendLen, 0)), 0x5A);
        const auto sendBuf = std::make_unique<std::uint8_t[]>(outgoing.size() + 1);
        std::copy(outgoing.begin(), outgoing.end(), sendBuf.get());
        const std::int32_t recvLen = c.kind == 3 ? 7 : c.b > 100 ? c.b % 100 : c.b;
        const auto intoSize = static_cast<std::size_t>(std::max(recvLen, 0));
        const auto into = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(intoSize, 1));
        fake::Bytes intoModel(intoSize, 0x33);
        std::fill_n(into.get(), intoSize, 0x33);
        std::int32_t result = 0, expected = 0;
        switch (c.kind) {
            case 0:
                expected = model.comm(sendLen, sendBuf.get(), recvLen, intoModel.data(), sock);
                result = IPComm(sendLen, sendBuf.get(), recvLen, into.get(), c.b, sock);
                break;
            case 1:
                expected = model.get(sendLen, sendBuf.get(), recvLen, intoModel.data(), sock);
                result = IPget(sendLen, sendBuf.get(), recvLen, into.get(), sock);
                break;
            case 2:
                expected = model.send(sendLen, sendBuf.get(), c.b, sock);
                result = IPsend(sendLen, sendBuf.get(), c.b, 0, sock);
                break;
            default:
                expected = model.onNet(c.b, intoModel.data(), sock);
                result = iPonNet(c.b, into.get(), sock);
        }
        fuzzing::agrees(result, expected, model, names[c.kind]);
        fuzzing::require(std::equal(intoModel.begin(), intoModel.end(), into.get()), "host buffer differs");
        fuzzing::require(std::equal(outgoing.begin(), outgoing.end(), sendBuf.get()), "send buffer written");
        fuzzing::balanced(1);
    }
    fuzzing::agrees(ipCloseDevice(sock), model.closeDevice(sock), model, "ipCloseDevice");
    fuzzing::balanced(0);
    return 0;
}
