#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace morlune::cli {

namespace {

std::string seconds(std::int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

Progress::Progress(std::string label, Estimate estimate) : label_(std::move(label)), estimate_(estimate) {
    if (!::isatty(STDERR_FILENO) || estimate_.pacingMs + estimate_.waitMs < 1500) return;
    thread_ = std::thread([this] { run(); });
}

Progress::~Progress() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_one();
    thread_.join();
    std::fputs("\r\033[K", stderr);  // leave the terminal line clean
    std::fflush(stderr);
}

std::string Progress::line(const std::string& label, Estimate estimate, std::int64_t elapsedMs) {
    constexpr int width = 24;
    const std::int64_t pacing = std::max<std::int64_t>(estimate.pacingMs, 1);
    const std::int64_t done = std::min(elapsedMs, pacing);
    const int filled = static_cast<int>(done * width / pacing);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(width, '.');
    std::string text = label + " [" + bar + "] " + seconds(elapsedMs) + " of about " + seconds(estimate.pacingMs);
    if (elapsedMs >= estimate.pacingMs && estimate.waitMs > 0)
        text += ", waiting up to " + seconds(estimate.waitMs) + " for the answer";
    text += " (estimated)";
    return text;
}

void Progress::run() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        std::fprintf(stderr, "\r\033[K%s", line(label_, estimate_, elapsed.count()).c_str());
        std::fflush(stderr);
        stop_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stopping_; });
    }
}

}  // namespace morlune::cli
