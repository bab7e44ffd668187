// Micro-benchmarks of the pure frame and list rules: what they cost on their
// own, without any socket.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "link/link.h"
#include "oneshot/listcode.h"

namespace {

using namespace morlune;

std::vector<std::uint8_t> entriesFor(const std::vector<std::int32_t>& numbers) {
    std::vector<std::uint8_t> entries;
    for (const std::int32_t n : numbers) {
        entries.push_back(static_cast<std::uint8_t>(n >> 16));
        entries.push_back(static_cast<std::uint8_t>(n >> 8));
        entries.push_back(static_cast<std::uint8_t>(n));
    }
    return entries;
}

std::vector<std::int32_t> everyNumber(std::int32_t last, std::int32_t step) {
    std::vector<std::int32_t> numbers;
    for (std::int32_t n = step; n <= last; n += step) numbers.push_back(n);
    if (numbers.empty() || numbers.back() != last) numbers.push_back(last);
    return numbers;
}

void checksum(benchmark::State& state) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    const auto length = static_cast<std::int32_t>(bytes.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes.data());
        benchmark::DoNotOptimize(ipChecksum(bytes.data(), length));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(checksum)->Arg(5)->Arg(1000)->Arg(16 * 1024)->Arg(listBlockCapacity);

// The largest list: every number from 1 to 130000 (the cap), and a sparse one
// with the same extent; the encoder walks the whole extent either way.
void bitmapEncoding(benchmark::State& state) {
    const auto entries = entriesFor(everyNumber(listExtentCap, static_cast<std::int32_t>(state.range(0))));
    const auto count = static_cast<std::int32_t>(entries.size() / listEntrySize);
    std::vector<std::uint8_t> block(listBlockCapacity);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ipEncodeBitmap(block.data(), entries.data(), count));
        benchmark::ClobberMemory();
    }
    state.counters["entries"] = count;
    state.counters["ns/number"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * listExtentCap,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(bitmapEncoding)->ArgName("step")->Arg(1)->Arg(130)->Arg(130000)->Unit(benchmark::kMicrosecond);

// The largest list completed as it goes out: encoding plus its frame checksum.
void bitmapBlock(benchmark::State& state) {
    const auto entries = entriesFor(everyNumber(listExtentCap, 1));
    const auto count = static_cast<std::int32_t>(entries.size() / listEntrySize);
    std::vector<std::uint8_t> block(listBlockCapacity);
    for (auto _ : state) {
        const std::int32_t length = ipEncodeBitmap(block.data(), entries.data(), count);
        ipCompleteFrame(block.data(), length);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(bitmapBlock)->Unit(benchmark::kMicrosecond);

void singleEntry(benchmark::State& state) {
    std::uint8_t block[8];
    std::int32_t number = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(number);
        ipCompleteFrame(block, ipEncodeSingle(block, number));
        benchmark::DoNotOptimize(block);
        number = number % listExtentCap + 1;
    }
}
BENCHMARK(singleEntry);

void commandHeader(benchmark::State& state) {
    std::uint8_t header[headerLength];
    std::int32_t device = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(device);
        ipBuildHeader(header, device++, 0xA5, 0, 0);
        benchmark::DoNotOptimize(header);
    }
}
BENCHMARK(commandHeader);

}  // namespace

BENCHMARK_MAIN();
