#pragma once
// The arguments of one mirdal-cli command, read the same way by every
// command: long options as "--name VALUE" or "--name=VALUE", "--help" (or
// -h) printing the command's help on stdout with status 0, and every usage
// error one line on stderr with the command's synopsis and a pointer to its
// help, with status 2.
#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <vector>

struct CommandHelp {
    const char* name;       // "install"
    const char* synopsis;   // what follows the name in the usage line
    const char* summary;    // what the command does, before the options
    const char* details;    // after the options: arguments, notes (may be empty)
    const char* exitStatus; // the exit statuses of the command
};

class CommandLine {
public:
    explicit CommandLine(const CommandHelp& help);

    // An option; `valueName` empty for a flag. A value given empty is a
    // usage error; so is an option given twice unless it is repeatable.
    void option(const QString& name, const QString& description, const QString& valueName = {},
                bool repeatable = false);
    // --config-dir DIR, shared by the commands that read a configuration.
    void configDirOption();
    // Its value, or the default folder beside the program.
    QString configDir() const;
    // Positional arguments: exactly `count` of them (0 by default).
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
    struct Option {
        QString name;
        QString description;
        QString valueName;
        bool repeatable;
    };
    const CommandHelp& help_;
    QCommandLineParser parser_;
    std::vector<Option> options_;
    int positionals_ = 0;
};

// Prints "mirdal-cli: PROBLEM (see 'mirdal-cli --help')" on stderr; returns the usage status.
int programUsageError(const QString& problem);
