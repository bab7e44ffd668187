#include "morlune_sim/scenario_json.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace morlune::sim {

namespace {

using nlohmann::json;

int byteValue(const json& value, const char* what) {
    if (value.is_number_integer()) {
        const auto number = value.get<long long>();
        if (number < 0 || number > 255) throw std::runtime_error(std::string(what) + " out of range");
        return static_cast<int>(number);
    }
    if (value.is_string()) {
        const Bytes bytes = parseHex(value.get<std::string>());
        if (bytes.size() != 1) throw std::runtime_error(std::string(what) + " must be one byte");
        return bytes[0];
    }
    throw std::runtime_error(std::string(what) + " must be a number or hex text");
}

Bytes bytesOf(const json& value) { return parseHex(value.get<std::string>()); }

std::vector<std::size_t> sizesOf(const json& value) { return value.get<std::vector<std::size_t>>(); }

Fault faultOf(const std::string& name) {
    if (name == "none") return Fault::none;
    if (name == "silence") return Fault::silence;
    if (name == "close") return Fault::close;
    if (name == "reset") return Fault::reset;
    if (name == "badChecksum") return Fault::badChecksum;
    throw std::runtime_error("unknown fault: " + name);
}

void readReaction(const json& entry, Scenario& scenario) {
    static const char* const known[] = {"device", "code", "commandLength", "replyLength", "reply",
                                        "dataLength", "ack", "delayMs", "pieces", "gapMs",
                                        "fault", "surplus"};
    for (const auto& item : entry.items()) {
        bool ok = false;
        for (const char* name : known) ok = ok || item.key() == name;
        if (!ok) throw std::runtime_error("unknown field in a device entry: " + item.key());
    }
    const json& device = entry.at("device");
    const int number = device.is_string() && device.get<std::string>() == "any"
                           ? Scenario::anyDevice
                           : byteValue(device, "device");
    Reaction& r = scenario.on(number, static_cast<std::uint8_t>(byteValue(entry.at("code"), "code")));
    if (entry.contains("commandLength")) r.commandLength = entry["commandLength"].get<std::size_t>();
    if (entry.contains("replyLength")) r.replyLength = entry["replyLength"].get<std::size_t>();
    if (entry.contains("reply")) r.reply = bytesOf(entry["reply"]);
    if (entry.contains("dataLength")) r.dataLength = entry["dataLength"].get<std::size_t>();
    if (entry.contains("ack")) r.ack = bytesOf(entry["ack"]);
    if (entry.contains("delayMs")) r.delay = Millis{entry["delayMs"].get<long long>()};
    if (entry.contains("pieces")) r.pieces = sizesOf(entry["pieces"]);
    if (entry.contains("gapMs")) r.gap = Millis{entry["gapMs"].get<long long>()};
    if (entry.contains("fault")) r.fault = faultOf(entry["fault"].get<std::string>());
    if (entry.contains("surplus")) r.surplus = bytesOf(entry["surplus"]);
    if (r.commandLength < 2) throw std::runtime_error("commandLength must be at least 2");
}

Step readStep(const json& entry) {
    if (entry.contains("expect")) return step::expect(entry["expect"].get<std::size_t>());
    if (entry.contains("send")) {
        Step s = step::send(bytesOf(entry["send"]));
        if (entry.contains("pieces")) s.pieces = sizesOf(entry["pieces"]);
        s.gap = Millis{entry.value("gapMs", 40LL)};
        return s;
    }
    if (entry.contains("pauseMs")) return step::pause(Millis{entry["pauseMs"].get<long long>()});
    if (entry.contains("silent")) return step::silent();
    if (entry.contains("close")) return step::close();
    if (entry.contains("reset")) return step::reset();
    throw std::runtime_error("unknown script step: " + entry.dump());
}

}  // namespace

ScenarioFile parseScenarioFile(const std::string& text) {
    ScenarioFile file;
    try {
        const json root = json::parse(text);
        if (root.contains("listen")) file.listen = root["listen"].get<std::vector<std::string>>();
        if (root.contains("devices"))
            for (const json& entry : root["devices"]) readReaction(entry, file.scenario);
        if (root.contains("scripts")) {
            for (const json& steps : root["scripts"]) {
                Script script;
                for (const json& entry : steps) script.push_back(readStep(entry));
                file.scripts.push_back(std::move(script));
            }
        }
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("scenario: ") + e.what());
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error(std::string("scenario: ") + e.what());
    }
    return file;
}

ScenarioFile loadScenarioFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return parseScenarioFile(text.str());
}

}  // namespace morlune::sim
