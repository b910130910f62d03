// mirdal-sim: a simulated card terminal on a pseudo-terminal or serial device.
#include "Line.h"
#include "Options.h"
#include "Server.h"

#include <csignal>
#include <cstdio>
#include <iostream>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;
constexpr int kExitLine = 3;

Server* running = nullptr;

extern "C" void onStopSignal(int)
{
    if (running)
        running->requestStop();
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

void toStderr(const std::string& line) { std::cerr << "mirdal-sim: " << line << std::endl; }

} // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    std::string error;
    switch (parseArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    case Parsed::Help:
        std::cout << usageText();
        return kExitOk;
    case Parsed::Error:
        std::cerr << "mirdal-sim: " << error << "\nTry mirdal-sim --help.\n";
        return kExitUsage;
    case Parsed::Run:
        break;
    }

    Line line;
    const bool opened = options.device.empty() ? openPseudoTerminal(line, error)
                                               : openDevice(options.device, options.serve.baud, line, error);
    if (!opened) {
        toStderr(error);
        return kExitLine;
    }

    const SimulatedTerminal::Trace trace = options.quiet ? SimulatedTerminal::Trace([](const std::string&) {}) : toStderr;
    SimulatedTerminal terminal(options.terminal, trace, toStderr);
    Server server(terminal, options.serve, trace);
    running = &server;
    // A script may stop us as soon as it has read the device.
    installStopHandlers();
    std::cout << line.path << std::endl;
    const ServeEnd end = server.serve(line);
    running = nullptr;
    closeLine(line);

    toStderr(std::to_string(terminal.sessions()) + " session(s), " + std::to_string(terminal.files().size()) +
             " file(s) received, " + std::to_string(terminal.problems().size()) + " problem(s)");
    if (!terminal.problems().empty())
        return kExitProblems;
    return end == ServeEnd::LineLost ? kExitLine : kExitOk;
}
