#pragma once
// The words of mirdal-cli's command line, written once: each command's
// usage line and options as its --help shows them, as its man page describes
// them and as the shell completes them. mirdal-cli reads and prints its
// arguments from these rows; the build tool mirdal_cli_words writes the man
// page's synopsis and option entries and the bash completion from the same
// rows. Plain C++, so that the tool needs nothing else.
#include <cstddef>
#include <vector>

// What an option's value is, for the shell to offer.
enum class ValueKind {
    None,       // a flag
    File,       // a file's path
    Folder,     // a folder's path
    Port,       // a serial device (a port label is also taken)
    Words,      // one of `OptionRow::words`
    PassSource, // env:VAR, file:PATH or stdin
    Free,       // anything: nothing to offer
};

struct OptionRow {
    const char* name;      // without its dashes
    const char* valueName; // empty for a flag
    ValueKind kind;
    const char* help;             // --help's text; a line break goes on under the first line
    const char* manual = nullptr; // the man page's text in roff; none: --help's, made a sentence
    const char* words = nullptr;  // ValueKind::Words: the values, one space between
    bool repeatable = false;      // given twice it is otherwise a usage error
};

struct CommandRow {
    const char* name;
    const char* summary;  // its line in 'mirdal-cli --help'
    const char* synopsis; // what follows its name in its usage line
    std::vector<OptionRow> options;
    ValueKind operands = ValueKind::None; // what its arguments are
    int operandCount = 0;                 // how many it takes
    const char* subcommands = nullptr;    // words that may come first, one space between
};

// The commands, in the order 'mirdal-cli --help' lists them.
const std::vector<CommandRow>& commandTable();
// The row of `name`, or null.
const CommandRow* findCommand(const char* name);
