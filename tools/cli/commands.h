// The client's subcommands. Each takes its parsed arguments, calls the
// library through include/morlune.h like any host, prints what happened and
// returns the exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "results.h"

namespace morlune::cli {

struct Output {
    bool json = false;
};

struct ReadArgs {
    std::string address;
    std::string command;  // hex
    std::int32_t replyLen = 0;
};

struct WriteArgs {
    std::string address;
    std::string command;  // hex
    std::string data;     // hex
    std::string dataFile; // raw bytes, instead of data
};

struct BlackListArgs {
    std::string address;
    std::int32_t device = 0;
    std::vector<std::string> numbers;  // numbers and ranges
    std::string file;                  // more numbers and ranges, or "-" for standard input
};

struct PresenceArgs {
    std::string address;
    std::int32_t port = 0;
    std::int32_t device = 0;
};

struct RawArgs {
    std::string address;
    std::int32_t port = 0;
    std::string operation = "comm";  // comm, get or send
    std::string send;                // hex
    std::int32_t recvLen = 0;
    std::int32_t dataLen = -1;       // send only; -1: the number of bytes sent
};

struct DemoArgs {
    std::string address = "127.0.0.77";
};

int runRead(const ReadArgs& args, const Output& output);
int runWrite(const WriteArgs& args, const Output& output);
int runBlackList(const BlackListArgs& args, const Output& output);
int runPresence(const PresenceArgs& args, const Output& output);
int runRaw(const RawArgs& args, const Output& output);
int runDemo(const DemoArgs& args, const Output& output);

}  // namespace morlune::cli
