// A progress line for the long one-shot calls. The library reports no
// progress, so this shows an estimate from its fixed pacing, drawn by a timer
// thread while the call runs, and only when standard error is a terminal.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "hostio.h"

namespace morlune::cli {

class Progress {
public:
    // Draws nothing unless standard error is a terminal and the call may take
    // more than a second and a half.
    Progress(std::string label, Estimate estimate);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // The line for `elapsedMs` into the call; pure, for the tests.
    static std::string line(const std::string& label, Estimate estimate, std::int64_t elapsedMs);

private:
    void run();

    std::string label_;
    Estimate estimate_;
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace morlune::cli
