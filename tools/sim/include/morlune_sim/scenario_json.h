// Scenario files for morlune-sim:
//
// {
//   "listen":  ["127.0.0.1:8000"],
//   "devices": [ {"device": 1, "code": "10", "replyLength": 6, "reply": "10 20 30 40 50 60",
//                 "commandLength": 4, "dataLength": 0, "ack": "02 4F", "delayMs": 0,
//                 "pieces": [2, 3], "gapMs": 30, "fault": "none", "surplus": "AA"} ],
//   "scripts": [ [ {"expect": 5}, {"send": "01 02 03", "pieces": [1], "gapMs": 40},
//                  {"pauseMs": 100}, {"silent": true}, {"close": true}, {"reset": true} ] ]
// }
//
// "device" is a number or "any"; "code" a number or hex text; byte runs are
// hex text; "fault" is none, silence, close, reset or badChecksum.
#pragma once

#include <string>
#include <vector>

#include "morlune_sim/scenario.h"

namespace morlune::sim {

struct ScenarioFile {
    std::vector<std::string> listen;  // "address:port"
    Scenario scenario;
    std::vector<Script> scripts;
};

// Throws std::runtime_error naming what is wrong.
ScenarioFile parseScenarioFile(const std::string& text);
ScenarioFile loadScenarioFile(const std::string& path);

}  // namespace morlune::sim
