// morlune-sim: field devices on local addresses, for hosts under development,
// demos and benchmarks. Every frame goes to stdout with its meaning.
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <CLI/CLI.hpp>

#include <iostream>

#include "morlune_sim/emulator.h"
#include "morlune_sim/scenario_json.h"

namespace {

struct Where {
    std::string address;
    std::uint16_t port = 0;
};

Where parseWhere(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return {text, 8000};
    const unsigned long port = std::stoul(text.substr(colon + 1));
    if (port > 65535) throw std::runtime_error("port out of range: " + text);
    return {text.substr(0, colon), static_cast<std::uint16_t>(port)};
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Emulates field devices over TCP for hosts of the Morlune library."};
    std::vector<std::string> listen;
    std::vector<std::string> unanswered;
    std::string scenarioPath;
    bool scripted = false;
    bool quiet = false;
    app.add_option("-l,--listen", listen, "address:port to serve (repeatable; default 127.0.0.1:8000)");
    app.add_option("-s,--scenario", scenarioPath, "JSON scenario file")->check(CLI::ExistingFile);
    app.add_flag("--scripted", scripted, "serve the scenario's scripts instead of the device model");
    app.add_option("--unanswered", unanswered,
                   "address:port whose connection attempts never complete (repeatable)");
    app.add_flag("-q,--quiet", quiet, "no frame log");
    CLI11_PARSE(app, argc, argv);

    try {
        morlune::sim::ScenarioFile file;
        if (!scenarioPath.empty()) file = morlune::sim::loadScenarioFile(scenarioPath);
        if (listen.empty()) listen = file.listen;
        if (listen.empty() && unanswered.empty()) listen.push_back("127.0.0.1:8000");

        morlune::sim::Emulator emulator(quiet ? morlune::sim::FrameSink{}
                                              : morlune::sim::streamSink(std::cout));
        emulator.keepRecords(false);  // the frame log is the record; memory stays flat
        emulator.setScenario(file.scenario);
        for (auto& script : file.scripts) emulator.addScript(std::move(script));
        const auto face = scripted ? morlune::sim::Face::scripted : morlune::sim::Face::device;
        for (const std::string& text : listen) {
            const Where where = parseWhere(text);
            const std::uint16_t port = emulator.listen(where.address, where.port, face);
            std::cout << "listening on " << where.address << ':' << port
                      << (scripted ? " (scripted)" : " (device model)") << std::endl;
        }
        for (const std::string& text : unanswered) {
            const Where where = parseWhere(text);
            const std::uint16_t port = emulator.listenUnanswered(where.address, where.port);
            std::cout << "leaving connections to " << where.address << ':' << port
                      << " unanswered" << std::endl;
        }
        emulator.start();

        asio::io_context signals;
        asio::signal_set stop(signals, SIGINT, SIGTERM);
        stop.async_wait([](const asio::error_code&, int) {});
        signals.run();
        emulator.stop();
    } catch (const std::exception& e) {
        std::cerr << "morlune-sim: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
