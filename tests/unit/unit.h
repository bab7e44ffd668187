// What the unit tests share: a fixture that starts each test from an empty
// script, and host buffers fenced by guard bytes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fake_platform.h"

using fake::Bytes;
using fake::hex;

class FakeTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

// A host buffer with guard bytes before and after it, so a test sees any write
// outside the buffer.
class Guarded {
public:
    static constexpr std::size_t guard = 32;
    static constexpr std::uint8_t guardByte = 0xEE;

    explicit Guarded(const Bytes& content)
        : store_(content.size() + 2 * guard, guardByte), size_(content.size()) {
        for (std::size_t i = 0; i < size_; ++i) store_[guard + i] = content[i];
    }
    Guarded(std::size_t size, std::uint8_t fill) : Guarded(Bytes(size, fill)) {}

    std::uint8_t* data() { return store_.data() + guard; }
    std::uint8_t& operator[](std::size_t i) { return store_[guard + i]; }
    Bytes contents() const {
        return Bytes(store_.begin() + guard, store_.begin() + static_cast<std::ptrdiff_t>(guard + size_));
    }
    bool guardsIntact() const {
        for (std::size_t i = 0; i < guard; ++i)
            if (store_[i] != guardByte || store_[guard + size_ + i] != guardByte) return false;
        return true;
    }

private:
    Bytes store_;
    std::size_t size_;
};

// a and then b.
// (Element by element: GCC 12 sees phantom overflows in the bulk copies.)
template <typename T>
std::vector<T> cat(const std::vector<T>& a, const std::vector<T>& b) {
    std::vector<T> out;
    out.reserve(a.size() + b.size());
    for (const T& x : a) out.push_back(x);
    for (const T& x : b) out.push_back(x);
    return out;
}

inline Bytes counting(std::size_t n, std::uint8_t first = 1) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
    return out;
}

inline std::uint8_t sum8(const Bytes& bytes) {
    unsigned s = 0;
    for (const std::uint8_t b : bytes) s += b;
    return static_cast<std::uint8_t>(s);
}

// bytes followed by their checksum
inline Bytes framed(Bytes bytes) {
    const std::uint8_t s = sum8(bytes);
    bytes.push_back(s);
    return bytes;
}

using Trace = std::vector<std::string>;
using Values = std::vector<std::int64_t>;
