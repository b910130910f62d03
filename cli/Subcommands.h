#pragma once
// The subcommands of mirdal-cli. Each takes the arguments after its name and
// returns the process exit status.
#include <QStringList>

// Exit statuses shared by every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitConfiguration = 3;
// install: the outcome printed stands, but a transcript asked for with
// --trace could not be written whole.
constexpr int kExitTranscriptIncomplete = 4;
// install: interrupted (Ctrl-C, SIGTERM, SIGHUP) before every terminal was
// updated; the update stopped at its next exchange and released the terminal.
constexpr int kExitInterrupted = 130;

int runPack(const QStringList& args);
int runSign(const QStringList& args);
int runInstall(const QStringList& args);
int runPorts(const QStringList& args);
int runCheck(const QStringList& args);
int runHistory(const QStringList& args);
