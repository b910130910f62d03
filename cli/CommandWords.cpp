// mirdal_cli_words: a build tool that writes what the command table says
// into the files made from it, so that no option is listed by hand twice.
//
//   mirdal_cli_words man TEMPLATE OUT         a line '.\" <synopsis>' becomes
//       every command's synopsis, a line '.\" <options COMMAND>' the entries
//       of that command's options
//   mirdal_cli_words completion TEMPLATE OUT  a line '# <commands>' becomes
//       the commands and each one's options for the bash completion
//
// It fails, and the build with it, when a command with options has no place
// in the man page, or a usage line names an option its row does not have.
#include "cli/CommandTable.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool fail(const std::string& problem)
{
    std::cerr << "mirdal_cli_words: " << problem << '\n';
    return false;
}

// Dashes as roff wants them in a name that is typed: "\-".
std::string roffName(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

// --help's fragment made a man page sentence: capitalised, one full stop,
// an option's dashes as minus signs, a backslash as roff's.
std::string roffSentence(const std::string& help)
{
    std::string out;
    for (size_t i = 0; i < help.size(); ++i) {
        const char c = help[i];
        const bool dash = c == '-' && ((i + 1 < help.size() && help[i + 1] == '-') || (i > 0 && help[i - 1] == '-'));
        if (dash)
            out += "\\-";
        else if (c == '\\')
            out += "\\e";
        else if (c == '\n')
            out += ' ';
        else
            out += c;
    }
    if (!out.empty())
        out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
    if (out.empty() || out.back() != '.')
        out += '.';
    return out;
}

void optionEntries(const CommandRow& command, std::ostream& out)
{
    out << ".RS\n";
    for (const OptionRow& option : command.options) {
        out << ".TP\n";
        if (*option.valueName)
            out << ".BI \\-\\-" << roffName(option.name) << " \" " << option.valueName << "\"\n";
        else
            out << ".B \\-\\-" << roffName(option.name) << '\n';
        out << (option.manual ? std::string(option.manual) : roffSentence(option.help)) << '\n';
    }
    out << ".RE\n";
}

// A usage line's words: "[...]" with what follows up to a space is one.
std::vector<std::string> synopsisWords(const std::string& synopsis)
{
    std::vector<std::string> words;
    std::string word;
    int depth = 0;
    for (char c : synopsis) {
        depth += c == '[' ? 1 : c == ']' ? -1 : 0;
        if (c == ' ' && depth == 0) {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

bool isOperand(const std::string& word)
{
    return !word.empty() && std::isupper(static_cast<unsigned char>(word[0]));
}

// One command's usage line in roff, an alternative ('|') a line of its own.
// The options it names must be the row's; when it lists them rather than
// saying [OPTION]..., all of them.
bool synopsis(const CommandRow& command, std::ostream& out)
{
    std::set<std::string> named;
    bool optionWord = false;
    std::string head = std::string(".B mirdal\\-cli ") + command.name;
    const std::vector<std::string> words = synopsisWords(command.synopsis);
    std::vector<std::string> lines;
    std::string operands;
    const auto flushOperands = [&] {
        if (!operands.empty())
            lines.push_back(".I" + operands);
        operands.clear();
    };
    const auto flushHead = [&] {
        if (!head.empty())
            lines.push_back(head);
        head.clear();
    };
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "|") {
            flushHead();
            flushOperands();
            lines.push_back(".br");
            head = std::string(".B mirdal\\-cli ") + command.name;
            continue;
        }
        if (!head.empty() && !isOperand(word) && word[0] != '[' && word[0] != '-') {
            head += ' ' + word; // a subcommand
            continue;
        }
        flushHead();
        if (isOperand(word)) {
            operands += ' ' + word;
            continue;
        }
        flushOperands();
        const bool optional = word[0] == '[';
        const bool repeated = word.size() > 3 && word.compare(word.size() - 3, 3, "...") == 0;
        std::string inner = optional ? word.substr(1, word.find(']') - 1) : word;
        if (inner == "OPTION") {
            optionWord = true;
            lines.push_back(std::string(".RI [ OPTION ") + (repeated ? "\"] ...\"" : "]"));
            continue;
        }
        if (inner.rfind("--", 0) != 0)
            return fail(std::string(command.name) + ": the usage line's word '" + word + "' is not understood");
        std::string value;
        const size_t space = inner.find(' ');
        if (space != std::string::npos) {
            value = inner.substr(space + 1);
            inner.resize(space);
        } else if (!optional && i + 1 < words.size() && isOperand(words[i + 1])) {
            value = words[++i];
        }
        const std::string name = inner.substr(2);
        const OptionRow* row = nullptr;
        for (const OptionRow& option : command.options)
            row = option.name == name ? &option : row;
        if (!row || value != row->valueName)
            return fail(std::string(command.name) + ": the usage line names '" + word + "', which its row has not");
        named.insert(name);
        const std::string dashed = "\\-\\-" + roffName(name);
        if (!optional)
            lines.push_back(".BI " + dashed + " \" " + value + "\"");
        else if (value.empty())
            lines.push_back(".RB [ " + dashed + " ]");
        else
            lines.push_back(".RB [ " + dashed + "\n.IR " + value + (repeated ? " \"] ...\"" : " ]"));
    }
    flushHead();
    flushOperands();
    if (!optionWord) {
        for (const OptionRow& option : command.options) {
            if (!named.count(option.name))
                return fail(std::string(command.name) + ": the usage line leaves out --" + option.name);
        }
    }
    for (const std::string& line : lines)
        out << line << '\n';
    out << ".br\n";
    return true;
}

bool man(std::istream& in, std::ostream& out)
{
    std::set<std::string> placed;
    std::string line;
    while (std::getline(in, line)) {
        if (line == ".\\\" <synopsis>") {
            for (const CommandRow& command : commandTable()) {
                if (!synopsis(command, out))
                    return false;
            }
            continue;
        }
        const std::string marker = ".\\\" <options ";
        if (line.rfind(marker, 0) != 0) {
            out << line << '\n';
            continue;
        }
        const std::string name = line.substr(marker.size(), line.size() - marker.size() - 1);
        const CommandRow* command = findCommand(name.c_str());
        if (!command || command->options.empty() || line.back() != '>')
            return fail("no options to place at '" + line + "'");
        optionEntries(*command, out);
        placed.insert(name);
    }
    for (const CommandRow& command : commandTable()) {
        if (!command.options.empty() && !placed.count(command.name))
            return fail(std::string("the man page has no place for the options of ") + command.name);
    }
    return true;
}

const char* kindWord(const OptionRow& option)
{
    switch (option.kind) {
    case ValueKind::None: return "";
    case ValueKind::File: return "file";
    case ValueKind::Folder: return "folder";
    case ValueKind::Port: return "port";
    case ValueKind::Words: return "words=";
    case ValueKind::PassSource: return "pass";
    case ValueKind::Free: return "free";
    }
    return "";
}

bool completion(std::istream& in, std::ostream& out)
{
    std::string line;
    bool placed = false;
    while (std::getline(in, line)) {
        const size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos || line.compare(start, std::string::npos, "# <commands>") != 0) {
            out << line << '\n';
            continue;
        }
        const std::string indent(start, ' ');
        std::string names;
        for (const CommandRow& command : commandTable())
            names += (names.empty() ? "" : " ") + std::string(command.name);
        out << indent << "commands=\"" << names << "\"\n" << indent << "case ${words[1]} in\n";
        for (const CommandRow& command : commandTable()) {
            std::string options;
            for (const OptionRow& option : command.options) {
                options += (options.empty() ? "--" : " --") + std::string(option.name);
                if (option.kind != ValueKind::None)
                    options += std::string(":") + kindWord(option);
                if (option.kind == ValueKind::Words) {
                    std::string words = option.words ? option.words : "";
                    for (char& c : words)
                        c = c == ' ' ? ',' : c;
                    options += words;
                }
                if (option.repeatable)
                    options += '+';
            }
            out << indent << "    " << command.name << ")";
            if (!options.empty())
                out << " options=\"" << options << '"';
            if (command.operands == ValueKind::File)
                out << " operands=file operand_count=" << command.operandCount;
            else if (command.operands != ValueKind::None)
                return fail(std::string(command.name) + ": only files are completed as arguments");
            if (command.subcommands)
                out << " subcommands=\"" << command.subcommands << '"';
            out << " ;;\n";
        }
        out << indent << "esac\n";
        placed = true;
    }
    return placed || fail("the completion has no '# <commands>' line");
}

} // namespace

int main(int argc, char** argv)
{
    const std::string what = argc == 4 ? argv[1] : "";
    if (what != "man" && what != "completion") {
        std::cerr << "usage: mirdal_cli_words man|completion TEMPLATE OUT\n";
        return 2;
    }
    std::ifstream in(argv[2]);
    if (!in) {
        fail(std::string("cannot read ") + argv[2]);
        return 1;
    }
    std::ostringstream text;
    if (!(what == "man" ? man(in, text) : completion(in, text)))
        return 1;
    // Written whole or not at all, so that a failed run leaves no output for make to trust.
    const std::string temporary = std::string(argv[3]) + ".part";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.close();
    std::remove(argv[3]);
    if (!out || std::rename(temporary.c_str(), argv[3]) != 0) {
        fail(std::string("cannot write ") + argv[3]);
        return 1;
    }
    return 0;
}
