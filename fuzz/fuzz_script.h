// Turns fuzz input into a script for the fake platform: connection attempts,
// how much each send call takes, and what the device does, piece by piece.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "model.h"

namespace fuzzing {

inline void attempts(FuzzedDataProvider& in, soak::Plan& plan, int most) {
    for (int i = 0; i < most; ++i) {
        const auto a = static_cast<soak::Attempt>(in.ConsumeIntegralInRange<int>(0, 5));
        plan.attempts.push_back(a);
        plan.handles.push_back(in.ConsumeIntegralInRange<int>(3, 1 << 20));
        if (soak::succeeds(a)) break;
    }
}

inline void sends(FuzzedDataProvider& in, soak::Plan& plan, int calls) {
    for (int i = 0; i < calls; ++i) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0: plan.sends.push_back(-1); break;
            case 1: plan.sends.push_back(in.ConsumeIntegralInRange<std::int32_t>(0, 1100)); break;
            default: plan.sends.push_back(INT32_MAX);
        }
    }
}

// Pieces of bytes (some closed by their own checksum, so that whole sound
// replies come easily), stalls, closes and read errors.
inline void device(FuzzedDataProvider& in, soak::Plan& plan) {
    for (int i = 0; i < 48 && in.remaining_bytes() > 0; ++i) {
        const int kind = in.ConsumeIntegralInRange<int>(0, 9);
        if (kind < 3) {
            const fake::Arrival::Kind kinds[] = {fake::Arrival::silence, fake::Arrival::closed,
                                                 fake::Arrival::error};
            plan.device.push_back({kinds[kind], {}});
            continue;
        }
        fake::Bytes piece = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 40));
        if (kind == 3) {
            unsigned sum = 0;
            for (const auto b : piece) sum += b;
            piece.push_back(static_cast<std::uint8_t>(sum));
        }
        if (piece.empty()) break;
        plan.device.push_back({fake::Arrival::bytes, std::move(piece)});
    }
}

// A disagreement with the model, or a broken invariant, is a crash.
inline void require(bool holds, const std::string& what) {
    if (holds) return;
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

inline void agrees(std::int32_t result, std::int32_t expected, const soak::Model& model,
                   const char* what) {
    require(result == expected, std::string(what) + ": result " + std::to_string(result) +
                                    ", expected " + std::to_string(expected));
    const std::string diff = model.differences();
    require(diff.empty(), std::string(what) + ": " + diff);
}

inline void balanced(int held) {
    require(fake::openSockets() == held, "sockets left open");
    require(fake::startupReferences() == held, "start-up references left");
}

}  // namespace fuzzing
