// morlune: a command-line client for field devices, built on libmorlune.
#include <CLI/CLI.hpp>
#include <iostream>

#include "commands.h"

using namespace morlune::cli;

namespace {

constexpr const char* exitStatuses = R"(

Exit status:
  the call's result code modulo 256: 0 is success, 1..6 are the codes of
  read, write, blacklist, presence and raw send; -1 shows as 255 and -2 as 254
  (presence and raw). Codes of the client itself: 64 the command line or its
  input is wrong, 66 an input file cannot be read, 69 ipConnectDevice returned
  -1 (presence and raw). demo exits 0 when every job went as expected, else 1.
)";

constexpr const char* examples = R"(
Examples:
  morlune demo
  morlune read 192.0.2.10 --cmd "01 10 00 00" --reply-len 16
  morlune write 192.0.2.10 --cmd "01 20 00 00" --data "DE AD BE EF"
  morlune blacklist 192.0.2.10 --device 1 100-200 250 300
  morlune blacklist 192.0.2.10 --device 1 --file numbers.txt
  morlune presence 192.0.2.10 9000 --device 5
  morlune raw 192.0.2.10 9000 --send "05 A0 00 00 A5" --recv-len 8
  morlune --json read 192.0.2.10 --cmd "01 10 00 00" --reply-len 16
Bytes are hex: "01 A0 00 00", "01A00000", "01:a0:00:00" or "0x01,0xA0".)";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"morlune: talk to field devices over TCP/IPv4 through libmorlune"};
    app.footer(std::string(examples) + exitStatuses);
    app.require_subcommand(1);
    app.fallthrough();
    Output output;
    app.add_flag("--json", output.json, "Print one JSON object on standard output instead of lines");

    ReadArgs read;
    auto* readCmd = app.add_subcommand("read", "One-shot read (IPGetData) from port 8000");
    readCmd->add_option("address", read.address, "Device address, dotted IPv4")->required();
    readCmd->add_option("--cmd", read.command, "Command bytes in hex; the client adds room for the checksum")->required();
    readCmd->add_option("--reply-len", read.replyLen, "Reply bytes expected before the reply's checksum")
        ->required()->check(CLI::Range(0, 1 << 24));
    readCmd->footer(R"(
Sends the command with its checksum, waits for replyLen bytes and their
checksum, checks it and acknowledges. Prints the frame, the reply and its
checksum. Exit status: the result, 0 to 4.
Example: morlune read 192.0.2.10 --cmd "01 10 00 00" --reply-len 16)");

    WriteArgs write;
    auto* writeCmd = app.add_subcommand("write", "One-shot write (IPSendData) to port 8000");
    writeCmd->add_option("address", write.address, "Device address, dotted IPv4")->required();
    writeCmd->add_option("--cmd", write.command, "Command bytes in hex")->required();
    auto* dataHex = writeCmd->add_option("--data", write.data, "Data bytes in hex");
    auto* dataFile = writeCmd->add_option("--data-file", write.dataFile, "File whose raw bytes are the data ('-': standard input)");
    dataHex->excludes(dataFile);
    writeCmd->footer(R"(
Sends the command and the data block, each with its checksum; blocks over 20
bytes are paced (a progress estimate shows on a terminal). Waits for 02 4F
unless the command code is B5 or B6. Exit status: the result, 0 to 4.
Example: morlune write 192.0.2.10 --cmd "01 20 00 00" --data "DE AD BE EF")");

    BlackListArgs black;
    auto* blackCmd = app.add_subcommand("blacklist", "One-shot black-list download (IPsendBlack) to port 8000");
    blackCmd->add_option("address", black.address, "Device address, dotted IPv4")->required();
    blackCmd->add_option("--device", black.device, "Device number (its low 8 bits go on the wire)")->required();
    blackCmd->add_option("numbers", black.numbers, "Numbers and ranges such as 100-200");
    blackCmd->add_option("--file", black.file, "File of numbers and ranges ('#' comments; '-': standard input)");
    blackCmd->footer(R"(
Numbers are sorted and each sent once; a list of two or more covers 1 to
130000, a single number may go up to 131071. The largest list takes about
22 s; on a terminal an estimate of the progress shows meanwhile (the library
reports none). Exit status: the result, 0, 1, 2 or 6.
Example: morlune blacklist 192.0.2.10 --device 1 100-200 250 --file more.txt)");

    PresenceArgs presence;
    auto* presenceCmd = app.add_subcommand("presence", "Presence query (iPonNet) over a held connection");
    presenceCmd->add_option("address", presence.address, "Device address, dotted IPv4")->required();
    presenceCmd->add_option("port", presence.port, "TCP port (its low 16 bits)")->required();
    presenceCmd->add_option("--device", presence.device, "Device number")->required();
    presenceCmd->footer(R"(
Opens a held connection, runs the two-stage query and closes. Prints the seven
answer bytes when the device echoed its number. Exit status: 0, 3, 255 for -1,
or 69 when no connection opened.
Example: morlune presence 192.0.2.10 9000 --device 5)");

    RawArgs raw;
    auto* rawCmd = app.add_subcommand("raw", "Held-connection exchange (IPComm, IPget or IPsend) of your own bytes");
    rawCmd->add_option("address", raw.address, "Device address, dotted IPv4")->required();
    rawCmd->add_option("port", raw.port, "TCP port (its low 16 bits)")->required();
    rawCmd->add_option("--op", raw.operation, "comm (default), get or send")
        ->check(CLI::IsMember({"comm", "get", "send"}));
    rawCmd->add_option("--send", raw.send, "Bytes to send, in hex, unchanged (no checksum is added)")->required();
    rawCmd->add_option("--recv-len", raw.recvLen, "comm, get: exact number of reply bytes")->check(CLI::Range(0, 1 << 24));
    rawCmd->add_option("--data-len", raw.dataLen, "send: the data length that sets the wait (0: no wait; default: bytes sent)")
        ->check(CLI::Range(0, 1 << 24));
    rawCmd->footer(R"(
ipConnectDevice, one exchange, ipCloseDevice. The bytes go out as given.
comm: receive --recv-len bytes. get: the same, then send 00 00. send: wait
--data-len / 900 + 2 s for 02 4F. Exit status: 0, 1 (send), 254 for -2,
255 for -1, or 69 when no connection opened.
Example: morlune raw 192.0.2.10 9000 --op get --send "05 A0 00 00 A5" --recv-len 8)");

    DemoArgs demo;
    auto* demoCmd = app.add_subcommand("demo", "Start an emulated device on loopback and run the five host jobs against it");
    demoCmd->add_option("--address", demo.address, "Loopback address for the emulated device (127.x.x.x)");
    demoCmd->footer(R"(
Needs no free port on 127.0.0.1: the emulated device listens on port 8000 of
--address (default 127.0.0.77) and on a free port there for held connections.
Exit status: 0 when every job went as expected, else 1.)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : exitUsage;
    }

    if (readCmd->parsed()) return runRead(read, output);
    if (writeCmd->parsed()) return runWrite(write, output);
    if (blackCmd->parsed()) return runBlackList(black, output);
    if (presenceCmd->parsed()) return runPresence(presence, output);
    if (rawCmd->parsed()) return runRaw(raw, output);
    return runDemo(demo, output);
}
