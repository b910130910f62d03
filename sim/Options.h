#pragma once
// The command line of mirdal-sim.
#include "sim/Replay.h"
#include "sim/Server.h"
#include "sim/SimulatedTerminal.h"

#include <string>
#include <vector>

struct SimOptions {
    TerminalOptions terminal;
    ServeOptions serve;
    std::string device; // empty: a new pseudo-terminal
    bool quiet = false;
    std::string replayFile; // non-empty: play this transcript instead of the terminal
    ReplayOptions replay;
};

enum class Parsed { Run, Help, Error };

// Reads the arguments (without the program name) into `options`.
Parsed parseArguments(const std::vector<std::string>& arguments, SimOptions& options, std::string& error);

std::string usageText();
