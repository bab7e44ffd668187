// Shared pieces of the loopback suite: device addresses, guarded host
// buffers, a stopwatch.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "morlune.h"
#include "morlune_sim/emulator.h"

namespace loopback {

using morlune::sim::Bytes;
using morlune::sim::Emulator;
using morlune::sim::Face;
using Clock = std::chrono::steady_clock;

// The emulators' frame log goes to stderr when MORLUNE_LOOPBACK_LOG is set.
inline morlune::sim::FrameSink frameLog() {
    if (std::getenv("MORLUNE_LOOPBACK_LOG") == nullptr) return {};
    return morlune::sim::streamSink(std::cerr);
}

// One-shot transactions always go to port 8000, so every test's device has
// an address of its own, 127.B.0.slot. B is the first block where the port is
// free: another run of this suite on the machine may hold the lower ones.
// Slots: 10-29 reads, 30-49 writes, 50-59 black lists and records, 60-69 scenario
// files, 70-79 threads,
// 250 never listened on.
inline std::string listenDevice(Emulator& emulator, int slot, Face face) {
    for (int block = 0; block < 64; ++block) {
        const std::string address =
            "127." + std::to_string(block) + ".0." + std::to_string(slot);
        try {
            emulator.listen(address, 8000, face);
            return address;
        } catch (const std::system_error&) {
        }
    }
    ADD_FAILURE() << "no loopback address free for port 8000 in slot " << slot;
    return "127.0.0." + std::to_string(slot);
}

// A host buffer with guard bytes behind its `size` usable bytes: the
// library must never write past them.
struct Guarded {
    static constexpr std::uint8_t fill = 0xEE;
    static constexpr std::size_t guard = 8;
    explicit Guarded(std::size_t usable, std::uint8_t initial = fill)
        : size(usable), bytes(usable + guard, fill) {
        std::fill(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(usable), initial);
    }
    std::uint8_t* data() { return bytes.data(); }
    Bytes used() const { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)); }
    Bytes head(std::size_t count) const {
        return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    }
    bool guardIntact() const {
        for (std::size_t i = size; i < bytes.size(); ++i)
            if (bytes[i] != fill) return false;
        return true;
    }
    std::size_t size;
    Bytes bytes;
};

inline Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes repeat(std::uint8_t value, std::size_t count) { return Bytes(count, value); }

struct Stopwatch {
    Clock::time_point start = Clock::now();
    long long ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }
};

// Hex in assertion messages.
inline std::string show(const Bytes& bytes) { return morlune::sim::hex(bytes, 64); }

}  // namespace loopback
