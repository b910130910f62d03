// mirdal-sim: a simulated card terminal on a pseudo-terminal or serial device.
#include "sim/Line.h"
#include "sim/Options.h"
#include "sim/Replay.h"
#include "sim/Server.h"

#include <csignal>
#include <cstdio>
#include <iostream>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLine = 3;

// What SIGTERM and SIGINT stop: the terminal's server or the replay.
Server* runningServer = nullptr;
Replay* runningReplay = nullptr;

extern "C" void onStopSignal(int)
{
    if (runningServer)
        runningServer->requestStop();
    if (runningReplay)
        runningReplay->requestStop();
}

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void toStderr(const std::string& line)
{
    std::cerr << "mirdal-sim: " << line << std::endl;
}

SimulatedTerminal::Trace traceUnlessQuiet(const SimOptions& options)
{
    if (options.quiet)
        return [](const std::string&) {};
    return toStderr;
}

int serveTerminal(const SimOptions& options, Line& line)
{
    const SimulatedTerminal::Trace trace = traceUnlessQuiet(options);
    SimulatedTerminal terminal(options.terminal, trace, toStderr);
    Server server(terminal, options.serve, trace);
    runningServer = &server;
    // A script may stop us as soon as it has read the device.
    installStopHandlers();
    std::cout << line.path << std::endl;
    const ServeEnd end = server.serve(line);
    runningServer = nullptr;
    closeLine(line);

    toStderr(std::to_string(terminal.sessions()) + " session(s), " + std::to_string(terminal.files().size()) +
             " file(s) received, " + std::to_string(terminal.problems().size()) + " problem(s)");
    if (!terminal.problems().empty())
        return kExitProblems;
    return end == ServeEnd::LineLost ? kExitLine : kExitOk;
}

int playTranscript(const std::vector<ReplayStep>& steps, const SimOptions& options, Line& line)
{
    Replay replay(steps, options.replay, traceUnlessQuiet(options), toStderr);
    runningReplay = &replay;
    installStopHandlers();
    std::cout << line.path << std::endl;
    const ReplayEnd end = replay.play(line);
    runningReplay = nullptr;
    closeLine(line);

    switch (end) {
    case ReplayEnd::Complete:
        toStderr("replay complete: " + std::to_string(replay.steps()) + " frame(s) as recorded");
        return kExitOk;
    case ReplayEnd::Mismatch:
        toStderr("replay failed after " + std::to_string(replay.answered()) + " of " + std::to_string(replay.steps()) +
                 " frame(s)");
        return kExitProblems;
    case ReplayEnd::Stopped:
        toStderr("replay stopped after " + std::to_string(replay.answered()) + " of " + std::to_string(replay.steps()) +
                 " frame(s)");
        return kExitProblems;
    case ReplayEnd::LineLost: break;
    }
    return kExitLine;
}

} // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    std::string error;
    switch (parseArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    case Parsed::Help: std::cout << usageText(); return kExitOk;
    case Parsed::Error: std::cerr << "mirdal-sim: " << error << "\nTry mirdal-sim --help.\n"; return kExitUsage;
    case Parsed::Run: break;
    }

    // The transcript is read before the line exists: a bad file is a usage error.
    std::vector<ReplayStep> steps;
    if (!options.replayFile.empty()) {
        std::vector<TranscriptEntry> entries;
        if (!readTranscriptFile(options.replayFile, entries, error) || !replaySteps(entries, steps, error)) {
            toStderr(error);
            return kExitUsage;
        }
    }

    Line line;
    const bool opened = options.device.empty() ? openPseudoTerminal(line, error)
                                               : openDevice(options.device, options.serve.baud, line, error);
    if (!opened) {
        toStderr(error);
        return kExitLine;
    }
    return options.replayFile.empty() ? serveTerminal(options, line) : playTranscript(steps, options, line);
}
