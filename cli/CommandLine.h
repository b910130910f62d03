#pragma once
// The arguments of one mirdal-cli command, read the same way by every
// command: long options as "--name VALUE" or "--name=VALUE", "--help" (or
// -h) printing the command's help on stdout with status 0, and every usage
// error one line on stderr with the command's synopsis and a pointer to its
// help, with status 2. Its usage line and options are its row of the
// command table (cli/CommandTable.h).
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

struct CommandRow;

struct CommandHelp {
    const char* name;       // "install", its row's name in the command table
    const char* summary;    // what the command does, before the options
    const char* details;    // after the options: arguments, notes (may be empty)
    const char* exitStatus; // the exit statuses of the command
};

class CommandLine {
public:
    // With the options of the command's row: a value given empty is a usage
    // error; so is an option given twice unless it is repeatable.
    explicit CommandLine(const CommandHelp& help);

    // --config-dir's value, or the default folder beside the program.
    QString configDir() const;
    // Positional arguments: exactly `count` of them (by default, as many as its row says).
    void positionals(int count) { positionals_ = count; }

    // Reads the arguments that follow the command's name. Returns -1 when
    // the command goes on; otherwise the status it ends with, its help or
    // its usage error already printed.
    int parse(const QStringList& args);

    bool isSet(const QString& name) const { return parser_.isSet(name); }
    QString value(const QString& name) const { return parser_.isSet(name) ? parser_.value(name) : QString(); }
    QStringList values(const QString& name) const { return parser_.values(name); }
    QStringList positionalArguments() const { return parser_.positionalArguments(); }

    // Prints "mirdal-cli NAME: PROBLEM (usage: ...; see ...)" as one line on
    // stderr and returns the usage status.
    int usageError(const QString& problem) const;
    QString helpText() const;

private:
    const CommandHelp& help_;
    const CommandRow& row_;
    QCommandLineParser parser_;
    int positionals_;
};

// Prints "mirdal-cli: PROBLEM (see 'mirdal-cli --help')" on stderr; returns the usage status.
int programUsageError(const QString& problem);
