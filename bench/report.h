// Small helpers the loopback benchmarks share: options, clocks, percentiles.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace morlune::bench {

using Clock = std::chrono::steady_clock;

inline double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The q-th percentile (0..100) by the nearest-rank rule; 0 for no samples.
inline double percentile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(q / 100.0 * static_cast<double>(samples.size()) + 0.999999);
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

// --name=value options; the default when absent.
inline std::string option(int argc, char** argv, const char* name, const std::string& fallback) {
    const std::string prefix = std::string("--") + name + "=";
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) return argv[i] + prefix.size();
    return fallback;
}

inline long optionNumber(int argc, char** argv, const char* name, long fallback) {
    return std::strtol(option(argc, argv, name, std::to_string(fallback)).c_str(), nullptr, 10);
}

inline std::vector<long> optionList(int argc, char** argv, const char* name, const std::string& fallback) {
    std::vector<long> values;
    const std::string text = option(argc, argv, name, fallback);
    for (const char* p = text.c_str(); *p;) {
        char* end = nullptr;
        values.push_back(std::strtol(p, &end, 10));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p) break;
    }
    return values;
}

}  // namespace morlune::bench
