// Prints what a subcommand did: "name: value" lines, or one JSON object with
// --json. The result line always comes last.
#pragma once

#include <cstdint>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "results.h"

namespace morlune::cli {

class Report {
public:
    Report(bool json, std::string command) : json_(json) { doc_["command"] = std::move(command); }

    template <typename T>
    void field(const std::string& name, const T& value) {
        doc_[name] = value;
        if (!json_) std::cout << name << ": " << nlohmann::json(value).dump() << '\n';
    }
    void text(const std::string& name, const std::string& value) {
        doc_[name] = value;
        if (!json_) std::cout << name << ": " << value << '\n';
    }

    // Adds the result, its message and the exit status, prints, and returns the status.
    int finish(Operation operation, std::int32_t result) {
        const int status = exitStatusOf(result);
        const std::string message = resultMessage(operation, result);
        doc_["result"] = result;
        doc_["message"] = message;
        doc_["exit"] = status;
        if (json_) std::cout << doc_.dump() << '\n';
        else std::cout << "result " << result << ": " << message << '\n';
        return status;
    }

    // The held connection could not be opened: no export result to report.
    int notConnected() {
        const std::string message = resultMessage(Operation::connect, -1);
        doc_["connected"] = false;
        doc_["result"] = nullptr;
        doc_["message"] = "ipConnectDevice returned -1: " + message;
        doc_["exit"] = exitNotConnected;
        if (json_) std::cout << doc_.dump() << '\n';
        else std::cout << "ipConnectDevice returned -1: " << message << '\n';
        return exitNotConnected;
    }

private:
    bool json_;
    nlohmann::ordered_json doc_;
};

// A usage problem found after parsing (bad hex, bad numbers): to standard error.
inline int usageError(const std::string& message) {
    std::cerr << "morlune: " << message << '\n';
    return exitUsage;
}

}  // namespace morlune::cli
